# The manual page of a host tool, made from its own help by help2man, compressed as Debian ships
# manual pages. Run by the build (cmake/MpInstall.cmake) in script mode:
#
#   cmake -DHELP2MAN=... -DTOOL=path/to/mpboard -DNAME="..." -DVERSION=0.1.0 -DOUT=mpboard.1.gz
#         [-DEXTRA=doc/man/mpboard.h2m] -P MpManPage.cmake
#
# The tool's --help starts with "usage: TOOL ARGS" and lists its commands as "  NAME ARGS...  what
# it does"; each command's own --help becomes a subsection of COMMANDS, so the page holds
# everything the help says, with its line breaks. The tools have no --version: it is given.
foreach(var HELP2MAN TOOL NAME VERSION OUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "MpManPage.cmake: ${var} is not set")
    endif()
endforeach()

function(help_of out)
    execute_process(COMMAND ${TOOL} ${ARGN} --help OUTPUT_VARIABLE text ERROR_VARIABLE text
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR text STREQUAL "")
        message(FATAL_ERROR "${TOOL} ${ARGN} --help: status ${status}")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Help text as it is, line by line: roff's escape character, minus signs and control lines made
# literal.
function(verbatim out text)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

# The page: the usage line as the synopsis, the rest of the help as the description, each
# command's help, then what doc/man/NAME.h2m adds (environment, files, see also).
help_of(main)
string(REGEX MATCH "^usage: ([^ \n]+) ?([^\n]*)\n\n?" usage "${main}")
if(usage STREQUAL "")
    message(FATAL_ERROR "${TOOL} --help does not start with its usage line")
endif()
string(REPLACE "-" "\\-" synopsis_args "${CMAKE_MATCH_2}")
set(include "[SYNOPSIS]\n.B ${CMAKE_MATCH_1}\n${synopsis_args}\n")
string(LENGTH "${usage}" skip)
string(SUBSTRING "${main}" ${skip} -1 main)
verbatim(text "${main}")
string(APPEND include "[=DESCRIPTION]\n${text}")
string(REGEX MATCHALL "\n  [a-z][a-z-]* " commands "${main}")
if(commands)
    string(APPEND include "[COMMANDS]\n")
endif()
foreach(command IN LISTS commands)
    string(STRIP "${command}" command)
    help_of(text ${command})
    verbatim(text "${text}")
    string(APPEND include ".SS ${command}\n${text}")
endforeach()
if(DEFINED EXTRA AND EXISTS "${EXTRA}")
    file(READ ${EXTRA} extra)
    string(APPEND include "${extra}")
endif()
file(WRITE ${OUT}.include "${include}")

execute_process(
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${NAME}
            --version-string=${VERSION} --include=${OUT}.include --output=${OUT}.tmp ${TOOL}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man ${TOOL}: status ${status}")
endif()
execute_process(COMMAND gzip -9 -n -c ${OUT}.tmp OUTPUT_FILE ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${OUT}: status ${status}")
endif()
file(REMOVE ${OUT}.tmp ${OUT}.include)
