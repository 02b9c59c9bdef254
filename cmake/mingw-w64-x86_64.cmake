# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix threading model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVANTIS_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVANTIS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANTIS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVANTIS_MINGW_PREFIX}-windres)
# Makes the delay-load import libraries of winhttp and bcrypt.
set(CMAKE_DLLTOOL ${KORVANTIS_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVANTIS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
