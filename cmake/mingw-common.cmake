# Shared by both MinGW-w64 toolchain files, which set SKORREL_MINGW_TRIPLE
# and CMAKE_SYSTEM_PROCESSOR first. Posix thread model, with the C++ runtime
# linked in so the exe runs with nothing beside it.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${SKORREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SKORREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SKORREL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SKORREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every exe, the unit tests too: no libstdc++, libgcc or winpthread DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
