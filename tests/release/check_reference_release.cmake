cmake_minimum_required(VERSION 3.25)
# Writes (or reuses) the reference release and fails unless its SHA-256 is the one
# compiled into the program as the default.
execute_process(COMMAND /usr/bin/python3 -B -E -s ${SCRIPT} ${OUTPUT}
  OUTPUT_VARIABLE digest OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "writing the reference release failed")
endif()
if(NOT digest STREQUAL EXPECTED)
  message(FATAL_ERROR "reference release SHA-256 ${digest} differs from the built-in default ${EXPECTED}")
endif()
message(STATUS "reference release ${OUTPUT}: ${digest}")
