# Cross build of the 64-bit Windows DLL with MinGW-w64 (x86_64), tested under 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MPLNET_MINGW_TRIPLE x86_64-w64-mingw32)
# Debian keeps the 64-bit loader off the PATH (/usr/lib/wine/wine64); the "wine" wrapper would start
# the 32-bit loader first, which on a kernel without 32-bit support runs under an emulator.
find_program(MPLNET_WINE NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine)
if(NOT MPLNET_WINE)
  find_program(MPLNET_WINE wine)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
