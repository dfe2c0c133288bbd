# mingw-w64 x86_64, posix thread model: the Windows-side tests and test tools (GoogleTest needs std::mutex).
set(PELLMARK_MINGW_ARCH x86_64)
set(PELLMARK_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
