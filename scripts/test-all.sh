#!/bin/bash
# Builds everything and runs every test: the host tests against the
# simulated machine, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, the import check of the program, the
# reproducibility of a release, the Windows-side and end-to-end tests under
# Wine in sandboxes, and each fuzz target for a bounded time.
#
# The i686 build (win32) is the product and is always built, with warnings
# as errors, import- and instruction-checked, and released twice to compare the bytes.
# Its static runtime is rebuilt for the Pentium from Debian's sources the
# first time (scripts/i586-runtime.sh, run by its configure; cached after).
# The x86_64 build (win64) of the same
# sources is always built too; the Windows-side tests run on whichever of
# the two this machine's Wine can run (scripts/windows-build.sh; set
# PELLMARK_WINDOWS_BUILD=win64 to force the 64-bit one).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
windows=$(scripts/windows-build.sh)
# The chosen build's Wine tests must run: a skip is a failure here.
export PELLMARK_WINE_REQUIRED=1
status=0
for preset in host host-asan win32 win64; do
    cmake --preset "$preset" -DPELLMARK_WERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    case "$preset" in
        host|host-asan) ctest --preset "$preset" -j "$jobs" || status=1 ;;
        "$windows") ctest --preset "$preset" -j "$jobs" || status=1 ;;
        win32) ctest --preset win32 -L 'compat|release' || status=1 ;;
    esac
done
echo "Windows-side tests and scenarios ran on the $windows build" \
    "($([ "$windows" = win32 ] && echo "i686, 32-bit Wine" || echo "x86_64, 64-bit Wine"))."
fuzz/run.sh "${PELLMARK_FUZZ_SECONDS:-10}" || status=1
exit $status
