#!/bin/bash
# Builds both presets and runs every test: the host tests against the
# simulated machine, then the Windows-side tests under Wine in sandboxes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in host win32; do
    cmake --preset "$preset" -DPELLMARK_WERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs" || status=1
done
exit $status
