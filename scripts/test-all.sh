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
#
# The output ends with a short summary: each stage, passed or failed, with
# the names of the tests that failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
windows=$(scripts/windows-build.sh)
# The chosen build's Wine tests must run: a skip is a failure here.
export PELLMARK_WINE_REQUIRED=1
status=0
summary=()
# Runs one stage and records it for the summary: its name, then the command.
# A ctest stage names its failing tests (ctest's LastTestsFailed.log).
# stage_ok tells whether it passed.
stage() {
    local name=$1 failed log
    shift
    log=$PWD/build/$preset/Testing/Temporary/LastTestsFailed.log
    rm -f "$log"
    stage_ok=1
    if "$@"; then
        summary+=("passed  $name")
    else
        status=1 stage_ok=0
        failed=$([ -f "$log" ] && cut -d: -f2- "$log" | tr '\n' ' ' || true)
        summary+=("FAILED  $name${failed:+: $failed}")
    fi
}
for preset in host host-asan win32 win64; do
    cmake --preset "$preset" -DPELLMARK_WERROR=ON >/dev/null
    stage "build $preset" cmake --build --preset "$preset" -j "$jobs"
    [ "$stage_ok" = 1 ] || continue
    case "$preset" in
        host|host-asan) stage "tests $preset" ctest --preset "$preset" -j "$jobs" ;;
        "$windows") stage "tests $preset (Windows-side, under Wine)" ctest --preset "$preset" -j "$jobs" ;;
        win32) stage "tests win32 (import check, release)" ctest --preset win32 -L 'compat|release' ;;
    esac
done
echo "Windows-side tests and scenarios ran on the $windows build" \
    "($([ "$windows" = win32 ] && echo "i686, 32-bit Wine" || echo "x86_64, 64-bit Wine"))."
fuzz_log=$(mktemp)
preset=fuzz stage "fuzz" bash -c 'set -o pipefail; fuzz/run.sh "$1" | tee "$2"' fuzz "${PELLMARK_FUZZ_SECONDS:-10}" "$fuzz_log"
if grep -q 'FAILED' "$fuzz_log"; then
    status=1
    summary[${#summary[@]} - 1]="FAILED  fuzz: $(sed -n 's/^fuzz: \(.*\) FAILED$/\1/p' "$fuzz_log" | tr '\n' ' ')"
fi
rm -f "$fuzz_log"

echo
echo "Summary (the test command):"
for line in "${summary[@]}"; do echo "  $line"; done
if [ $status = 0 ]; then echo "All stages passed."; else echo "Some stages FAILED; their output stands above."; fi
exit $status
