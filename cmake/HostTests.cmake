# krvdlc_tests: one GoogleTest program from tests/*.cpp and tests/*/*.cpp. Every test runs as
# its own ctest test (its own process); tests whose name contains "Stress" carry the label
# `stress`, which is all the ThreadSanitizer build runs.

# GoogleTest from Debian's sources, built with this build's flags (-m32, sanitizers).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(KRVDLC_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS "${KRVDLC_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "GoogleTest sources not found in ${KRVDLC_GOOGLETEST_SOURCE_DIR} (install googletest)")
endif()
add_subdirectory("${KRVDLC_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)

enable_testing()
include(GoogleTest)

file(GLOB krvdlc_test_sources CONFIGURE_DEPENDS
     "${PROJECT_SOURCE_DIR}/tests/*.cpp" "${PROJECT_SOURCE_DIR}/tests/*/*.cpp")
list(SORT krvdlc_test_sources)
# The krvdlcctl and traffic tests run the commands and krvdlc-sim, which need the client library.
if(NOT TARGET krvdlc_sim_session)
  list(FILTER krvdlc_test_sources EXCLUDE REGEX "/tests/(ctl|traffic)/")
endif()
if(NOT krvdlc_test_sources)
  message(STATUS "tests/ has no sources yet: krvdlc_tests is not built")
  return()
endif()

add_executable(krvdlc_tests ${krvdlc_test_sources})
target_link_libraries(krvdlc_tests PRIVATE
  krvdlc_simulated_driver krvdlc_pe
  $<$<TARGET_EXISTS:krvdlc_toolsupport>:krvdlc_toolsupport>
  $<$<TARGET_EXISTS:krvdlc_client>:krvdlc_client>
  $<$<TARGET_EXISTS:krvdlc_sim_session>:krvdlc_sim_session>
  GTest::gmock GTest::gtest_main)
# The image tests read the driver image that the driver preset builds.
target_compile_definitions(krvdlc_tests PRIVATE "KRVDLC_IMAGE_PATH=\"${KRVDLC_IMAGE_PATH}\""
                           "KRVDLC_USER_BUILD_DIR=\"${KRVDLC_USER_BUILD_DIR}\""
                           "KRVDLC_SOURCE_DIR=\"${PROJECT_SOURCE_DIR}\"")
krvdlc_warnings(krvdlc_tests)

# Listing the tests under qemu-i386 or a sanitizer takes seconds, so discovery runs when ctest
# starts rather than after every link, with room for the emulator.
set(krvdlc_discovery_options DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300)
gtest_discover_tests(krvdlc_tests TEST_FILTER "-*Stress*" ${krvdlc_discovery_options}
                     PROPERTIES TIMEOUT 300)
gtest_discover_tests(krvdlc_tests TEST_FILTER "*Stress*" ${krvdlc_discovery_options}
                     PROPERTIES TIMEOUT 600 LABELS stress)

# In 32-bit builds the driver tests run a second time against the driver image itself
# (KRVDLC_TEST_IMAGE: the simulator loads KRVDLC.SYS from its file instead of using the
# host-compiled driver), registered as image.<Suite>.<Test>. The suites are those of
# tests/driver/; a test there that must reach inside the driver skips itself against the
# image and says why.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  file(GLOB krvdlc_driver_test_sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tests/driver/*.cpp")
  set(krvdlc_driver_suites)
  set(krvdlc_driver_stress_tests)
  foreach(source IN LISTS krvdlc_driver_test_sources)
    file(STRINGS "${source}" lines REGEX "^TEST(_F)?\\([A-Za-z0-9_]+, *[A-Za-z0-9_]+\\)")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^TEST(_F)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\).*" "\\2.\\3" test "${line}")
      string(REGEX REPLACE "\\..*" ".*" suite "${test}")
      list(APPEND krvdlc_driver_suites "${suite}")
      if(test MATCHES "Stress")
        list(APPEND krvdlc_driver_stress_tests "${test}")
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES krvdlc_driver_suites)
  list(JOIN krvdlc_driver_suites ":" krvdlc_driver_filter)
  list(JOIN krvdlc_driver_stress_tests ":" krvdlc_driver_stress_filter)
  set(krvdlc_image_environment "KRVDLC_TEST_IMAGE=${KRVDLC_IMAGE_PATH}")
  gtest_discover_tests(krvdlc_tests TEST_PREFIX "image." TEST_FILTER "${krvdlc_driver_filter}:-*Stress*"
                       ${krvdlc_discovery_options}
                       PROPERTIES TIMEOUT 300 LABELS image ENVIRONMENT "${krvdlc_image_environment}")
  gtest_discover_tests(krvdlc_tests TEST_PREFIX "image." TEST_FILTER "${krvdlc_driver_stress_filter}"
                       ${krvdlc_discovery_options}
                       PROPERTIES TIMEOUT 600 LABELS image ENVIRONMENT "${krvdlc_image_environment}")
endif()
