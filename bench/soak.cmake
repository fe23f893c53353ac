# The long run: line traffic both ways, commands and downloads, for as long as asked.
add_executable(bench_soak ${CMAKE_CURRENT_LIST_DIR}/bench_soak.cpp)
target_link_libraries(bench_soak PRIVATE console_core)
