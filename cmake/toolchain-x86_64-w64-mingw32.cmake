# 64-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(SKORREL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Cross-built tests run under the 64-bit Wine. Set WINEPREFIX and WINEDEBUG
# in the environment.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
