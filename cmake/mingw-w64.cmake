# Cross-building ra62d2ide.exe for 64-bit Windows with Debian's mingw-w64
# (the posix threads variant, for std::thread). scripts/build-windows uses it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RA62_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RA62_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RA62_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${RA62_MINGW}-windres)

# Libraries and headers come from the mingw-w64 tree only, plus the staged
# copies of header-only libraries (RA62_HEADER_ROOT, see scripts/
# build-windows); the build machine's own are for Linux.
set(CMAKE_FIND_ROOT_PATH /usr/${RA62_MINGW} ${RA62_HEADER_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
