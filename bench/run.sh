#!/bin/bash
# The benchmark: one tree (10,000 real PE files hard-linked from Wine's own
# DLLs, 5,000 ordinary files up to 200 KB, 3 samples, 5 near misses), mapped
# as fixed drive D: of a sandboxed prefix, timed side by side in one run:
#   1. the program's whole scan under Wine, SCAN to "Scanning completed";
#   2. enumeration alone under Wine of every drive the program walks (the
#      sandbox's C: and D:);
#   3. find over the tree, native;
#   4. clamscan and yara, each with its default options and tuned, with a
#      signature equivalent to the table's record.
# Each is the median of several runs (default 3), with ratios to the program,
# its peak working set, and where its per-file time goes under Wine
# (bench/costs.cpp: each step of the scan, before and after the changes that
# made it fast). Writes bench/RESULTS.md, with bench/NOTES.md appended.
# On a machine that cannot run Wine's 32-bit programs, 1, 2 and the
# breakdown run on the x86_64 build under 64-bit Wine
# (scripts/windows-build.sh) and the results say so.
#
#   bench/run.sh [runs]      (PELLMARK_BENCH_FUZZ_SECONDS: also fuzz each
#                             target that long; default 0, no fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
root=$PWD
scripts/install-deps.sh
if ! command -v clamscan >/dev/null || ! command -v yara >/dev/null; then
    [ "$(id -u)" = 0 ] && DEBIAN_FRONTEND=noninteractive apt-get install -y -q clamav yara >/dev/null
fi
jobs=2
cmake --preset host >/dev/null && cmake --build --preset host -j "$jobs" --target make_sample >/dev/null
windows=$(scripts/windows-build.sh)
cmake --preset "$windows" >/dev/null &&
    cmake --build --preset "$windows" -j "$jobs" --target pellmark pellmark_driver bench_enumerate bench_costs >/dev/null
wine_problem=
if [ "$windows" = win64 ]; then
    /usr/lib/wine/wine64 --version >/dev/null 2>&1 || wine_problem="this machine cannot run Wine at all"
fi

