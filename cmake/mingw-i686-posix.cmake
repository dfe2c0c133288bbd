# mingw-w64 i686, posix thread model: the Windows-side tests and test tools (GoogleTest needs std::mutex).
set(PELLMARK_MINGW_ARCH i686)
set(PELLMARK_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
