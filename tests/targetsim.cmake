# The simulated target's tests; included from tests/CMakeLists.txt.
add_executable(tst_targetsim ${CMAKE_CURRENT_LIST_DIR}/tst_targetsim.cpp)
target_link_libraries(tst_targetsim PRIVATE target_sim Qt6::Test)
target_compile_definitions(tst_targetsim PRIVATE
  TARGETSIM_SAMPLES_DIR="${CMAKE_CURRENT_LIST_DIR}/../tools/samples")
add_test(NAME tst_targetsim COMMAND tst_targetsim)
set_tests_properties(tst_targetsim PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen)
