# Cross toolchain for the driver image: Debian's mingw-w64 for 32-bit x86 Windows.
# Only the compilers and the binary utilities are chosen here; the kernel-mode flags
# live in cmake/DriverImage.cmake so that they are visible next to the link rules.
include("${CMAKE_CURRENT_LIST_DIR}/MingwI686Tools.cmake")

set(KRVDLC_WINDRES     ${KRVDLC_CROSS_PREFIX}-windres)
set(KRVDLC_WINDMC      ${KRVDLC_CROSS_PREFIX}-windmc)

# A kernel image links against nothing but the kernel import libraries it names itself.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
