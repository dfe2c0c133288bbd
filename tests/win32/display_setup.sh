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
# PELLMARK_TEST_PRIVATE_COLORMAP=1: at 256 colours, Wine's display gets a
# colour map of its own, so that palettes realized by programs change the
# display's colours as on Windows (in the shared map they only pick among
# the colours already there).
if [ "${PELLMARK_TEST_PRIVATE_COLORMAP:-0}" = 1 ]; then
    printf '\n[Software\\\\Wine\\\\X11 Driver]\n"PrivateColorMap"="Y"\n' >>"$prefix/user.reg"
fi
