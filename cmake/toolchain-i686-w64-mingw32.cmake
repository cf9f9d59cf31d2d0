# 32-bit Windows, the build the game was made for.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(SKORREL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
