# 32-bit Windows, the build the game was made for.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(SKORREL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Cross-built tests run under the 32-bit Wine, in a prefix made with
# WINEARCH=win32. Set WINEPREFIX and WINEDEBUG in the environment.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
