# The driver image KRVDLC.SYS: the driver sources compiled as freestanding kernel-mode C++17
# by i686-w64-mingw32-g++, linked against the kernel import libraries only, with the version
# resource and the message table. Checks of the objects and of the image run as build steps.

find_program(KRVDLC_WINDRES_EXE NAMES ${KRVDLC_WINDRES} REQUIRED)
find_program(KRVDLC_WINDMC_EXE NAMES ${KRVDLC_WINDMC} REQUIRED)
find_program(KRVDLC_OBJDUMP_EXE NAMES ${KRVDLC_CROSS_PREFIX}-objdump REQUIRED)

set(KRVDLC_IMAGE_ENTRY "_DriverEntry@8")
set(KRVDLC_IMAGE_MAP "${CMAKE_BINARY_DIR}/KRVDLC.map")
set(KRVDLC_IMAGE_LINK_INFO "${CMAKE_BINARY_DIR}/KRVDLC.link")

# Kernel stacks are 12 KB; no FPU/SSE state is saved for driver code; no stack probes, unwind
# tables or guarded statics, and `new` keeps its null test because pool allocations can fail.
set(KRVDLC_KERNEL_COMPILE_OPTIONS
  -ffreestanding
  -fno-asynchronous-unwind-tables
  -fno-unwind-tables
  -fno-stack-protector
  -fno-ident
  -mgeneral-regs-only
  -mno-stack-arg-probe
  -Wframe-larger-than=1024
  $<$<COMPILE_LANGUAGE:CXX>:-fno-use-cxa-atexit -fcheck-new>)

krvdlc_glob_sources(krvdlc_driver_sources ${KRVDLC_DRIVER_DIRS})
if(NOT krvdlc_driver_sources)
  message(WARNING "No driver sources yet in ${KRVDLC_DRIVER_DIRS}: the image link will fail")
  set(krvdlc_driver_sources "${CMAKE_BINARY_DIR}/empty/krvdlc_driver.cpp")
  file(CONFIGURE OUTPUT "${krvdlc_driver_sources}" CONTENT "// no driver sources yet\n")
endif()

# The objects are compiled once and used twice: archived as krvdlc_driver (the same target
# name as in the host build) and linked as a whole into the image.
add_library(krvdlc_driver_objects OBJECT ${krvdlc_driver_sources})
target_include_directories(krvdlc_driver_objects PUBLIC "${PROJECT_SOURCE_DIR}")
target_compile_definitions(krvdlc_driver_objects PUBLIC KRVDLC_DRIVER_IMAGE=1)
krvdlc_driver_code_options(krvdlc_driver_objects)
target_compile_options(krvdlc_driver_objects PRIVATE ${KRVDLC_KERNEL_COMPILE_OPTIONS})

add_library(krvdlc_driver STATIC $<TARGET_OBJECTS:krvdlc_driver_objects>)
set_target_properties(krvdlc_driver PROPERTIES LINKER_LANGUAGE CXX)

# ---- resources -------------------------------------------------------------------------
set(krvdlc_msg_dir "${CMAKE_BINARY_DIR}/msg")
set(krvdlc_msg_source "${PROJECT_SOURCE_DIR}/diag/krvdlc.mc")
# windmc reads a CR LF copy of the source (see cmake/ConvertToCrlf.cmake) and names its
# outputs after the .mc file and the language's bin name.
add_custom_command(
  OUTPUT "${krvdlc_msg_dir}/krvdlc.rc" "${krvdlc_msg_dir}/krvdlc.h" "${krvdlc_msg_dir}/MSG00409.bin"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${krvdlc_msg_dir}"
  COMMAND ${CMAKE_COMMAND} -D "INPUT=${krvdlc_msg_source}" -D "OUTPUT=${krvdlc_msg_dir}/krvdlc.mc"
          -P "${PROJECT_SOURCE_DIR}/cmake/ConvertToCrlf.cmake"
  COMMAND "${KRVDLC_WINDMC_EXE}" --ascii_in --ascii_out
          --headerdir "${krvdlc_msg_dir}" --rcdir "${krvdlc_msg_dir}" "${krvdlc_msg_dir}/krvdlc.mc"
  DEPENDS "${krvdlc_msg_source}" "${PROJECT_SOURCE_DIR}/cmake/ConvertToCrlf.cmake"
  COMMENT "Compiling the message table diag/krvdlc.mc"
  VERBATIM)

add_custom_command(
  OUTPUT "${krvdlc_msg_dir}/messages.res.o"
  COMMAND "${KRVDLC_WINDRES_EXE}" --target=pe-i386 -O coff
          -i krvdlc.rc -o messages.res.o
  WORKING_DIRECTORY "${krvdlc_msg_dir}"
  DEPENDS "${krvdlc_msg_dir}/krvdlc.rc" "${krvdlc_msg_dir}/MSG00409.bin"
  COMMENT "Compiling the message table resource"
  VERBATIM)

set(krvdlc_version_source "${PROJECT_SOURCE_DIR}/core/krvdlc.rc")
add_custom_command(
  OUTPUT "${CMAKE_BINARY_DIR}/version.res.o"
  COMMAND "${KRVDLC_WINDRES_EXE}" --target=pe-i386 -O coff
          -i "${krvdlc_version_source}" -o "${CMAKE_BINARY_DIR}/version.res.o"
  DEPENDS "${krvdlc_version_source}"
  COMMENT "Compiling the version resource core/krvdlc.rc"
  VERBATIM)

