# Installation, the desktop entry and the Debian package (scripts/package builds it with
# the distribution's flags; cpack in that build folder makes korvane_<version>_<arch>.deb).
#
# The Debian layout: the program in /usr/lib/korvane (it is started only by the korvane
# command), the default config.dat and voice files in /usr/share/korvane. /usr/bin/korvane
# runs a copy of the program in a folder of each user's own, where config.dat and the
# other files are saved (korvane.sh.in says why).
if(NOT UNIX)
    return()
endif()

set(KORVANE_PROGRAM_DIR "${CMAKE_INSTALL_PREFIX}/lib/korvane")
set(KORVANE_DATA_DIR "${CMAKE_INSTALL_PREFIX}/share/korvane")
# The manual page's date: the latest changelog entry's, so that a rebuild makes the same page.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog KORVANE_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT KORVANE_CHANGELOG_HEAD MATCHES "^korvane \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog does not begin with version ${PROJECT_VERSION}")
endif()
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog KORVANE_CHANGELOG_SIGNED REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX MATCH "[0-9]+ [A-Z][a-z][a-z] [0-9][0-9][0-9][0-9]" KORVANE_MAN_DATE
             "${KORVANE_CHANGELOG_SIGNED}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/korvane.sh.in ${PROJECT_BINARY_DIR}/packaging/korvane.sh @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvane.1.in ${PROJECT_BINARY_DIR}/packaging/korvane.1 @ONLY)

# Debian wants the manual page and the changelog compressed at the highest level and
# without a time stamp, so that the package is the same whenever it is built.
set(KORVANE_COMPRESSED)
foreach(source ${PROJECT_BINARY_DIR}/packaging/korvane.1 ${CMAKE_CURRENT_LIST_DIR}/changelog)
    get_filename_component(name ${source} NAME)
    set(compressed ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
                       COMMAND gzip -9nc ${source} > ${compressed}
                       DEPENDS ${source} VERBATIM)
    list(APPEND KORVANE_COMPRESSED ${compressed})
endforeach()
add_custom_target(korvane_docs ALL DEPENDS ${KORVANE_COMPRESSED})

file(GLOB KORVANE_SOUNDS ${CMAKE_CURRENT_LIST_DIR}/../sounds/*.wav)
install(TARGETS korvane RUNTIME DESTINATION lib/korvane)
install(FILES ${KORVANE_SOUNDS} DESTINATION share/korvane/sounds)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/config.dat DESTINATION share/korvane)
install(PROGRAMS ${PROJECT_BINARY_DIR}/packaging/korvane.sh DESTINATION bin RENAME korvane)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/korvane.desktop DESTINATION share/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/korvane.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_BINARY_DIR}/packaging/korvane.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION share/doc/korvane)
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION share/doc/korvane)
# The operator's guide, readable on the track's PC (without its pictures).
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/korvane)

set(CPACK_GENERATOR "DEB")
# The description holds quotes: written to CPackConfig.cmake as they are.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME "korvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvane")
set(CPACK_PACKAGE_CONTACT "Korvane developers <maintainers@users.noreply.c-seed-8721ab1f.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "start gate controller for BMX racing")
# One line each, under 80 characters; an empty line separates paragraphs.
set(CPACK_PACKAGE_DESCRIPTION
    "Korvane runs the start of a BMX race. It raises and drops the start gate\n"
    "and switches the red, orange and green start lights through a 24-line\n"
    "digital I/O module reached as a serial port, plays the spoken cadence\n"
    "(\"OK riders\", \"Riders ready\", \"Watch the gate\") and the four start tones,\n"
    "and drops the gate on the tone the track has chosen.\n"
    "\n"
    "It reads an external start button and a finish beam, shows the race time,\n"
    "logs every start, and offers a random start and a start pulse for a timing\n"
    "system. Changing the settings and ending the program take passwords an\n"
    "administrator sets. Each user's settings, start log and voice files live in\n"
    "a folder of their own, which upgrades and removal leave alone.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/strip.cmake)
set(CPACK_DEBIAN_PACKAGE_SECTION "misc")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The windows are laid out for Arial's metrics; Liberation Sans has the same.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation, pulseaudio | pipewire-pulse")
include(CPack)
