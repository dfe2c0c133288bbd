# Cross toolchain shared by the mingw-w64 toolchain files: Windows
# executables from Linux. The including file sets PELLMARK_MINGW_ARCH
# (i686 or x86_64) and PELLMARK_MINGW_THREADS (win32 or posix).
#
# The thread model decides which runtime is linked in statically:
#   win32 - libstdc++ and libgcc over plain Win32 calls; what the product
#           uses, since it imports nothing that Windows 95 and NT 4.0 lack.
#   posix - the same over winpthreads, which imports XP- and Vista-only
#           functions; GoogleTest needs it (std::mutex), so the Windows-side
#           tests and test tools use it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PELLMARK_MINGW_ARCH})
set(triple ${PELLMARK_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-${PELLMARK_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${triple}-g++-${PELLMARK_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static runtime: the .exe needs no mingw DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
