# krvdlc_toolsupport is built in every host build (the tests may use it); the programs only
# when KRVDLC_BUILD_TOOLS is on.
# Every tools/<name>/ folder with a main.cpp becomes the program <name>, built from all the
# .cpp files of that folder into build/<preset>/tools/<name>/<name> (krvdlc-sim from its
# main.cpp and the libraries below; krvdlcctl is a Windows program only). tools/common/*.cpp form
# krvdlc_toolsupport; tools/pe is the PE reader library (see HostBuild.cmake).

if(KRVDLC_WITH_PCAP)
  find_library(KRVDLC_PCAP_LIBRARY NAMES pcap REQUIRED)
  find_path(KRVDLC_PCAP_INCLUDE_DIR NAMES pcap/pcap.h REQUIRED)
  add_library(krvdlc_pcap INTERFACE)
  target_link_libraries(krvdlc_pcap INTERFACE "${KRVDLC_PCAP_LIBRARY}")
  target_include_directories(krvdlc_pcap INTERFACE "${KRVDLC_PCAP_INCLUDE_DIR}")
  target_compile_definitions(krvdlc_pcap INTERFACE KRVDLC_HAVE_PCAP=1)
endif()

krvdlc_glob_sources(krvdlc_toolsupport_sources tools/common)
if(krvdlc_toolsupport_sources)
  add_library(krvdlc_toolsupport STATIC ${krvdlc_toolsupport_sources})
  target_include_directories(krvdlc_toolsupport PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(krvdlc_toolsupport PUBLIC krvdlc_simulated_driver krvdlc_pe)
  krvdlc_warnings(krvdlc_toolsupport)
endif()

# krvdlcctl's commands (tools/krvdlcctl without main.cpp, which is the entry of
# krvdlcctl.exe in the Windows build) and krvdlc-sim's machine and command runner
# (tools/krvdlc-sim without main.cpp) are libraries, so the tests run the commands too.
krvdlc_glob_sources(krvdlcctl_sources tools/krvdlcctl)
list(FILTER krvdlcctl_sources EXCLUDE REGEX "/main\\.cpp$|_windows\\.cpp$")
if(krvdlcctl_sources AND TARGET krvdlc_client)
  add_library(krvdlcctl_commands STATIC ${krvdlcctl_sources})
  target_include_directories(krvdlcctl_commands PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(krvdlcctl_commands PUBLIC krvdlc_client $<$<TARGET_EXISTS:krvdlc_pcap>:krvdlc_pcap>)
  krvdlc_warnings(krvdlcctl_commands STRICT)

  krvdlc_glob_sources(krvdlc_sim_session_sources tools/krvdlc-sim)
  list(FILTER krvdlc_sim_session_sources EXCLUDE REGEX "/main\\.cpp$")
  add_library(krvdlc_sim_session STATIC ${krvdlc_sim_session_sources})
  target_link_libraries(krvdlc_sim_session PUBLIC krvdlcctl_commands krvdlc_toolsupport)
  krvdlc_warnings(krvdlc_sim_session STRICT)
endif()

if(NOT KRVDLC_BUILD_TOOLS)
  return()
endif()

file(GLOB krvdlc_tool_mains CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tools/*/main.cpp")
list(SORT krvdlc_tool_mains)
foreach(main IN LISTS krvdlc_tool_mains)
  get_filename_component(dir "${main}" DIRECTORY)
  get_filename_component(name "${dir}" NAME)
  if(name STREQUAL "common" OR name STREQUAL "pe" OR name STREQUAL "krvdlcctl")
    continue()
  endif()
  if(name STREQUAL "krvdlc-sim")
    if(TARGET krvdlc_sim_session)
      add_executable(${name} "${main}")
      target_link_libraries(${name} PRIVATE krvdlc_sim_session)
    endif()
  else()
    file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.cpp")
    # <file>_windows.cpp belongs to the Windows build of a program (cmake/WindowsUserBuild.cmake).
    list(FILTER sources EXCLUDE REGEX "_windows\\.cpp$")
    add_executable(${name} ${sources})
  endif()
  if(NOT TARGET ${name})
    continue()
  endif()
  target_link_libraries(${name} PRIVATE krvdlc_simulated_driver krvdlc_pe
                        $<$<TARGET_EXISTS:krvdlc_toolsupport>:krvdlc_toolsupport>
                        $<$<TARGET_EXISTS:krvdlc_client>:krvdlc_client>
                        $<$<TARGET_EXISTS:krvdlc_pcap>:krvdlc_pcap>)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tools/${name}")
  krvdlc_warnings(${name})
endforeach()
