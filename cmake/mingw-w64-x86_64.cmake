# Cross build of the 64-bit Windows DLL with MinGW-w64 (x86_64), tested under 64-bit Wine.
#
# The -posix flavour of the compiler has std::thread and std::mutex (the exports serialize on one
# process-wide mutex); the -win32 flavour has neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built for Windows run through Wine; the tests add the prefix and quiet settings.
# Debian keeps the 64-bit loader off the PATH (/usr/lib/wine/wine64); the "wine" wrapper would start
# the 32-bit loader first, which on a kernel without 32-bit support runs under an emulator.
find_program(MPLNET_WINE NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine)
if(NOT MPLNET_WINE)
  find_program(MPLNET_WINE wine)
endif()
if(MPLNET_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MPLNET_WINE})
endif()
