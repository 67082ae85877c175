cmake_minimum_required(VERSION 3.25)
# Writes a module-definition file listing the functions that IMPORT_LIBRARY imports
# from DLL, read from its __imp_ symbols with NM.
execute_process(COMMAND ${NM} -g ${IMPORT_LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot read ${IMPORT_LIBRARY}")
endif()
string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@?$]+" imports "${symbols}")
set(text "LIBRARY ${DLL}\nEXPORTS\n")
foreach(import IN LISTS imports)
  string(REPLACE " I __imp_" "" name "${import}")
  string(APPEND text "  ${name}\n")
endforeach()
file(WRITE ${DEF} "${text}")
