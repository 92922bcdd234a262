# Windows user-mode build (preset `windows`): libkrvdlc as a static library and as
# krvdlc.dll with its import library, and krvdlcctl.exe when tools/krvdlcctl/ exists. Every
# image links the GCC and C++ runtimes statically, so that it imports only system DLLs
# (kernel32 and msvcrt); tests/image checks that on the built files.

include(ClientLibrary)

# tools/krvdlcctl/*.cpp are shared with the host program; files ending in _host.cpp are the
# host's alone (the simulated machine, libpcap) and files ending in _windows.cpp Windows's.
file(GLOB krvdlc_ctl_sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tools/krvdlcctl/*.cpp")
list(FILTER krvdlc_ctl_sources EXCLUDE REGEX "_host\\.cpp$")
list(SORT krvdlc_ctl_sources)
if(krvdlc_ctl_sources)
  add_executable(krvdlcctl ${krvdlc_ctl_sources})
  target_link_libraries(krvdlcctl PRIVATE krvdlc_client)
  target_link_options(krvdlcctl PRIVATE ${krvdlc_client_link_options} -mconsole)
  set_target_properties(krvdlcctl PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
  krvdlc_warnings(krvdlcctl)
else()
  message(STATUS "tools/krvdlcctl/ has no sources yet: krvdlcctl.exe is not built")
endif()
