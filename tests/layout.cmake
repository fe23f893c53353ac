# The layout: link/ never includes the window, tools/ never reaches into app/ (cmake/checklayout.cmake).
add_test(NAME layout_includes
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -P ${CMAKE_SOURCE_DIR}/cmake/checklayout.cmake)
