# libkrvdlc, the user-mode client library of client/. On the host it is one static library
# over the emulated Win32 API of the simulated machine (krvdlc_client); the Windows user-mode
# build (cmake/WindowsUserBuild.cmake) makes a static library and krvdlc.dll from the same
# sources. New client/*.cpp files are picked up without touching CMake.

krvdlc_glob_sources(krvdlc_client_sources client)
if(NOT krvdlc_client_sources)
  return()
endif()
# The public header must stay plain C89.
set(krvdlc_client_c_check "${PROJECT_SOURCE_DIR}/client/c_api_check.c")
set_source_files_properties("${krvdlc_client_c_check}" PROPERTIES COMPILE_OPTIONS "-std=c89;-pedantic-errors")
list(APPEND krvdlc_client_sources "${krvdlc_client_c_check}")

if(NOT KRVDLC_IMAGE_BUILD)
  add_library(krvdlc_client STATIC ${krvdlc_client_sources})
  target_include_directories(krvdlc_client PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(krvdlc_client PUBLIC krvdlc_simulated_driver)
  krvdlc_warnings(krvdlc_client STRICT)
  return()
endif()

# Windows: only kernel32 and the system's msvcrt may be imported, so the GCC and C++
# runtimes are linked in statically.
set(krvdlc_client_link_options -static-libgcc -static-libstdc++ -s -Wl,--no-insert-timestamp)

add_library(krvdlc_client STATIC ${krvdlc_client_sources})
target_include_directories(krvdlc_client PUBLIC "${PROJECT_SOURCE_DIR}")
set_target_properties(krvdlc_client PROPERTIES OUTPUT_NAME krvdlc)
krvdlc_warnings(krvdlc_client STRICT)

add_library(krvdlc_dll SHARED ${krvdlc_client_sources})
target_include_directories(krvdlc_dll PUBLIC "${PROJECT_SOURCE_DIR}")
target_compile_definitions(krvdlc_dll PRIVATE KRVDLC_BUILDING_DLL=1)
target_link_options(krvdlc_dll PRIVATE ${krvdlc_client_link_options})
set_target_properties(krvdlc_dll PROPERTIES
  OUTPUT_NAME krvdlc
  PREFIX ""
  IMPORT_PREFIX "lib"
  IMPORT_SUFFIX ".dll.a"
  RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}"
  ARCHIVE_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
krvdlc_warnings(krvdlc_dll STRICT)
