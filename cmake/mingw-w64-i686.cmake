# Cross build of the 32-bit Windows DLL with MinGW-w64 (i686), tested under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MPLNET_MINGW_TRIPLE i686-w64-mingw32)
find_program(MPLNET_WINE wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
