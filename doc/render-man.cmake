# Renders the man page: the version is put into the scdoc source, scdoc writes
# the page, and gzip (when GZIP is set) packs it as Debian installs pages.
#   cmake -DSCDOC=... -DSOURCE=x.scd -DOUTPUT=x.1 -DVERSION=... [-DGZIP=...] -P render-man.cmake
cmake_minimum_required(VERSION 3.25)
file(READ "${SOURCE}" text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
file(WRITE "${OUTPUT}.scd" "${text}")
execute_process(COMMAND "${SCDOC}" INPUT_FILE "${OUTPUT}.scd" OUTPUT_FILE "${OUTPUT}"
                RESULT_VARIABLE status ERROR_VARIABLE errors)
file(REMOVE "${OUTPUT}.scd")
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "scdoc could not render ${SOURCE}: ${errors}")
endif()
if(GZIP)
  # -n: no name or time stamp inside, so the same page packs the same bytes.
  execute_process(COMMAND "${GZIP}" -9 -n -c INPUT_FILE "${OUTPUT}" OUTPUT_FILE "${OUTPUT}.gz" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip could not pack ${OUTPUT}")
  endif()
endif()
