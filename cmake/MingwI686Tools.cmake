# Debian's mingw-w64 for 32-bit x86 Windows: the compilers, the binary utilities and the
# search roots that both Windows toolchain files (driver image, user mode) share.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KRVDLC_CROSS_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${KRVDLC_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${KRVDLC_CROSS_PREFIX}-g++)
set(CMAKE_AR           ${KRVDLC_CROSS_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${KRVDLC_CROSS_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP      ${KRVDLC_CROSS_PREFIX}-objdump CACHE FILEPATH "")
set(CMAKE_NM           ${KRVDLC_CROSS_PREFIX}-nm CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${KRVDLC_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
