# Writes the gzipped manual page of a program from its own --help and --version (help2man).
#   cmake -DHELP2MAN=... -DPROGRAM=<built program> -DNAME=<installed name>
#         -DDESCRIPTION=<one line> -DINCLUDE=<.h2m file> -DFALLBACK_VERSION=<version>
#         -DWORK=<scratch folder> -DOUTPUT=<page>.1.gz -P ManPage.cmake
# The page is named after the installed program, which may differ from the built one: help2man
# runs the program through a link of that name and is given "NAME VERSION" as version line, the
# version being the second word of the program's own --version.
cmake_minimum_required(VERSION 3.25)

# No program takes longer than this to print its help; one that does is stuck (e.g. it opened a
# window instead).
set(answer_limit 30)

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(CREATE_LINK ${PROGRAM} ${WORK}/${NAME} SYMBOLIC)

execute_process(COMMAND ${WORK}/${NAME} --version
                RESULT_VARIABLE status OUTPUT_VARIABLE version_text ERROR_QUIET
                TIMEOUT ${answer_limit})
if(status EQUAL 0 AND version_text MATCHES "^[^ \n]+ +([^ \n]+)")
    set(version ${CMAKE_MATCH_1})
else()
    set(version ${FALLBACK_VERSION})
    message(STATUS "${NAME} does not answer --version (${status}): its manual page carries the "
                   "build's version ${version}")
endif()

execute_process(COMMAND ${HELP2MAN} --no-info "--name=${DESCRIPTION}" "--include=${INCLUDE}"
                        "--version-string=${NAME} ${version}"
                        "--output=${WORK}/${NAME}.1" ${WORK}/${NAME}
                RESULT_VARIABLE status ERROR_VARIABLE errors
                TIMEOUT ${answer_limit})
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man could not write the manual page of ${NAME} from "
                        "'${PROGRAM} --help' (${status}): ${errors}")
endif()
# The exit statuses that end a program's --help are a section of their own, not a part of the
# section before them.
file(READ ${WORK}/${NAME}.1 page)
string(REGEX REPLACE "\n\\.SS \"Exit status(es)?:\"\n" "\n.SH \"EXIT STATUS\"\n" page "${page}")
file(WRITE ${WORK}/${NAME}.1 "${page}")
# gzip -n: no name or time stamp inside, so the same page gives the same bytes.
execute_process(COMMAND gzip -9nf ${WORK}/${NAME}.1 RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${WORK}/${NAME}.1 (${status})")
endif()
file(RENAME ${WORK}/${NAME}.1.gz ${OUTPUT})
