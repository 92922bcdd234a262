# Rules shared by the driver image build and the host build.

# The folders whose *.cpp make up the driver. New files are picked up without touching CMake.
set(KRVDLC_DRIVER_DIRS core platform binding receive transmit diag)

# Collects <dir>/*.cpp (non-recursive) of the given folders of the source tree, sorted.
function(krvdlc_glob_sources out)
  set(patterns)
  foreach(dir IN LISTS ARGN)
    list(APPEND patterns "${PROJECT_SOURCE_DIR}/${dir}/*.cpp")
  endforeach()
  file(GLOB found CONFIGURE_DEPENDS ${patterns})
  list(SORT found)
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# A static library from the given sources. While a folder is still empty the library is built
# from one empty translation unit, so that the build graph stays the same from day one.
function(krvdlc_add_static_library name)
  set(sources ${ARGN})
  if(NOT sources)
    set(placeholder "${CMAKE_CURRENT_BINARY_DIR}/empty/${name}.cpp")
    file(CONFIGURE OUTPUT "${placeholder}"
         CONTENT "// ${name} has no sources yet.\n")
    set(sources "${placeholder}")
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
endfunction()

# Warnings for the project's own code (never for the vendored GoogleTest). With STRICT they
# are errors (when KRVDLC_WERROR is on): the driver code and the PE reader. The simulator,
# tools and tests get the same warnings without failing the build.
function(krvdlc_warnings target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "STRICT" "" "")
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wformat=2 -Wvla $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor> -Wduplicated-cond -Wlogical-op)
  if(arg_STRICT AND KRVDLC_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Options every compilation of driver code gets, on the host as in the image: the driver
# is freestanding C++17 without exceptions, RTTI or guarded statics, and it reads records
# through casts the way kernel code does, so strict aliasing is off in both builds alike.
function(krvdlc_driver_code_options target)
  krvdlc_warnings(${target} STRICT)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
    -fno-strict-aliasing)
endfunction()
