# What both MinGW-w64 cross builds share; the toolchain file of each sets MPLNET_MINGW_TRIPLE
# (i686-w64-mingw32 or x86_64-w64-mingw32) and CMAKE_SYSTEM_PROCESSOR, then includes this file.
#
# The -posix flavour of the compiler has std::thread and std::mutex (the exports serialize on one
# process-wide mutex); the -win32 flavour has neither.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MPLNET_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MPLNET_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MPLNET_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MPLNET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built for Windows run through Wine (MPLNET_WINE, found by the toolchain file); the
# tests add the prefix and quiet settings.
if(MPLNET_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MPLNET_WINE})
endif()
