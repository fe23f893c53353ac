# The Debian package: built from this tree, its contents checked, and its unpacked console started.
add_test(NAME e2e_packaged_start
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/packaged-start.sh ${CMAKE_BINARY_DIR})
set_tests_properties(e2e_packaged_start PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180)
