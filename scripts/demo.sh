#!/bin/bash
# Builds the engine for the host and runs a demonstration scan over a small
# simulated machine (no real file, key or process is touched).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" --target pellmark_host_demo
build/host/pellmark_host_demo
