#!/bin/bash
# The benchmark, over two trees, each mapped as fixed drive D: of a sandboxed
# prefix and timed side by side in one run:
#   small: 10,000 real PE files hard-linked from Wine's own DLLs, 5,000
#          ordinary files up to 200 KB, 3 samples, 5 near misses (about 130
#          folders);
#   system: every regular file of a system folder of this machine (/usr, or
#          PELLMARK_BENCH_SYSTEM_DIR) hard-linked in its own folders, links
#          and special files left out: folders of every size, more than ten
#          deep, with 3 samples and 5 near misses at the top, in the widest
#          folder and in the deepest.
# For each tree:
#   1. the program's whole scan under Wine, SCAN to "Scanning completed";
#   2. enumeration alone under Wine of every drive the program walks (the
#      sandbox's C: and D:);
#   3. find over the tree, native;
#   4. clamscan and yara, each with its default options and tuned, with a
#      signature equivalent to the table's record (each must find the 3
#      samples: the hit counts are printed).
# Each is the median of several runs (default 3), with ratios to the program,
# its peak working set, and where its per-file time goes under Wine
# (bench/costs.cpp: each step of the scan, before and after the changes that
# made it fast). On the system tree the peers' default options, which read
# every byte of every file, run PELLMARK_BENCH_SYSTEM_DEFAULT_RUNS times
# (default 1); every peer run is stopped after PELLMARK_BENCH_PEER_CAP
# seconds (default 600); PELLMARK_BENCH_SYSTEM_RUNS sets the runs of the rest on that tree
# (default: runs). Writes bench/RESULTS.md, with bench/NOTES.md appended.
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
mkdir -p "$work"
system_runs=${PELLMARK_BENCH_SYSTEM_RUNS:-$runs}
system_default_runs=${PELLMARK_BENCH_SYSTEM_DEFAULT_RUNS:-1}
peer_cap=${PELLMARK_BENCH_PEER_CAP:-600}

plant_samples() {  # folder...: 3 samples and 5 near misses, spread over the folders
    local dirs=("$@") i=0 k
    for n in 1 2 3; do build/host/make_sample sample "${dirs[$((i++ % ${#dirs[@]}))]}/sample$n.exe"; done
    for k in longer pattern signature sections offset; do
        build/host/make_sample "$k" "${dirs[$((i++ % ${#dirs[@]}))]}/near-$k.exe"
    done
}

