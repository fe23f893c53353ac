# The platform's side of components that talk to the system. A component with a Windows sibling
# (link/NAME_win.cpp) builds from the sibling on Windows and from link/NAME.cpp elsewhere; the POSIX-only
# parts without one (lock files and flock) stay out of the Windows build, whose exclusive open of the COM
# port is the claim. Sets CONSOLE_PLATFORM_LIBRARIES for console_core: on Linux COM1's assignment, Qt Serial
# Port and the X connection's libraries.
foreach(source IN LISTS CONSOLE_CORE_SOURCES)
  if(source MATCHES "^(.*)_win\\.cpp$")
    if(WIN32)
      list(REMOVE_ITEM CONSOLE_CORE_SOURCES "${CMAKE_MATCH_1}.cpp")
    else()
      list(REMOVE_ITEM CONSOLE_CORE_SOURCES "${source}")
    endif()
  endif()
endforeach()
if(WIN32)
  list(REMOVE_ITEM CONSOLE_CORE_SOURCES ${CMAKE_SOURCE_DIR}/link/portclaim.cpp ${CMAKE_SOURCE_DIR}/link/portclaim.h)
  set(CONSOLE_PLATFORM_LIBRARIES)
else()
  list(FILTER CONSOLE_CORE_SOURCES EXCLUDE REGEX "_win\\.h$")
  set(CONSOLE_PLATFORM_LIBRARIES com1_assignment Qt6::SerialPort PkgConfig::XCB)
endif()
