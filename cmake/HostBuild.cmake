# Host build: the driver sources compiled for Linux and linked with the simulated kernel and
# NDIS (sim/), the PE reader (tools/pe), the tools, the GoogleTest suite and the benchmarks.

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

# ---- sanitizers (whole build, GoogleTest included, so that ThreadSanitizer sees everything)
if(KRVDLC_SANITIZERS)
  list(JOIN KRVDLC_SANITIZERS "," krvdlc_sanitize_list)
  add_compile_options(-fsanitize=${krvdlc_sanitize_list} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${krvdlc_sanitize_list})
  if("address" IN_LIST KRVDLC_SANITIZERS OR "undefined" IN_LIST KRVDLC_SANITIZERS)
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()

# ---- 32-bit builds: run the test programs under qemu-i386 when this kernel cannot ---------
include(HostEmulator)

# ---- driver and simulator -------------------------------------------------------------
krvdlc_glob_sources(krvdlc_driver_sources ${KRVDLC_DRIVER_DIRS})
krvdlc_add_static_library(krvdlc_driver ${krvdlc_driver_sources})
target_compile_definitions(krvdlc_driver PUBLIC KRVDLC_HOST_BUILD=1)
krvdlc_driver_code_options(krvdlc_driver)

krvdlc_glob_sources(krvdlc_sim_sources sim)
krvdlc_add_static_library(krvdlc_sim ${krvdlc_sim_sources})
target_compile_definitions(krvdlc_sim PUBLIC KRVDLC_HOST_BUILD=1)
target_link_libraries(krvdlc_sim PUBLIC krvdlc_pe Threads::Threads)
krvdlc_warnings(krvdlc_sim)
# A driver image loaded from its file (sim/image_loader.h) calls the simulator with the stack
# aligned to 4 bytes, as x86 Windows code keeps it, while the Linux i386 ABI promises 16 at
# every call (code built with SSE relies on it; today's i686 code happens not to, and the
# image tests pass without this). Every simulator routine therefore realigns on entry
# (-mstackrealign alone would only do so where a routine's own variables need it).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_compile_options(krvdlc_sim PRIVATE -mincoming-stack-boundary=2)
endif()

# The driver calls into the simulator and the simulator loads the driver (DriverEntry, the
# krvdlc_globals section), so the two archives are searched as one group.
add_library(krvdlc_simulated_driver INTERFACE)
target_link_libraries(krvdlc_simulated_driver INTERFACE
  "$<LINK_GROUP:RESCAN,krvdlc_driver,krvdlc_sim>" Threads::Threads)

# ---- PE reader ---------------------------------------------------------------------------
krvdlc_glob_sources(krvdlc_pe_sources tools/pe)
krvdlc_add_static_library(krvdlc_pe ${krvdlc_pe_sources})
krvdlc_warnings(krvdlc_pe STRICT)

# ---- client library (client/) ----------------------------------------------------------
include(ClientLibrary)

# ---- tools -----------------------------------------------------------------------------
include(HostTools)

# ---- tests -----------------------------------------------------------------------------
if(KRVDLC_BUILD_TESTS)
  include(HostTests)
endif()

# ---- benchmarks ------------------------------------------------------------------------
if(KRVDLC_BUILD_BENCH)
  find_package(benchmark REQUIRED)
  krvdlc_glob_sources(krvdlc_bench_sources bench)
  if(NOT TARGET krvdlc_sim_session)
    list(FILTER krvdlc_bench_sources EXCLUDE REGEX "/(round_trip|traffic)_bench\\.cpp$")
  endif()
  if(krvdlc_bench_sources)
    # Linked with benchmark_main: bench files define benchmarks only, no BENCHMARK_MAIN().
    add_executable(krvdlc_bench ${krvdlc_bench_sources})
    target_link_libraries(krvdlc_bench PRIVATE krvdlc_simulated_driver krvdlc_pe
                          $<$<TARGET_EXISTS:krvdlc_toolsupport>:krvdlc_toolsupport>
                          $<$<TARGET_EXISTS:krvdlc_client>:krvdlc_client>
                          $<$<TARGET_EXISTS:krvdlc_sim_session>:krvdlc_sim_session>
                          benchmark::benchmark_main)
    krvdlc_warnings(krvdlc_bench)
  else()
    message(STATUS "bench/ has no sources yet: krvdlc_bench is not built")
  endif()
endif()

# ---- fuzzing ---------------------------------------------------------------------------
# libFuzzer targets of fuzz/ (clang only; fuzz/run.sh configures build/fuzz for them).
option(KRVDLC_BUILD_FUZZ "Build the libFuzzer targets of fuzz/ (needs clang)" OFF)
if(KRVDLC_BUILD_FUZZ)
  add_subdirectory(fuzz)
endif()