# ---- the image -------------------------------------------------------------------------
add_executable(krvdlc_image
  "${CMAKE_BINARY_DIR}/version.res.o"
  "${krvdlc_msg_dir}/messages.res.o")
target_link_libraries(krvdlc_image PRIVATE krvdlc_driver_objects ntoskrnl hal ndis)
set_target_properties(krvdlc_image PROPERTIES
  OUTPUT_NAME KRVDLC
  PREFIX ""
  SUFFIX ".SYS"
  LINKER_LANGUAGE CXX
  RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
target_link_options(krvdlc_image PRIVATE
  -nostdlib
  -nostartfiles
  "-Wl,--entry,${KRVDLC_IMAGE_ENTRY}"
  -Wl,--fatal-warnings
  -Wl,--subsystem,native:5.0
  -Wl,--image-base,0x10000
  -Wl,--section-alignment,0x1000
  -Wl,--file-alignment,0x200
  -Wl,--dynamicbase
  -Wl,--enable-reloc-section
  -Wl,--nxcompat
  -Wl,--no-insert-timestamp
  -Wl,--disable-auto-import
  -Wl,--disable-runtime-pseudo-reloc
  -Wl,--disable-stdcall-fixup
  -Wl,--strip-all
  "-Wl,-Map,${KRVDLC_IMAGE_MAP}")

# Objects that need start-up code, unwind data or thread-local storage cannot work in a
# kernel image: nothing runs constructors, and nothing would unwind.
set(krvdlc_object_list "${CMAKE_BINARY_DIR}/driver-objects.txt")
file(GENERATE OUTPUT "${krvdlc_object_list}"
     CONTENT "$<JOIN:$<TARGET_OBJECTS:krvdlc_driver_objects>,\n>\n")
add_custom_command(TARGET krvdlc_image PRE_LINK
  COMMAND ${CMAKE_COMMAND} -D "OBJDUMP=${KRVDLC_OBJDUMP_EXE}" -D "OBJECT_LIST=${krvdlc_object_list}"
          -P "${PROJECT_SOURCE_DIR}/cmake/CheckDriverObjects.cmake"
  COMMENT "Checking driver objects for start-up, unwind and TLS sections"
  VERBATIM)

# The import libraries the image may use, resolved the way the linker resolves -l.
set(krvdlc_import_libraries)
foreach(lib ntoskrnl hal ndis)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${lib}.a
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(path "${path}" REALPATH)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "Import library lib${lib}.a not found (install mingw-w64-i686-dev)")
  endif()
  list(APPEND krvdlc_import_libraries "${path}")
endforeach()

# After the link: the image imports from the kernel modules only (else the image is removed),
# and the entry symbol's address and the inputs the image tests need are written down.
add_custom_command(TARGET krvdlc_image POST_BUILD
  COMMAND ${CMAKE_COMMAND} -D "OBJDUMP=${KRVDLC_OBJDUMP_EXE}" -D "IMAGE=$<TARGET_FILE:krvdlc_image>"
          -D "ALLOWED=NDIS.SYS;ntoskrnl.exe;HAL.dll"
          -P "${PROJECT_SOURCE_DIR}/cmake/CheckImageImports.cmake"
  COMMAND ${CMAKE_COMMAND} -D "MAP=${KRVDLC_IMAGE_MAP}" -D "ENTRY=${KRVDLC_IMAGE_ENTRY}"
          -D "IMPORT_LIBRARIES=${krvdlc_import_libraries}"
          -D "MESSAGE_HEADER=${krvdlc_msg_dir}/krvdlc.h"
          -D "OUTPUT=${KRVDLC_IMAGE_LINK_INFO}"
          -P "${PROJECT_SOURCE_DIR}/cmake/WriteImageLinkInfo.cmake"
  BYPRODUCTS "${KRVDLC_IMAGE_LINK_INFO}" "${KRVDLC_IMAGE_MAP}"
  COMMENT "Checking the imports of KRVDLC.SYS"
  VERBATIM)

# ---- the installation folder ------------------------------------------------------------
# Windows setup installs from one folder: the INF (with the CR LF line ends of Windows files)
# goes beside KRVDLC.SYS.
set(krvdlc_inf_source "${PROJECT_SOURCE_DIR}/install/KRVDLC.INF")
add_custom_command(
  OUTPUT "${CMAKE_BINARY_DIR}/KRVDLC.INF"
  COMMAND ${CMAKE_COMMAND} -D "INPUT=${krvdlc_inf_source}" -D "OUTPUT=${CMAKE_BINARY_DIR}/KRVDLC.INF"
          -P "${PROJECT_SOURCE_DIR}/cmake/ConvertToCrlf.cmake"
  DEPENDS "${krvdlc_inf_source}" "${PROJECT_SOURCE_DIR}/cmake/ConvertToCrlf.cmake"
  COMMENT "Placing install/KRVDLC.INF beside the image"
  VERBATIM)
add_custom_target(krvdlc_inf ALL DEPENDS "${CMAKE_BINARY_DIR}/KRVDLC.INF")
