# ---- terminal: throughput, latency, CPU and idle figures of the terminal pane ----
add_executable(bench_terminal ${CMAKE_CURRENT_LIST_DIR}/bench_terminal.cpp ${CMAKE_SOURCE_DIR}/tests/ptypair.cpp)
target_link_libraries(bench_terminal PRIVATE console_core Qt6::Test)
# ---- end terminal ----
