# Cross build of skelvane.exe for 32-bit Windows with Debian's mingw-w64
# i686 compiler, which links the system C runtime (msvcrt.dll).
set(SKELVANE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
