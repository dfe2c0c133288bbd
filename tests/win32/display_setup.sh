#!/bin/bash
# Sets the sandbox's screen up before Wine starts (PELLMARK_WINE_SETUP):
# PELLMARK_TEST_LOGPIXELS pixels per logical inch (120: large fonts).
set -euo pipefail
prefix=$1
if [ -n "${PELLMARK_TEST_LOGPIXELS:-}" ]; then
    hex=$(printf '%08x' "$PELLMARK_TEST_LOGPIXELS")
    printf '\n[Control Panel\\\\Desktop]\n"LogPixels"=dword:%s\n' "$hex" >>"$prefix/user.reg"
    printf '\n[System\\\\CurrentControlSet\\\\Hardware Profiles\\\\Current\\\\Software\\\\Fonts]\n"LogPixels"=dword:%s\n' \
        "$hex" >>"$prefix/system.reg"
fi
