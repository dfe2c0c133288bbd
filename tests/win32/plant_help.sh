#!/bin/bash
# PELLMARK_WINE_SETUP: plants the stand-in help program (PELLMARK_TEST_HELP)
# as the sandbox's winhlp32.exe, loaded instead of Wine's own, which has no
# cursors.
set -euo pipefail
prefix=$1
# The sandbox's program images are hard links to its template: the copy
# replaces the link instead of writing through it.
cp --remove-destination "$PELLMARK_TEST_HELP" "$prefix/drive_c/windows/winhlp32.exe"
printf '\n[Software\\\\Wine\\\\DllOverrides]\n"winhlp32.exe"="native"\n' >>"$prefix/user.reg"
