# Installation and the Debian package (cpack in the build folder makes korvane_<version>_<arch>.deb).
#
# The program, its sounds and the default config.dat go to one folder (/opt/korvane);
# /usr/bin/korvane starts it from a per-user copy of that folder, where config.dat can be
# saved; a desktop entry and an icon make it a menu item.
if(NOT UNIX)
    return()
endif()

set(KORVANE_APP_DIR "/opt/korvane" CACHE PATH "Folder of the installed program, its sounds and default config.dat")
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvane.sh.in ${PROJECT_BINARY_DIR}/packaging/korvane.sh @ONLY)

file(GLOB KORVANE_SOUNDS ${CMAKE_CURRENT_LIST_DIR}/../sounds/*.wav)
install(TARGETS korvane RUNTIME DESTINATION ${KORVANE_APP_DIR})
install(FILES ${KORVANE_SOUNDS} DESTINATION ${KORVANE_APP_DIR}/sounds)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/config.dat DESTINATION ${KORVANE_APP_DIR})
install(PROGRAMS ${PROJECT_BINARY_DIR}/packaging/korvane.sh DESTINATION bin RENAME korvane)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/korvane.desktop DESTINATION share/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/korvane.svg DESTINATION share/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "korvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "BMX start gate controller")
set(CPACK_PACKAGE_DESCRIPTION
    "Runs the start of a BMX race: raises and drops the start gate and switches the start lights through a 24-line USB I/O module, with the spoken cadence and the start tones.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Korvane developers")
set(CPACK_DEBIAN_PACKAGE_SECTION "misc")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The windows are laid out for Arial's metrics; Liberation Sans has the same.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation, pulseaudio | pipewire-pulse")
include(CPack)
