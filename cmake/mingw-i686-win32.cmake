# mingw-w64 i686, win32 thread model: the program itself (no threading runtime that old Windows lacks).
set(PELLMARK_MINGW_ARCH i686)
set(PELLMARK_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
