#!/bin/bash
# Builds everything and runs every test: the host tests against the
# simulated machine, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows-side and end-to-end tests under
# Wine in sandboxes, and each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in host host-asan win32; do
    cmake --preset "$preset" -DPELLMARK_WERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs" || status=1
done
fuzz/run.sh "${PELLMARK_FUZZ_SECONDS:-10}" || status=1
exit $status
