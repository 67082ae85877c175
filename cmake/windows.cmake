include(cmake/delay_load.cmake)

# The Windows program: every platform-bound module in one library (so the unit tests
# link the same code), and a thin executable around wWinMain.
add_library(kestrova_platform STATIC
  app/utf8.cpp
  ui/status_window.cpp
  ui/end_box.cpp
  net/url_parts.cpp
  net/download_request.cpp
  net/response_body.cpp
  net/caching_headers.cpp
  manifest/manifest_reader.cpp
  manifest/manifest_policy.cpp
  cache/cache_location.cpp
  cache/installer_verification.cpp
  cache/cache_refresh.cpp
  app/installer_launch.cpp
  app/setup_run.cpp
  app/failure_box.cpp
)
target_compile_definitions(kestrova_platform PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# The system DLLs on the KnownDLLs list are imported directly; the others are linked by
# each executable: delay-loaded by the program, directly by the tests.
target_link_libraries(kestrova_platform PUBLIC kestrova_core gdi32 user32 shell32 kernel32)

add_executable(KestrovaSetup WIN32 app/main.cpp app/terminate_handler.cpp)
target_link_libraries(KestrovaSetup PRIVATE kestrova_platform)
kestrova_link_delay_loaded(KestrovaSetup)
set_target_properties(KestrovaSetup PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
if(MINGW)
  target_link_options(KestrovaSetup PRIVATE -municode)
endif()

add_subdirectory(release_tool)
