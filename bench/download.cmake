# Download pacing: line busy, total time, Stop latency against writing the file at once, peak memory.
add_executable(bench_download ${CMAKE_CURRENT_LIST_DIR}/bench_download.cpp)
target_link_libraries(bench_download PRIVATE console_testing)
