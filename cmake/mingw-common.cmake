# Cross toolchain for Windows with Debian's MinGW-w64 (win32 thread model),
# for the target named by PATCHER_MINGW_TRIPLE (set by mingw-i686.cmake or
# mingw-x86_64.cmake, which include this).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${PATCHER_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PATCHER_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${PATCHER_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${PATCHER_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PATCHER_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${PATCHER_MINGW_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_STRIP ${PATCHER_MINGW_TRIPLE}-strip CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${PATCHER_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every exe must run from a bare folder: no libgcc, libstdc++ or
# winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
