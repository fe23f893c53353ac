# The window as a whole: start-up to first paint, and click-to-byte latency, both under a real display.
add_executable(bench_startup ${CMAKE_CURRENT_LIST_DIR}/bench_startup.cpp)
target_link_libraries(bench_startup PRIVATE console_core)

find_package(X11 REQUIRED COMPONENTS Xtst)
add_executable(bench_click ${CMAKE_CURRENT_LIST_DIR}/bench_click.cpp)
target_link_libraries(bench_click PRIVATE console_core Qt6::Test X11::X11 X11::Xtst)
