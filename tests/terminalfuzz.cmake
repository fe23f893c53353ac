# ---- terminal: fuzz corpus replay, and the libFuzzer target (CONSOLE_FUZZ=ON, clang only) ----
# The replay (tst_terminalcorpus) runs every file of tests/fuzz/corpus through the same path as the fuzz
# target; TERMINAL_CORPUS_DIR comes with console_testing.

option(CONSOLE_FUZZ "Build the terminal fuzz target (needs clang; combine with CONSOLE_SANITIZE)" OFF)
if(CONSOLE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "CONSOLE_FUZZ needs clang++ (libFuzzer); set CMAKE_CXX_COMPILER=clang++")
  endif()
  # Only the widget-free emulation, built on its own with coverage feedback for the fuzzer.
  add_library(terminal_fuzz_core STATIC
    ${CMAKE_SOURCE_DIR}/link/cp949.cpp ${CMAKE_SOURCE_DIR}/link/cp949_table.cpp
    ${CMAKE_SOURCE_DIR}/link/vtguard.cpp ${CMAKE_SOURCE_DIR}/link/vtscreen.cpp ${CMAKE_SOURCE_DIR}/link/vtscreen.h)
  target_include_directories(terminal_fuzz_core PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(terminal_fuzz_core PUBLIC Qt6::Core Qt6::Gui PkgConfig::VTERM)
  target_compile_options(terminal_fuzz_core PRIVATE -fsanitize=fuzzer-no-link)
  add_executable(fuzz_terminal ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/fuzz_terminal.cpp)
  target_compile_options(fuzz_terminal PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_terminal PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_terminal PRIVATE terminal_fuzz_core)
endif()
# ---- end terminal ----
