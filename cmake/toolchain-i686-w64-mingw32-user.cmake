# Cross toolchain for the Windows user-mode side (libkrvdlc, krvdlc.dll, krvdlcctl.exe):
# Debian's mingw-w64 for 32-bit x86 Windows with its ordinary C runtime and import
# libraries. cmake/ClientLibrary.cmake and cmake/WindowsUserBuild.cmake hold the rules.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KRVDLC_CROSS_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${KRVDLC_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${KRVDLC_CROSS_PREFIX}-g++)
set(CMAKE_AR           ${KRVDLC_CROSS_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${KRVDLC_CROSS_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP      ${KRVDLC_CROSS_PREFIX}-objdump CACHE FILEPATH "")
set(CMAKE_NM           ${KRVDLC_CROSS_PREFIX}-nm CACHE FILEPATH "")
set(CMAKE_RC_COMPILER  ${KRVDLC_CROSS_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KRVDLC_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(KRVDLC_USER_MODE_BUILD ON CACHE BOOL "Windows user-mode build instead of the driver image" FORCE)
