# Run by cpack on the staged files before it packs them (CPACK_PRE_BUILD_SCRIPTS): strips
# the program as Debian's own package tools do, which also drops the compiler's .comment
# and .note sections that plain stripping keeps.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/lib/korvane/korvane")
foreach(program ${programs})
    execute_process(COMMAND strip --remove-section=.comment --remove-section=.note
                            --strip-unneeded ${program}
                    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
if(NOT programs)
    message(FATAL_ERROR "strip.cmake: no staged program under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
