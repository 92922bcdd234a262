# krvdlc_toolsupport is built in every host build (the tests may use it); the programs only
# when KRVDLC_BUILD_TOOLS is on.
# Every tools/<name>/ folder with a main.cpp becomes the program <name>, built from all the
# .cpp files of that folder into build/<preset>/tools/<name>/<name>. tools/common/*.cpp form
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
  target_link_libraries(krvdlc_toolsupport PUBLIC krvdlc_simulated_driver krvdlc_pe
                        $<$<TARGET_EXISTS:krvdlc_pcap>:krvdlc_pcap>)
  krvdlc_warnings(krvdlc_toolsupport)
endif()

if(NOT KRVDLC_BUILD_TOOLS)
  return()
endif()

file(GLOB krvdlc_tool_mains CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tools/*/main.cpp")
list(SORT krvdlc_tool_mains)
foreach(main IN LISTS krvdlc_tool_mains)
  get_filename_component(dir "${main}" DIRECTORY)
  get_filename_component(name "${dir}" NAME)
  if(name STREQUAL "common" OR name STREQUAL "pe")
    continue()
  endif()
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  # <file>_windows.cpp belongs to the Windows build of a program (cmake/WindowsUserBuild.cmake).
  list(FILTER sources EXCLUDE REGEX "_windows\\.cpp$")
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE krvdlc_simulated_driver krvdlc_pe
                        $<$<TARGET_EXISTS:krvdlc_toolsupport>:krvdlc_toolsupport>
                        $<$<TARGET_EXISTS:krvdlc_client>:krvdlc_client>
                        $<$<TARGET_EXISTS:krvdlc_pcap>:krvdlc_pcap>)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tools/${name}")
  krvdlc_warnings(${name})
endforeach()
