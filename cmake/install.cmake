# Installs the console as a desktop application (binary, menu entry, icon theme, AppStream metadata,
# manual pages in English and Korean, and Debian documentation), with the administrator's command that
# assigns COM1 (robot-console-com1, for root, with its manual pages), and describes its Debian package for
# CPack.
#
# Only the console is installed: robot-console-demo and robot-target-sim are development aids that run
# from the build tree, and an operator at a lab desk talks to the real robot.

include(GNUInstallDirs)

set(CONSOLE_APP_ID kr.robotconsole.RobotConsole)
set(CONSOLE_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(CONSOLE_STAGED_DIR ${CMAKE_BINARY_DIR}/packaging)

# The window icon, at the sizes a desktop's hicolor theme looks for.
add_executable(scale_icon ${CMAKE_SOURCE_DIR}/tools/scale_icon.cpp)
target_link_libraries(scale_icon PRIVATE Qt6::Gui)

set(CONSOLE_ICON_SIZES 16 22 24 32 48 64 128 256)
set(CONSOLE_STAGED_FILES)
foreach(size ${CONSOLE_ICON_SIZES})
  set(icon ${CONSOLE_STAGED_DIR}/icons/${size}x${size}/robot-console.png)
  add_custom_command(OUTPUT ${icon}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CONSOLE_STAGED_DIR}/icons/${size}x${size}
    COMMAND scale_icon ${CMAKE_SOURCE_DIR}/resources/glyphs/icon.png ${size} ${icon}
    DEPENDS scale_icon ${CMAKE_SOURCE_DIR}/resources/glyphs/icon.png
    COMMENT "Drawing the ${size}x${size} icon" VERBATIM)
  list(APPEND CONSOLE_STAGED_FILES ${icon})
  install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Debian wants the manual pages and the changelog compressed, without a time stamp in the gzip header. The
# manual pages come in English and in Korean (ko/), which man shows under a Korean locale.
find_program(GZIP_PROGRAM gzip REQUIRED)
foreach(pair "robot-console.1;robot-console.1.gz" "robot-console-com1.8;robot-console-com1.8.gz"
             "ko/robot-console.1;ko/robot-console.1.gz" "ko/robot-console-com1.8;ko/robot-console-com1.8.gz"
             "changelog;changelog.gz")
  list(GET pair 0 source)
  list(GET pair 1 target)
  get_filename_component(target_dir ${CONSOLE_STAGED_DIR}/${target} DIRECTORY)
  add_custom_command(OUTPUT ${CONSOLE_STAGED_DIR}/${target}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${target_dir}
    COMMAND ${GZIP_PROGRAM} -9nc ${CONSOLE_PACKAGING_DIR}/${source} > ${CONSOLE_STAGED_DIR}/${target}
    DEPENDS ${CONSOLE_PACKAGING_DIR}/${source}
    COMMENT "Compressing ${source}")
  list(APPEND CONSOLE_STAGED_FILES ${CONSOLE_STAGED_DIR}/${target})
endforeach()
add_custom_target(console-install-files ALL DEPENDS ${CONSOLE_STAGED_FILES})

# Debian's hardening for the packaged (Release) build; other builds keep their flags.
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT CONSOLE_SANITIZE)
  foreach(target console_core com1_assignment)
    target_compile_definitions(${target} PUBLIC _FORTIFY_SOURCE=2)
    target_compile_options(${target} PUBLIC -fstack-protector-strong)
  endforeach()
endif()
target_link_options(robot-console PRIVATE LINKER:-z,relro,-z,now)
target_link_options(robot-console-com1 PRIVATE LINKER:-z,relro,-z,now)

install(TARGETS robot-console RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS robot-console-com1 RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${CONSOLE_PACKAGING_DIR}/${CONSOLE_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CONSOLE_PACKAGING_DIR}/${CONSOLE_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CONSOLE_STAGED_DIR}/robot-console.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CONSOLE_STAGED_DIR}/robot-console-com1.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CONSOLE_STAGED_DIR}/ko/robot-console.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/ko/man1)
install(FILES ${CONSOLE_STAGED_DIR}/ko/robot-console-com1.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/ko/man8)
install(FILES ${CONSOLE_PACKAGING_DIR}/copyright ${CONSOLE_STAGED_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/robot-console)

# The Debian package. Its library dependencies are computed from the binary by dpkg-shlibdeps; what the
# binary loads without linking (Qt's window-system plugins, its Korean translations, the Korean font the
# window names) is declared here, with the icon theme that the menu entry's icons belong to (apt would
# otherwise only recommend its index, without which desktops do not find them).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME robot-console)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Robot Console Developers")
set(CPACK_PACKAGE_CONTACT "Robot Console Developers <robot-console@robotconsole.kr>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Korean desktop console for a small robot's serial monitor")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A single-window console, with a Korean user interface, for a small mobile
robot whose monitor ROM listens on a serial line at 9600 bit/s, 8N1. The
operator drives the robot from a direction pad, commands its monitor from a
pop-up menu and the function keys, reads its replies in a terminal pane and
downloads Intel HEX programs to it. Each computer's administrator says which
serial port or USB serial adapter is the robot's COM1 with robot-console-com1.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n, fonts-nanum, hicolor-icon-theme")
set(CPACK_STRIP_FILES ON)
# Purging the package takes COM1's assignment and its udev rule with it (robot-console-com1 wrote them).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CONSOLE_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
