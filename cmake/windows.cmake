# The Windows build (scripts/windows): the console as a Windows program, and the test suites that need
# neither pseudo-terminals nor namespaces, each as a program that runs under Wine. Every program lands in
# the build folder's top, beside the Qt libraries and plugins that scripts/windows puts there.
set_target_properties(robot-console PROPERTIES WIN32_EXECUTABLE ON)
target_sources(robot-console PRIVATE ${CMAKE_SOURCE_DIR}/resources/robot-console.rc)

# The line of tst_commandchannel is COM1, whose far end a relay on the Linux side holds (tests/ptypair_win.cpp).
add_library(console_testing STATIC tests/ptypair_win.cpp tests/ptypair.h)
target_link_libraries(console_testing PUBLIC console_core Qt6::Test ws2_32)

foreach(name tst_cp949 tst_vtguard tst_keymap tst_vtscreen tst_commandchannel tst_popupmenu)
  add_executable(${name} tests/${name}.cpp)
  target_link_libraries(${name} PRIVATE console_testing)
endforeach()
