# The floors of the house, checked on the sources' include lines (cmake -DSOURCE_DIR=... -P checklayout.cmake):
#   link/   components only: includes nothing of ours outside link/ (never the window, its description
#           ui_*.h, its handlers or the operator-interface files);
#   ui/     the window's operator interface: app/, link/ and ui/ only;
#   tools/  the simulated target and generators: never app/, ui/ or the window's description;
#   app/    the window and the entry points: tools/ only from the demo's entry point.
# Fails, naming every offending line, when one of them is broken.
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<source tree> -P checklayout.cmake")
endif()

set(violations "")

# Checks every include of ours in the files matching `globs`; `allowed` is a regex the included path must
# match, `exempt` a regex of files (relative to SOURCE_DIR) that the rule does not cover.
function(check_floor rule allowed exempt)
  file(GLOB files RELATIVE ${SOURCE_DIR} ${ARGN})
  foreach(file IN LISTS files)
    if(exempt AND file MATCHES "${exempt}")
      continue()
    endif()
    file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^\">]*)[\">].*$" "\\1" included "${line}")
      # Ours: a path under one of the tree's folders, or the window description's generated header.
      if(NOT included MATCHES "^(app|ui|link|tools|tests|bench|pictures)/" AND NOT included MATCHES "^ui_")
        continue()
      endif()
      if(NOT included MATCHES "${allowed}")
        list(APPEND violations "${file}: includes ${included} (${rule})")
      endif()
    endforeach()
  endforeach()
  set(violations "${violations}" PARENT_SCOPE)
endfunction()

check_floor("link/ holds components only and never knows the window" "^link/" ""
  ${SOURCE_DIR}/link/*.cpp ${SOURCE_DIR}/link/*.h)
check_floor("ui/ is the window's operator interface" "^(app|link|ui)/" ""
  ${SOURCE_DIR}/ui/*.cpp ${SOURCE_DIR}/ui/*.h)
check_floor("tools/ never reaches into the window" "^(link|tools)/" ""
  ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h)
check_floor("app/ reaches into tools/ only from the demo's entry point" "^(app|link|ui)/|^ui_" "^app/simulatedmain\\.cpp$"
  ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h)
check_floor("the demo's entry point wires the window to the simulated target" "^(app|link|ui|tools)/" ""
  ${SOURCE_DIR}/app/simulatedmain.cpp)

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "The layout is broken:\n  ${text}")
endif()