small=$work/tree-15k
# Real PE files: Wine's own Windows-side DLLs.
pe_source=/usr/lib/i386-linux-gnu/wine/i386-windows
[ -d "$pe_source" ] || pe_source=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
if [ ! -f "$work/tree-15k.done" ]; then
    rm -rf "$small"; mkdir -p "$small"
    dlls=("$pe_source"/*.dll)
    [ -f "${dlls[0]}" ] || { echo "bench: no PE files in $pe_source" >&2; exit 1; }
    n=0
    for copy in $(seq 1 100); do
        d="$small/pe/$copy"; mkdir -p "$d"
        # Hard links: real PE files under 10,000 paths without 10,000 copies.
        for f in "${dlls[@]}"; do ln "$f" "$d/"; n=$((n + 1)); [ $n -ge 10000 ] && break 2; done
    done
    python3 - "$small/docs" <<'DOCS'
import os, sys
top = sys.argv[1]
noise = os.urandom(200000)
for i in range(1, 5001):
    d = os.path.join(top, str(i % 50))
    os.makedirs(d, exist_ok=True)
    open(os.path.join(d, "file%d.bin" % i), "wb").write(noise[: (i * 7919) % 200000])
DOCS
    mkdir -p "$small/samples"
    plant_samples "$small/samples"
    touch "$work/tree-15k.done"
fi

system_source=${PELLMARK_BENCH_SYSTEM_DIR:-/usr}
system=$work/tree-system
if [ ! -f "$work/tree-system.done" ]; then
    rm -rf "$system"; mkdir -p "$system"
    # Hard links of the regular files in copies of the folders; then links
    # and special files go, and any path that would not fit the program's
    # 260 bytes as D:\... (the program skips those, enumeration would not).
    cp -al --one-file-system "$system_source/." "$system/"
    find "$system" ! -type f ! -type d -delete
    find "$system" -depth | awk -v cut=$((${#system} + 1)) 'length($0) - cut + 3 > 255' |
        while IFS= read -r p; do rm -rf "$p"; done
    # The folder of the most entries, and the deepest folder whose samples'
    # paths stay well inside the bound.
    widest=$(find "$system" -mindepth 1 -printf '%h\n' | sort | uniq -c | sort -n | tail -1 | sed 's/^ *[0-9]* //')
    deepest=$(find "$system" -type d -printf '%d %p\n' | awk -v most=$((${#system} + 200)) 'length($0) < most' |
        sort -n | tail -1 | cut -d' ' -f2-)
    plant_samples "$system" "$widest" "$deepest"
    touch "$work/tree-system.done"
fi

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# The record's signature for the peers. The largest file size any record of
# the table accepts is 23552 bytes: the tuned runs skip larger files.
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

# Everything measured, by "tree.what".
declare -A R
time_peer() {  # key runs command...: median ms, hits, and whether the cap stopped it
    local key=$1 n=$2; shift 2
    local times=() s e hits capped=
    for r in $(seq "$n"); do
        s=$(now_ms); hits=$(timeout "$peer_cap" "$@" 2>/dev/null | grep -c . || true); e=$(now_ms)
        [ $((e - s)) -ge $((peer_cap * 1000)) ] && capped=1
        times+=($((e - s)))
    done
    R[$key]=$(printf '%s\n' "${times[@]}" | median)
    R[$key.hits]=$hits
    R[$key.runs]=$n
    R[$key.capped]=$capped
}

measure() {  # name tree runs default_runs
    local name=$1 tree=$2 n=$3 default_n=$4
    R[$name.files]=$(find "$tree" -type f | wc -l)
    R[$name.folders]=$(find "$tree" -type d | wc -l)
    R[$name.depth]=$(find "$tree" -type d -printf '%d\n' | sort -n | tail -1)
    R[$name.widest]=$(find "$tree" -printf '%h\n' | sort | uniq -c | sort -n | tail -1 | awk '{print $1}')
    R[$name.runs]=$n
    # 1 and 2: under Wine, the tree hard-linked in as D:.
    cat >"$work/setup-$name.sh" <<SETUP
#!/bin/sh
rm -rf "\$1/../drives/d" && cp -al "$tree" "\$1/../drives/d"
SETUP
    chmod +x "$work/setup-$name.sh"
    export PELLMARK_WINE_DRIVES="d:hd" PELLMARK_WINE_SETUP="$work/setup-$name.sh" PELLMARK_WINE_XVFB=1
    local tag=$$-$name
    export PELLMARK_BENCH_TAG=$tag
    local program_ms=() floor_ms=() peak_kb=0 out p
    for r in $(seq "$n"); do
        [ -z "$wine_problem" ] || break
        rm -f "$work/peak"
        (
            peak=0
            while :; do
                for p in $(pgrep -f 'pellmark\.exe' 2>/dev/null); do
                    # Only this run's program: others may run at the same time.
                    { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "PELLMARK_BENCH_TAG=$tag" || continue
                    v=$(awk '/VmHWM/ {print $2}' /proc/$p/status 2>/dev/null || echo 0)
                    [ "${v:-0}" -gt "$peak" ] && peak=$v && echo "$peak" >"$work/peak"
                done
                sleep 0.1
            done
        ) &
        local poller=$!
        out=$(PELLMARK_WINE_BACKGROUND=$root/build/$windows/pellmark.exe tests/wine/sandbox_run.sh \
            build/$windows/pellmark_driver.exe --timeout 1800 | tr -d '\r')
        kill $poller 2>/dev/null || true
        wait $poller 2>/dev/null || true
        program_ms+=("$(echo "$out" | sed -n 's/^ELAPSED: //p')")
        R[$name.scanned]=$(echo "$out" | sed -n 's/^LINE: Total files scanned\t\t:  //p')
        R[$name.infected]=$(echo "$out" | sed -n 's/^LINE: Total files infected\t\t:  //p')
        R[$name.removed]=$(echo "$out" | sed -n 's/^LINE: Total files removed\t\t:  //p')
        p=$(cat "$work/peak" 2>/dev/null || echo 0); [ "$p" -gt "$peak_kb" ] && peak_kb=$p
        out=$(tests/wine/sandbox_run.sh build/$windows/bench_enumerate.exe | tr -d '\r')
        floor_ms+=("$(echo "$out" | sed -n 's/^ELAPSED: //p')")
        R[$name.floor_files]=$(echo "$out" | sed -n 's/^FILES: //p')
        R[$name.floor_drives]=$(echo "$out" | sed -n 's/^DRIVES: //p')
    done
    R[$name.peak_kb]=$peak_kb
    if [ -z "$wine_problem" ]; then
        R[$name.program]=$(printf '%s\n' "${program_ms[@]}" | median)
        R[$name.program_all]="${program_ms[*]}"
        R[$name.floor]=$(printf '%s\n' "${floor_ms[@]}" | median)
        R[$name.floor_all]="${floor_ms[*]}"
        R[$name.costs]=$(tests/wine/sandbox_run.sh build/$windows/bench_costs.exe 'D:\' "${@:5}" | tr -d '\r' |
            sed -n 's/^STEP //p')
    fi
    unset PELLMARK_WINE_DRIVES PELLMARK_WINE_SETUP PELLMARK_WINE_XVFB PELLMARK_BENCH_TAG

    # 3: find.
    local find_ms=() s e
    for r in $(seq "$n"); do
        s=$(now_ms); find "$tree" -type f >/dev/null; e=$(now_ms)
        find_ms+=($((e - s)))
    done
    R[$name.find]=$(printf '%s\n' "${find_ms[@]}" | median)

    # 4: clamscan and yara.
    if command -v clamscan >/dev/null; then
        # clamscan enters at most 15 folders deep unless told: the system
        # tree's deepest sample lies further down.
        time_peer "$name.clam" "$default_n" clamscan -r --max-dir-recursion=64 --no-summary --infected \
            -d "$work/quelby.ldb" "$tree"
        # shellcheck disable=SC2086
        time_peer "$name.clam_tuned" "$n" clamscan -r --max-dir-recursion=64 --no-summary --infected $clam_tuned_options \
            -d "$work/quelby.ldb" "$tree"
    fi
    if command -v yara >/dev/null; then
        time_peer "$name.yara" "$default_n" yara -r "$work/quelby.yar" "$tree"
        # shellcheck disable=SC2086
        time_peer "$name.yara_tuned" "$n" yara -r $yara_tuned_options "$work/quelby.yar" "$tree"
    fi
}

measure small "$small" "$runs" "$runs"
# On the system tree the breakdown takes the steps that matter at its size.
measure system "$system" "$system_runs" "$system_default_runs" enumerate list-twice all-after enumerate

fuzz=
if [ "${PELLMARK_BENCH_FUZZ_SECONDS:-0}" -gt 0 ]; then
    fuzz=$(fuzz/run.sh "$PELLMARK_BENCH_FUZZ_SECONDS" 2>&1 | grep '^fuzz:' || true)
fi

rate() { awk -v f="$1" -v ms="$2" 'BEGIN { if (ms > 0) printf "%.0f", f * 1000 / ms; else print "-" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", a / b; else print "-" }'; }
verdict() { awk -v v="$1" -v goal="$2" -v dir="$3" 'BEGIN {
    if (v == "-" || v == "") print "not measured";
    else if ((dir == "le" && v <= goal) || (dir == "ge" && v >= goal)) print "met";
    else print "missed" }'; }
if [ "$windows" = win64 ]; then
    build_note="the x86_64 build under 64-bit Wine (this machine cannot run Wine's 32-bit programs; the product is the i686 build)"
else
    build_note="the i686 program (the product) under 32-bit Wine"
fi
row() {  # tree label ms
    local files=${R[$1.files]}
    echo "| $2 | ${3:--} | $(rate "$files" "${3:-0}") | $(ratio "${3:-0}" "${R[$1.program]:-0}") |"
}
peer_row() {  # tree label key
    local k=$1.$3 ms=${R[$1.$3]:-} note=
    [ -n "${R[$k.capped]:-}" ] && note=", stopped at the ${peer_cap} s cap"
    [ -n "$ms" ] && [ "${R[$k.runs]}" != "${R[$1.runs]}" ] && note="$note, ${R[$k.runs]} run(s)"
    row "$1" "$2 (${R[$k.hits]:-?} hits$note)" "$ms"
}
tree_section() {  # tree title description
    local t=$1
    echo "## $2"
    echo
    echo "Tree: ${R[$t.files]} files in ${R[$t.folders]} folders, $3; deepest folder ${R[$t.depth]} levels below the root, widest folder ${R[$t.widest]} entries. Mapped as fixed drive D:; median of ${R[$t.runs]} of each measurement unless the row says otherwise."
    if [ -n "$wine_problem" ]; then
        echo "Measurements 1 and 2 and the breakdown were not made: $wine_problem."
    else
        echo "Program: $build_note. It also walks the sandbox's C: (its scan counted ${R[$t.scanned]} files, ${R[$t.infected]} infected, ${R[$t.removed]} removed); measurement 2 enumerates the same drives (${R[$t.floor_drives]}: ${R[$t.floor_files]} files). Single runs: program ${R[$t.program_all]} ms, enumeration ${R[$t.floor_all]} ms."
    fi
    echo
    echo "| Measurement | ms | files/s | this ÷ program |"
    echo "|---|---|---|---|"
    row "$t" "1. the program's whole scan under Wine, SCAN to \"Scanning completed\"" "${R[$t.program]:-}"
    echo "| 2. enumeration alone under Wine of the same drives | ${R[$t.floor]:--} | $(rate "${R[$t.files]}" "${R[$t.floor]:-0}") | $(ratio "${R[$t.floor]:-0}" "${R[$t.program]:-0}") |"
    row "$t" "3. find, native" "${R[$t.find]}"
    peer_row "$t" "4a. clamscan, default options (but --max-dir-recursion=64)" clam
    peer_row "$t" "4b. clamscan, tuned: no parsers, --max-filesize=$largest" clam_tuned
    peer_row "$t" "4c. yara, default options" yara
    peer_row "$t" "4d. yara, tuned: $yara_tuned_options" yara_tuned
    echo
    echo "Peak working set of the program (VmHWM of its Wine process): $(awk -v k="${R[$t.peak_kb]}" 'BEGIN { printf "%.1f", k / 1024 }') MiB."
    echo
}
goal_lines() {  # tree
    local t=$1 peak
    peak=$(awk -v k="${R[$t.peak_kb]}" 'BEGIN { printf "%.1f", k / 1024 }')
    echo "- peak working set at most 25 MiB: $peak MiB, $(verdict "$peak" 25 le);"
    echo "- beside the tuned peers: clamscan takes $(ratio "${R[$t.clam_tuned]:-0}" "${R[$t.program]:-0}")x, yara $(ratio "${R[$t.yara_tuned]:-0}" "${R[$t.program]:-0}")x the program's time (faster than both: $(verdict "$(awk -v a="${R[$t.program]:-0}" -v b="${R[$t.clam_tuned]:-0}" -v c="${R[$t.yara_tuned]:-0}" 'BEGIN { if (a <= 0 || b <= 0 || c <= 0) print "-"; else print (a < b && a < c) ? 1 : 0 }')" 1 ge))."
}
costs_block() {  # tree
    [ -n "${R[$1.costs]:-}" ] || return 0
    echo "Per-entry breakdown under Wine (bench_costs over D: only): each walk adds to enumeration one"
    echo "step; -all is the old way of a per-file step, all-before and all-after add all three, list-twice"
    echo "lists every folder a second time (the walk before it listed each folder once)."
    echo
    echo '```'
    echo "${R[$1.costs]}"
    echo '```'
    echo
}
{
    echo "# Benchmark results"
    echo
    echo "$(date -u +%Y-%m-%d), $(nproc) cores ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)), $(uname -sm), $(wine --version 2>/dev/null || /usr/lib/wine/wine64 --version 2>/dev/null), $(yara --version 2>/dev/null | sed 's/^/yara /'), $(clamscan --version 2>/dev/null | cut -d/ -f1); both trees from one run of bench/run.sh."
    echo
    tree_section small "Small tree" "10,000 PE files hard-linked from Wine's DLLs, 5,000 ordinary files up to 200 KB, 3 samples, 5 near misses"
    tree_section system "System tree" "every regular file of $system_source hard-linked, links and special files left out, 3 samples and 5 near misses at the top, in the widest and in the deepest folder"
    echo "## Goals"
    echo
    s=${R[system.program]:-0}; f=${R[system.floor]:-0}
    echo "System tree:"
    echo "- whole scan within 1.5x of enumeration of the same drives: $(ratio "$s" "$f")x, $(verdict "$(ratio "$s" "$f")" 1.5 le);"
    goal_lines system
    echo
    echo "Small tree:"
    echo "- whole scan within 3x of enumeration of the same drives: $(ratio "${R[small.program]:-0}" "${R[small.floor]:-0}")x, $(verdict "$(ratio "${R[small.program]:-0}" "${R[small.floor]:-0}")" 3 le);"
    echo "- at least 20x faster than yara's defaults: $(ratio "${R[small.yara]:-0}" "${R[small.program]:-0}")x, $(verdict "$(ratio "${R[small.yara]:-0}" "${R[small.program]:-0}")" 20 ge);"
    echo "- at least 50x faster than clamscan's defaults: $(ratio "${R[small.clam]:-0}" "${R[small.program]:-0}")x, $(verdict "$(ratio "${R[small.clam]:-0}" "${R[small.program]:-0}")" 50 ge);"
    goal_lines small
    echo
    echo "## Where the time goes"
    echo
    echo "Small tree:"
    echo
    costs_block small
    echo "System tree:"
    echo
    costs_block system
    if [ -n "$fuzz" ]; then
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
