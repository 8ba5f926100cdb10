# Cross build of skelvane.exe for 64-bit Windows with Debian's mingw-w64
# x86_64 compiler: the same program, for testing under 64-bit Wine where
# the kernel cannot run 32-bit programs.
set(SKELVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
