# One interface target carries warnings and the release size settings for every target.
add_library(kestrova_options INTERFACE)
if(MSVC)
  target_compile_options(kestrova_options INTERFACE /W4 /permissive- /utf-8 $<$<CONFIG:Release>:/O1 /Gy>)
  target_link_options(kestrova_options INTERFACE $<$<CONFIG:Release>:/OPT:REF /OPT:ICF>)
else()
  target_compile_options(kestrova_options INTERFACE -Wall -Wextra
    $<$<CONFIG:Release>:-Os -ffunction-sections -fdata-sections>)
  if(MINGW)
    # Static runtime: the program and the tests import only Windows system DLLs.
    target_link_options(kestrova_options INTERFACE -static $<$<CONFIG:Release>:-Wl,--gc-sections -s>)
  endif()
endif()
