#!/bin/bash
# PELLMARK_WINE_SETUP: plants the stand-in help program (PELLMARK_TEST_HELP)
# as the sandbox's winhlp32.exe, loaded instead of Wine's own, which has no
# cursors.
set -euo pipefail
prefix=$1
cp "$PELLMARK_TEST_HELP" "$prefix/drive_c/windows/winhlp32.exe"
printf '\n[Software\\\\Wine\\\\DllOverrides]\n"winhlp32.exe"="native"\n' >>"$prefix/user.reg"
