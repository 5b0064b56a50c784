# Renders the man page source and formats it as man(1) would, with every groff
# warning on: any message on standard error fails the test.
#   cmake -DSCDOC=... -DGROFF=... -DSOURCE=... -DRENDER=render-man.cmake -DVERSION=... -DWORK=dir -P check_man_page.cmake
cmake_minimum_required(VERSION 3.25)
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" -DSCDOC=${SCDOC} -DSOURCE=${SOURCE} -DOUTPUT=${WORK}/kest-core.1
                        -DVERSION=${VERSION} -P "${RENDER}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the man page did not render")
endif()
execute_process(COMMAND "${GROFF}" -ww -man -Tutf8 "${WORK}/kest-core.1"
                OUTPUT_QUIET ERROR_VARIABLE warnings RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff -ww (status ${status}):\n${warnings}")
endif()
# The same without bold or underlining, to find the sections in plain text.
execute_process(COMMAND "${GROFF}" -man -Tutf8 -P-cbou "${WORK}/kest-core.1" OUTPUT_VARIABLE plain)
foreach(section NAME SYNOPSIS DESCRIPTION MODES ARGUMENTS METHODS ERRORS "EXIT STATUS" FILES ENVIRONMENT
                "LINUX NOTES" "USER SERVICE")
  if(NOT plain MATCHES "\n${section}\n")
    message(FATAL_ERROR "the formatted page has no section ${section}")
  endif()
endforeach()
