#!/bin/bash
# Runs every fuzz target for a bounded time (seconds, default 10) from the
# committed seed corpora, and prints executions and coverage of each.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
status=0
for target in fuzz_matcher fuzz_text_scanner fuzz_rename fuzz_perfdata fuzz_sweep; do
    work=$(mktemp -d)
    if build/fuzz/fuzz/$target -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
        "$work" "fuzz/corpus/$target" >"$work.log" 2>&1; then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work.log" | grep -o '[0-9]*$' || echo "?")
        cov=$(grep -o 'cov: [0-9]*' "$work.log" | tail -1 | grep -o '[0-9]*' || echo "?")
        echo "fuzz: $target ok, $runs executions, coverage $cov"
    else
        echo "fuzz: $target FAILED"; tail -40 "$work.log"; status=1
    fi
    rm -rf "$work" "$work.log"
done
exit $status