work=${PELLMARK_BENCH_DIR:-/tmp/pellmark-bench-$(id -u)}
tree=$work/tree-15k
# Real PE files: Wine's own Windows-side DLLs.
pe_source=/usr/lib/i386-linux-gnu/wine/i386-windows
[ -d "$pe_source" ] || pe_source=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
if [ ! -f "$work/tree-15k.done" ]; then
    rm -rf "$tree"; mkdir -p "$tree"
    dlls=("$pe_source"/*.dll)
    [ -f "${dlls[0]}" ] || { echo "bench: no PE files in $pe_source" >&2; exit 1; }
    n=0
    for copy in $(seq 1 100); do
        d="$tree/pe/$copy"; mkdir -p "$d"
        # Hard links: real PE files under 10,000 paths without 10,000 copies.
        for f in "${dlls[@]}"; do ln "$f" "$d/"; n=$((n + 1)); [ $n -ge 10000 ] && break 2; done
    done
    python3 - "$tree/docs" <<'DOCS'
import os, sys
top = sys.argv[1]
noise = os.urandom(200000)
for i in range(1, 5001):
    d = os.path.join(top, str(i % 50))
    os.makedirs(d, exist_ok=True)
    open(os.path.join(d, "file%d.bin" % i), "wb").write(noise[: (i * 7919) % 200000])
DOCS
    mkdir -p "$tree/samples"
    for i in 1 2 3; do build/host/make_sample sample "$tree/samples/sample$i.exe"; done
    for k in longer pattern signature sections offset; do build/host/make_sample "$k" "$tree/samples/near-$k.exe"; done
    touch "$work/tree-15k.done"
fi
files=$(find "$tree" -type f | wc -l)
pe_files=$(find "$tree/pe" -type f | wc -l)

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# 1 and 2: under Wine, the tree hard-linked in as D:.
cat >"$work/setup.sh" <<SETUP
#!/bin/sh
rm -rf "\$1/../drives/d" && cp -al "$tree" "\$1/../drives/d"
SETUP
chmod +x "$work/setup.sh"
export PELLMARK_WINE_DRIVES="d:hd" PELLMARK_WINE_SETUP="$work/setup.sh" PELLMARK_WINE_XVFB=1
program_ms=(); floor_ms=(); peak_kb=0; scanned=; floor_files=; floor_drives=; costs=
for r in $(seq "$runs"); do
    [ -z "$wine_problem" ] || break
    rm -f "$work/peak"
    (
        peak=0
        while :; do
            for p in $(pgrep -f 'pellmark\.exe' 2>/dev/null); do
                v=$(awk '/VmHWM/ {print $2}' /proc/$p/status 2>/dev/null || echo 0)
                [ "${v:-0}" -gt "$peak" ] && peak=$v && echo "$peak" >"$work/peak"
            done
            sleep 0.1
        done
    ) &
    poller=$!
    out=$(PELLMARK_WINE_BACKGROUND=$root/build/$windows/pellmark.exe tests/wine/sandbox_run.sh \
        build/$windows/pellmark_driver.exe --timeout 1800 | tr -d '\r')
    kill $poller 2>/dev/null || true
    wait $poller 2>/dev/null || true
    program_ms+=("$(echo "$out" | sed -n 's/^ELAPSED: //p')")
    scanned=$(echo "$out" | sed -n 's/^LINE: Total files scanned\t\t:  //p')
    infected=$(echo "$out" | sed -n 's/^LINE: Total files infected\t\t:  //p')
    p=$(cat "$work/peak" 2>/dev/null || echo 0); [ "$p" -gt "$peak_kb" ] && peak_kb=$p
    out=$(tests/wine/sandbox_run.sh build/$windows/bench_enumerate.exe | tr -d '\r')
    floor_ms+=("$(echo "$out" | sed -n 's/^ELAPSED: //p')")
    floor_files=$(echo "$out" | sed -n 's/^FILES: //p')
    floor_drives=$(echo "$out" | sed -n 's/^DRIVES: //p')
done
program=; floor=
if [ -z "$wine_problem" ]; then
    program=$(printf '%s\n' "${program_ms[@]}" | median)
    floor=$(printf '%s\n' "${floor_ms[@]}" | median)
    costs=$(tests/wine/sandbox_run.sh build/$windows/bench_costs.exe 'D:\' | tr -d '\r' | sed -n 's/^STEP //p')
fi

# 3: find.
find_ms=()
for r in $(seq "$runs"); do
    s=$(now_ms); find "$tree" -type f >/dev/null; e=$(now_ms)
    find_ms+=($((e - s)))
done
native=$(printf '%s\n' "${find_ms[@]}" | median)

# 4: clamscan and yara with the record's signature. The largest file size any
# record of the table accepts is 23552 bytes: the tuned runs skip larger files.
largest=23552
cat >"$work/quelby.ldb" <<'SIG'
Quelby.Qgs;Engine:51-255,Target:1,FileSize:23552-23552;0&1;EP-2683:c40e837c8bc2857c6f1f867ca7ea827c56be807c;EP+6788:07e454e072ca40a8a1b622c68cc72db59ec957ed
SIG
# The entry point's RVA plus each offset, mapped through the sections as the
# program maps it: a pattern elsewhere in the file does not count. The
# program reads at most 20 section headers and refuses a file declaring more.
cat >"$work/quelby.yar" <<'SIG'
import "pe"
rule Quelby_Qgs {
  strings:
    $a = { c4 0e 83 7c 8b c2 85 7c 6f 1f 86 7c a7 ea 82 7c 56 be 80 7c }
    $b = { 07 e4 54 e0 72 ca 40 a8 a1 b6 22 c6 8c c7 2d b5 9e c9 57 ed }
  condition:
    filesize == 23552 and pe.number_of_sections <= 20 and
    $a at pe.rva_to_offset(pe.entry_point_raw - 2683) and
    $b at pe.rva_to_offset(pe.entry_point_raw + 6788)
}
SIG
clam_tuned_options="--max-filesize=$largest --scan-archive=no --scan-pdf=no --scan-html=no --scan-mail=no
    --scan-ole2=no --scan-elf=no --scan-swf=no --scan-xmldocs=no --scan-hwp3=no --scan-onenote=no --scan-image=no"
yara_tuned_options="-z $((largest + 1))"
declare -A peer_ms peer_hits
time_peer() {  # name command...
    local name=$1; shift
    local times=() s e hits
    for r in $(seq "$runs"); do
        s=$(now_ms); hits=$("$@" 2>/dev/null | grep -c . || true); e=$(now_ms)
        times+=($((e - s)))
    done
    peer_ms[$name]=$(printf '%s\n' "${times[@]}" | median)
    peer_hits[$name]=$hits
}
if command -v clamscan >/dev/null; then
    # shellcheck disable=SC2086
    time_peer clam clamscan -r --no-summary --infected -d "$work/quelby.ldb" "$tree"
    # shellcheck disable=SC2086
    time_peer clam_tuned clamscan -r --no-summary --infected $clam_tuned_options -d "$work/quelby.ldb" "$tree"
fi
if command -v yara >/dev/null; then
    time_peer yara yara -r "$work/quelby.yar" "$tree"
    # shellcheck disable=SC2086
    time_peer yara_tuned yara -r $yara_tuned_options "$work/quelby.yar" "$tree"
fi

fuzz=
if [ "${PELLMARK_BENCH_FUZZ_SECONDS:-0}" -gt 0 ]; then
    fuzz=$(fuzz/run.sh "$PELLMARK_BENCH_FUZZ_SECONDS" 2>&1 | grep '^fuzz:' || true)
fi

rate() { awk -v f="$files" -v ms="$1" 'BEGIN { if (ms > 0) printf "%.0f", f * 1000 / ms; else print "-" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", a / b; else print "-" }'; }
verdict() { awk -v v="$1" -v goal="$2" -v dir="$3" 'BEGIN {
    if (v == "-" || v == "") print "not measured";
    else if ((dir == "le" && v <= goal) || (dir == "ge" && v >= goal)) print "met";
    else print "missed" }'; }
peer_row() {  # label name options
    local ms=${peer_ms[$2]:-}
    echo "| $1 (${peer_hits[$2]:-?} hits) | ${ms:--} | $(rate "${ms:-0}") | $(ratio "${ms:-0}" "${program:-0}") |"
}
floor_ratio=$(ratio "${program:-0}" "${floor:-0}")
yara_ratio=$(ratio "${peer_ms[yara]:-0}" "${program:-0}")
clam_ratio=$(ratio "${peer_ms[clam]:-0}" "${program:-0}")
peak_mib=$(awk -v k="$peak_kb" 'BEGIN { printf "%.1f", k / 1024 }')
if [ "$windows" = win64 ]; then
    build_note="the x86_64 build under 64-bit Wine (this machine cannot run Wine's 32-bit programs; the product is the i686 build)"
else
    build_note="the i686 program (the product) under 32-bit Wine"
fi
{
    echo "# Benchmark results"
    echo
    echo "$(date -u +%Y-%m-%d), $(nproc) cores ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)), $(uname -sm), $(wine --version 2>/dev/null || /usr/lib/wine/wine64 --version 2>/dev/null), $(yara --version 2>/dev/null | sed 's/^/yara /'), $(clamscan --version 2>/dev/null | cut -d/ -f1); one run, median of $runs of each measurement."
    echo "Tree: $files files ($pe_files PE files hard-linked from Wine's DLLs, 5,000 ordinary files up to 200 KB, 3 samples, 5 near misses) as fixed drive D:."
    if [ -n "$wine_problem" ]; then
        echo "Measurements 1 and 2 and the breakdown were not made: $wine_problem."
    else
        echo "Program: $build_note. It also walks the sandbox's C: (its scan counted $scanned files, $infected infected); measurement 2 enumerates the same drives (${floor_drives}: $floor_files files)."
    fi
    echo
    echo "| Measurement | ms | files/s | this ÷ program |"
    echo "|---|---|---|---|"
    echo "| 1. the program's whole scan under Wine, SCAN to \"Scanning completed\" | ${program:--} | $(rate "${program:-0}") | 1.00 |"
    echo "| 2. enumeration alone under Wine of the same drives | ${floor:--} | $(rate "${floor:-0}") | $(ratio "${floor:-0}" "${program:-0}") |"
    echo "| 3. find, native | $native | $(rate "$native") | $(ratio "$native" "${program:-0}") |"
    peer_row "4a. clamscan, default options" clam
    peer_row "4b. clamscan, tuned: no parsers, --max-filesize=$largest" clam_tuned
    peer_row "4c. yara, default options" yara
    peer_row "4d. yara, tuned: $yara_tuned_options" yara_tuned
    echo
    echo "Peak working set of the program (VmHWM of its Wine process): $peak_mib MiB."
    echo
    echo "Goals:"
    echo "- whole scan within 3x of enumeration of the same drives: ${floor_ratio}x, $(verdict "$floor_ratio" 3 le);"
    echo "- at least 20x faster than yara's defaults: ${yara_ratio}x, $(verdict "$yara_ratio" 20 ge);"
    echo "- at least 50x faster than clamscan's defaults: ${clam_ratio}x, $(verdict "$clam_ratio" 50 ge);"
    echo "- peak working set at most 25 MiB: $peak_mib MiB, $(verdict "$peak_mib" 25 le)."
    echo "Beside the tuned peers: $(ratio "${peer_ms[clam_tuned]:-0}" "${program:-0}")x clamscan's, $(ratio "${peer_ms[yara_tuned]:-0}" "${program:-0}")x yara's time."
    if [ -n "$costs" ]; then
        echo
        echo "Where the time goes under Wine (bench_costs over D: only): each walk adds to enumeration one"
        echo "per-file step, done the old way (-all) and the present way; all-before and all-after add all three."
        echo
        echo '```'
        echo "$costs"
        echo '```'
    fi
    if [ -n "$fuzz" ]; then
        echo
        echo "Fuzzing, $PELLMARK_BENCH_FUZZ_SECONDS s per target:"
        echo
        echo '```'
        echo "$fuzz"
        echo '```'
    fi
} >"$work/results.md"
if [ -f bench/NOTES.md ]; then
    { echo; cat bench/NOTES.md; } >>"$work/results.md"
fi
cp "$work/results.md" bench/RESULTS.md
cat bench/RESULTS.md
