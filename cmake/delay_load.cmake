# DLLs outside the system's KnownDLLs list would be searched for in the program's own
# folder first, where a downloaded file can plant a look-alike. The program imports
# them delay-loaded instead: they are first loaded after wWinMain has limited every
# DLL search to System32. This is the one list of them.
set(KESTROVA_DELAY_LOADED_DLLS winhttp bcrypt comctl32)

# Links `target` against the delay-loaded DLLs, and hands their names to its code as
# KESTROVA_DELAY_LOADED_DLLS (L"winhttp.dll",L"bcrypt.dll",...).
function(kestrova_link_delay_loaded target)
  set(names ${KESTROVA_DELAY_LOADED_DLLS})
  list(TRANSFORM names REPLACE "(.+)" "L\"\\1.dll\"")
  list(JOIN names "," names)
  target_compile_definitions(${target} PRIVATE "KESTROVA_DELAY_LOADED_DLLS=${names}")
  if(MSVC)
    foreach(dll IN LISTS KESTROVA_DELAY_LOADED_DLLS)
      target_link_libraries(${target} PRIVATE ${dll})
      target_link_options(${target} PRIVATE /DELAYLOAD:${dll}.dll)
    endforeach()
    # The directly imported DLLs' own dependencies come from System32 only, too.
    target_link_options(${target} PRIVATE /DEPENDENTLOADFLAG:0x800)
    target_link_libraries(${target} PRIVATE delayimp)
  else()
    # MinGW-w64: dlltool writes a delay-import library from the names the regular
    # import library exports; libmingwex supplies the delay-load helper.
    find_program(KESTROVA_NM NAMES ${CMAKE_NM} x86_64-w64-mingw32-nm REQUIRED)
    foreach(dll IN LISTS KESTROVA_DELAY_LOADED_DLLS)
      find_library(import_library_${dll} NAMES ${dll} REQUIRED)
      set(def ${CMAKE_BINARY_DIR}/delayload/${dll}.def)
      set(delaylib ${CMAKE_BINARY_DIR}/delayload/lib${dll}_delay.a)
      add_custom_command(OUTPUT ${delaylib}
        COMMAND ${CMAKE_COMMAND} -DNM=${KESTROVA_NM} -DIMPORT_LIBRARY=${import_library_${dll}}
                -DDLL=${dll}.dll -DDEF=${def} -P ${PROJECT_SOURCE_DIR}/cmake/write_def.cmake
        COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${dll}.dll --output-delaylib ${delaylib}
        DEPENDS ${PROJECT_SOURCE_DIR}/cmake/write_def.cmake
        COMMENT "Delay-import library for ${dll}.dll"
        VERBATIM)
      add_custom_target(${dll}_delay DEPENDS ${delaylib})
      add_dependencies(${target} ${dll}_delay)
      target_link_libraries(${target} PRIVATE ${delaylib})
    endforeach()
  endif()
endfunction()
