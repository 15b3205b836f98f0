# Cross build of the 32-bit Windows DLL with MinGW-w64 (i686), tested under Wine.
#
# The -posix flavour of the compiler has std::thread and std::mutex (the exports serialize on one
# process-wide mutex); the -win32 flavour has neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built for Windows run through Wine; the tests add the prefix and quiet settings.
find_program(MPLNET_WINE wine)
if(MPLNET_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MPLNET_WINE})
endif()
