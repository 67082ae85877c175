# One interface target carries warnings, the release size settings, hardening and
# reproducibility for every target.
add_library(kestrova_options INTERFACE)

# The time stamp written into the PE headers: the commit time of the sources (seconds
# since 1970) when a release build gives one, else 0. No other time, and no path, user
# or machine name, enters the binaries: the same sources and release constants give the
# same bytes wherever and whenever they are built.
set(KESTROVA_SOURCE_DATE_EPOCH "" CACHE STRING
    "Time stamp for the PE headers (seconds since 1970, e.g. the commit time); empty: 0")
if(NOT KESTROVA_SOURCE_DATE_EPOCH MATCHES "^[0-9]*$")
  message(FATAL_ERROR "KESTROVA_SOURCE_DATE_EPOCH must be a number of seconds")
endif()

if(MSVC)
  # /GS (stack cookies) is on by default. /Brepro makes the compiler and the linker
  # write a content hash where they would write the time.
  target_compile_options(kestrova_options INTERFACE /W4 /permissive- /utf-8 /Brepro
    $<$<CONFIG:Release>:/O1 /Gy>)
  target_link_options(kestrova_options INTERFACE /Brepro $<$<CONFIG:Release>:/OPT:REF /OPT:ICF>)
else()
  target_compile_options(kestrova_options INTERFACE -Wall -Wextra
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
    $<$<CONFIG:Release>:-Os -ffunction-sections -fdata-sections>)
  if(MINGW)
    # Static runtime: the program and the tests import only Windows system DLLs.
    target_link_options(kestrova_options INTERFACE -static $<$<CONFIG:Release>:-Wl,--gc-sections -s>)
    # Stack cookies as MSVC's /GS puts them in, with a cookie of our own (not libssp).
    add_library(kestrova_stack_guard STATIC ${PROJECT_SOURCE_DIR}/app/stack_guard.cpp)
    target_compile_options(kestrova_stack_guard PRIVATE -Wall -Wextra -fno-stack-protector
      $<$<CONFIG:Release>:-Os>)
    target_compile_options(kestrova_options INTERFACE -fstack-protector-strong)
    target_link_libraries(kestrova_options INTERFACE kestrova_stack_guard)
    if(KESTROVA_SOURCE_DATE_EPOCH STREQUAL "")
      target_link_options(kestrova_options INTERFACE -Wl,--no-insert-timestamp)
    else()
      # GNU ld takes the PE time stamp from SOURCE_DATE_EPOCH.
      set_property(GLOBAL PROPERTY RULE_LAUNCH_LINK
        "${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${KESTROVA_SOURCE_DATE_EPOCH}")
    endif()
  endif()
endif()
