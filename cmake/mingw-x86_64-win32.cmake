# mingw-w64 x86_64, win32 thread model: the program itself (no threading runtime that old Windows lacks).
set(PELLMARK_MINGW_ARCH x86_64)
set(PELLMARK_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
