# A 32-bit host build (-m32) produces i386 programs. Some kernels are built without IA-32
# emulation and refuse to run them; then the test programs run under qemu-i386 (user mode,
# host libraries from "/"). The emulator is set only where it is needed.

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4 OR CMAKE_CROSSCOMPILING_EMULATOR)
  return()
endif()

try_run(krvdlc_i386_run_result krvdlc_i386_compile_result
  SOURCE_FROM_CONTENT i386_probe.c "int main(void) { return 0; }"
  COMPILE_OUTPUT_VARIABLE krvdlc_i386_compile_output
  RUN_OUTPUT_VARIABLE krvdlc_i386_run_output)

if(NOT krvdlc_i386_compile_result)
  message(FATAL_ERROR "Cannot build 32-bit programs (install g++-multilib):\n${krvdlc_i386_compile_output}")
endif()

if(krvdlc_i386_run_result EQUAL 0)
  message(STATUS "This kernel runs 32-bit programs: no emulator")
  return()
endif()

find_program(KRVDLC_QEMU_I386 NAMES qemu-i386)
if(NOT KRVDLC_QEMU_I386)
  message(FATAL_ERROR "This kernel cannot run 32-bit programs and qemu-i386 is missing (install qemu-user)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${KRVDLC_QEMU_I386};-L;/" CACHE STRING
    "Runs the 32-bit test programs on this kernel" FORCE)
message(STATUS "This kernel cannot run 32-bit programs: tests run under ${CMAKE_CROSSCOMPILING_EMULATOR}")
