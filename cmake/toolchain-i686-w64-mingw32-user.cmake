# Cross toolchain for the Windows user-mode side (libkrvdlc, krvdlc.dll, krvdlcctl.exe):
# Debian's mingw-w64 for 32-bit x86 Windows with its ordinary C runtime and import
# libraries. cmake/ClientLibrary.cmake and cmake/WindowsUserBuild.cmake hold the rules.
include("${CMAKE_CURRENT_LIST_DIR}/MingwI686Tools.cmake")

set(CMAKE_RC_COMPILER  ${KRVDLC_CROSS_PREFIX}-windres)

set(KRVDLC_USER_MODE_BUILD ON CACHE BOOL "Windows user-mode build instead of the driver image" FORCE)
