#!/bin/sh
# Prints which Windows build the Windows-side tests run on here:
#   win32  the i686 build (the product), where Wine runs 32-bit programs;
#   win64  the x86_64 build of the same sources under 64-bit Wine, where the
#          kernel cannot run 32-bit programs (Wine's 32-bit loader fails
#          with "Exec format error").
# PELLMARK_WINDOWS_BUILD=win32 or win64 forces the choice.
case "${PELLMARK_WINDOWS_BUILD:-}" in
    win32|win64) echo "$PELLMARK_WINDOWS_BUILD"; exit 0 ;;
    "") ;;
    *) echo "windows-build: PELLMARK_WINDOWS_BUILD must be win32 or win64" >&2; exit 2 ;;
esac
if wine --version >/dev/null 2>&1; then echo win32; else echo win64; fi
