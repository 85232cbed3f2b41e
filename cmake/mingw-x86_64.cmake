# Cross toolchain: 64-bit Windows. The program ships as a 32-bit exe
# (mingw-i686.cmake); this build of the same sources runs the Windows tests
# where Wine cannot run 32-bit programs (see scripts/wine-arch).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PATCHER_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
