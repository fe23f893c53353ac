# The window as a whole: start-up to first paint, click-to-byte latency and the pop-up menu's heap, all under a
# real display.
add_executable(bench_startup ${CMAKE_CURRENT_LIST_DIR}/bench_startup.cpp)
target_link_libraries(bench_startup PRIVATE console_core)

find_package(X11 REQUIRED COMPONENTS Xtst)
add_executable(bench_click ${CMAKE_CURRENT_LIST_DIR}/bench_click.cpp)
target_link_libraries(bench_click PRIVATE console_core Qt6::Test X11::X11 X11::Xtst)

add_executable(bench_popup ${CMAKE_CURRENT_LIST_DIR}/bench_popup.cpp)
target_link_libraries(bench_popup PRIVATE console_core Qt6::Test X11::X11 X11::Xtst)
