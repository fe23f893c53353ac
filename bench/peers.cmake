# ---- peers: the console against xterm with picocom at the line's rate, and click to byte against bare Xlib and Qt ----
enable_language(C)
find_package(X11 REQUIRED COMPONENTS Xtst Xdamage)
find_package(Threads REQUIRED)
# The floor of click to byte: a bare Xlib window, in C, that writes the byte on a button's release.
add_executable(bare_click ${CMAKE_CURRENT_LIST_DIR}/bare_click.c)
target_link_libraries(bare_click PRIVATE X11::X11)
# The same through Qt alone: what Qt's own path from the server to a widget costs, beside the console's.
add_executable(bare_qt_click ${CMAKE_CURRENT_LIST_DIR}/bare_qt_click.cpp)
target_link_libraries(bare_qt_click PRIVATE Qt6::Widgets)
add_executable(bench_peers ${CMAKE_CURRENT_LIST_DIR}/bench_peers.cpp)
target_link_libraries(bench_peers PRIVATE X11::X11 X11::Xtst X11::Xdamage Threads::Threads)
# None of them has anything for Qt's generators.
set_target_properties(bare_click bare_qt_click bench_peers PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF C_STANDARD 11)
# ---- end peers ----
