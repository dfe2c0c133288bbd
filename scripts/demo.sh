#!/bin/bash
# Builds the program and runs it under Wine on a sandboxed demo machine: a
# throw-away prefix whose drives are folders made here, holding samples,
# near misses, ordinary files and autorun values that start the samples.
# It says what it builds, what the demo machine holds and what the scan
# should do, prints the results list, and ends with a verdict that compares
# what happened with what should have (exit status 1 when they differ).
# With a display the window opens for you: press SCAN, then OK, and the
# results follow here. Without one it runs in a virtual display: SCAN is
# pressed for you and screenshots are saved under build/demo/shots.
#
# The program and its driver run from a network drive P:, which is never
# scanned, so the fixed drives hold only Wine's Windows folder and what the
# demo planted, and the number of files scanned is the same on every run.
set -euo pipefail
cd "$(dirname "$0")/.."
say() { printf '%s\n' "$*"; }
demo=$PWD/build/demo
mkdir -p "$demo"

# Runs one build step, showing its progress; the whole output goes to
# build/demo/build.log and its end is shown when the step fails.
progress() {
    local what=$1 pid last= p
    shift
    printf '  building %s:' "$what"
    "$@" >"$demo/build.log" 2>&1 </dev/null &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        # Percentages only once something is compiled or linked.
        p=$(grep -q 'Building\|Linking' "$demo/build.log" &&
            grep -o '^\[ *[0-9]*%\]' "$demo/build.log" | tail -1 | tr -dc 0-9 || true)
        if [ -n "$p" ] && [ "$p" != "$last" ]; then printf ' %s%%' "$p"; last=$p; fi
        sleep 1
    done
    if wait "$pid"; then
        if grep -q 'Building\|Linking' "$demo/build.log"; then say " done"; else say " up to date"; fi
    else
        say " FAILED"
        tail -30 "$demo/build.log"
        exit 1
    fi
}

say "Pellmark demo: the program on a sandboxed Wine machine made for this run."
say "1. Tools (scripts/install-deps.sh installs what is missing)."
scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
say "2. Building (the first time takes a few minutes; build/demo/build.log has the details)."
cmake --preset host >/dev/null
progress "the sample maker" cmake --build --preset host -j "$jobs" --target make_sample
# The i686 program where this machine's Wine runs 32-bit programs, else the
# x86_64 build of the same sources.
windows=$(scripts/windows-build.sh)
# The i686 program links the runtime rebuilt for the Pentium once that is
# cached; building it takes a while the first time, so until then the demo
# links Debian's stock runtime (the program then needs a Pentium Pro).
runtime=()
if [ "$windows" = win32 ] && ! scripts/i586-runtime.sh --cached >/dev/null; then
    echo "demo: the i586 runtime is not built yet (scripts/i586-runtime.sh, or the test command, builds it);" \
        "this demo's program links Debian's stock runtime and needs a Pentium Pro or later"
    runtime=(-DPELLMARK_RUNTIME=stock)
fi
cmake --preset "$windows" "${runtime[@]}" >/dev/null
progress "the program and its test driver ($windows)" \
    cmake --build --preset "$windows" -j "$jobs" --target pellmark pellmark_driver

# The demo machine. The setup script plants the files, then writes down every
# file of the three drives with its checksum; the check script, run after
# the program has ended, compares them and reads the registry Wine saved.
rm -f "$demo/facts" "$demo/before" "$demo/driver.out"
cat >"$demo/setup.sh" <<SETUP
#!/bin/bash
set -e
make=$PWD/build/host/make_sample
c=\$1/drive_c
d=\$1/../drives/d
e=\$1/../drives/e
# Wine's Marlett font draws the glyphs of the title bars' buttons.
cp --remove-destination /usr/share/wine/fonts/marlett.ttf "\$c/windows/Fonts/" 2>/dev/null || true
mkdir -p "\$c/Program Files/Tools" "\$c/Documents" "\$d/Backup" "\$d/Photos" "\$e"
"\$make" sample "\$c/windows/system32/qlsvc.exe"
"\$make" sample "\$c/Program Files/Tools/helper.exe"
"\$make" longer "\$c/Program Files/Tools/near.exe"
"\$make" pattern "\$c/Documents/almost.dll"
echo "Quarterly figures" >"\$c/Documents/report.txt"
"\$make" sample "\$d/Backup/copy.scr"
head -c 23552 /dev/urandom >"\$d/Photos/holiday.jpg"
"\$make" sample "\$e/setup.exe"
for drive in C:"\$c" D:"\$d" E:"\$e"; do
    (cd "\${drive#*:}" && find . -type f -print0 | sort -z | xargs -0 sha256sum | sed "s|  \\./|  \${drive%%:*}:/|")
done >"$demo/before"
SETUP
cat >"$demo/check.sh" <<'CHECK'
#!/bin/bash
# Compares the drives with what the setup wrote down and reads the registry.
set -e
prefix=$1
demo=$(dirname "$0")
c=$prefix/drive_c
d=$prefix/../drives/d
e=$prefix/../drives/e
for drive in C:"$c" D:"$d" E:"$e"; do
    (cd "${drive#*:}" && find . -type f -print0 | sort -z | xargs -0 sha256sum | sed "s|  \./|  ${drive%%:*}:/|")
done >"$demo/after"
python3 - "$demo" "$prefix/system.reg" <<'FACTS'
import re, sys
demo, reg = sys.argv[1:3]
def files(name):
    out = {}
    for line in open("%s/%s" % (demo, name), encoding="utf-8", errors="replace"):
        digest, path = line.rstrip("\n").split("  ", 1)
        out[path] = digest
    return out
before, after = files("before"), files("after")
samples = ["C:/windows/system32/qlsvc.exe", "C:/Program Files/Tools/helper.exe", "D:/Backup/copy.scr"]
near = ["C:/Program Files/Tools/near.exe", "C:/Documents/almost.dll"]
cd = ["E:/setup.exe"]
innocent = [p for p in before if p not in samples]
facts = {
    "planted_c": len([p for p in before if p.startswith("C:")]),
    "files_cd": len([p for p in before if p[0] in "CD"]),
    "samples_removed": len([p for p in samples if p not in after]),
    "innocent_touched": len([p for p in innocent if after.get(p) != before[p]]),
    "near_kept": len([p for p in near if after.get(p) == before[p]]),
    "cd_kept": len([p for p in cd if after.get(p) == before[p]]),
    "new_files": " ".join(sorted(p.replace(" ", "?") for p in after if p not in before)) or "-",
}
# Wine's saved registry: the values left under the keys the demo planted in.
text = open(reg, encoding="utf-8", errors="replace").read()
def values(key):
    m = re.search(r"^\[%s\][^\n]*\n(.*?)(?=^\[|\Z)" % re.escape(key.replace("\\", "\\\\")), text, re.M | re.S | re.I)
    return set(re.findall(r'^"([^"]+)"=', m.group(1), re.M)) if m else set()
run = values("Software\\Microsoft\\Windows\\CurrentVersion\\Run")
uninstall = values("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\rhcjg7j0e38v")
trojan = [v for v in ("QlSvc", "Helper", "SMrhcjg7j0e38v") if v not in run]
facts["trojan_values_removed"] = len(trojan) + ("UninstallString" not in uninstall)
facts["keep_kept"] = int("Keep" in run)
with open(demo + "/facts", "w") as f:
    for k, v in facts.items():
        f.write("%s=%s\n" % (k, v))
FACTS
CHECK
chmod +x "$demo/setup.sh" "$demo/check.sh"

run_key='Software\Microsoft\Windows\CurrentVersion\Run'
values=(
    --reg "$run_key|QlSvc|C:\\windows\\system32\\qlsvc.exe /start"
    --reg "$run_key|Helper|\"C:\\Program Files\\Tools\\helper.exe\""
    --reg "$run_key|Keep|C:\\windows\\notepad.exe"
    --reg "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\rhcjg7j0e38v|UninstallString|C:\\Program Files\\rhcjg7j0e38v\\uninstall.exe"
    --reg "$run_key|SMrhcjg7j0e38v|C:\\windows\\rhcjg7j0e38v.exe"
)

say "3. The demo machine (a throw-away Wine prefix; its drives are folders made for this run):"
say "   C:  hard disk: Wine's Windows folder, and"
say "         C:\\windows\\system32\\qlsvc.exe      a sample of W32/Quelby.Qgs.Dl.Trojan"
say "         C:\\Program Files\\Tools\\helper.exe  a sample"
say "         C:\\Program Files\\Tools\\near.exe    near miss: a sample one byte longer"
say "         C:\\Documents\\almost.dll            near miss: a sample with one pattern byte changed"
say "         C:\\Documents\\report.txt            an ordinary file"
say "   D:  second hard disk:"
say "         D:\\Backup\\copy.scr                 a sample in a backup folder"
say "         D:\\Photos\\holiday.jpg              an ordinary file of a sample's size"
say "   E:  CD-ROM:"
say "         E:\\setup.exe                       a sample"
say "   P:  network drive: the program and the test driver"
say "   Registry, HKLM\\$run_key:"
say "         QlSvc, Helper                     start the samples on C:"
say "         SMrhcjg7j0e38v                    the trojan's own autorun value"
say "         Keep                              starts C:\\windows\\notepad.exe (innocent)"
say "       and the trojan's uninstall entry (Uninstall\\rhcjg7j0e38v, UninstallString)."
say "   The scan should remove the 3 samples on the hard disks, delete the values QlSvc,"
say "   Helper, SMrhcjg7j0e38v and UninstallString, leave the near misses, the ordinary"
say "   files, the CD-ROM (never scanned) and the value Keep alone, and count every file"
say "   of C: and D:."

export PELLMARK_WINE_DRIVES="d:hd e:cdrom p:network"
export PELLMARK_WINE_PROGRAM_DRIVE=p
export PELLMARK_WINE_SETUP="$demo/setup.sh"
export PELLMARK_WINE_CHECK="$demo/check.sh"
export PELLMARK_WINE_BACKGROUND=$PWD/build/$windows/pellmark.exe
rm -rf "$demo/shots"
set +e
if [ -n "${DISPLAY:-}" ]; then
    say "4. The program's window opens now. Press SCAN; when the scan has ended, press OK"
    say "   (or close the window): the results follow here."
    export PELLMARK_WINE_BACKGROUND_WAIT=0
    tests/wine/sandbox_run.sh build/$windows/pellmark_driver.exe --watch "${values[@]}" >"$demo/driver.out"
else
    say "4. Running the program in a virtual display; SCAN is pressed for you."
    export PELLMARK_WINE_XVFB=1 PELLMARK_WINE_SHOTS="$demo/shots"
    tests/wine/sandbox_run.sh build/$windows/pellmark_driver.exe --shots "${values[@]}" >"$demo/driver.out"
fi
rc=$?
set -e
tr -d '\r' <"$demo/driver.out" >"$demo/driver.txt" && mv "$demo/driver.txt" "$demo/driver.out"
grep '^DRIVER:\|^NOTICE:\|^QUESTION:' "$demo/driver.out" | sed 's/^/   /' || true

say "5. The results list, as the window shows it:"
sed -n 's/^LINE: /     /p' "$demo/driver.out" | expand
status=$(sed -n 's/^STATUS: //p' "$demo/driver.out")
elapsed=$(sed -n 's/^ELAPSED: //p' "$demo/driver.out")
say "   Status line: ${status:-(none)}${elapsed:+ (the scan took $elapsed ms)}"
[ -d "$demo/shots" ] && say "   Screenshots: $(cd "$demo/shots" && ls | tr '\n' ' ')in build/demo/shots"

# The verdict: what happened against what should have.
[ -f "$demo/facts" ] || { say "Verdict: NOT AS EXPECTED: the run did not finish (sandbox exit $rc)"; exit 1; }
# shellcheck disable=SC1091
. "$demo/facts"
stat() { sed -n "s/^LINE: $1[[:space:]]*:  //p" "$demo/driver.out"; }
scanned=$(stat 'Total files scanned') infected=$(stat 'Total files infected') removed=$(stat 'Total files removed')
removed_lines=0
for path in 'C:\windows\system32\qlsvc.exe' 'C:\Program Files\Tools\helper.exe' 'D:\Backup\copy.scr'; do
    grep -qxF "LINE: $path     W32/Quelby.Qgs.Dl.Trojan removed" "$demo/driver.out" && removed_lines=$((removed_lines + 1))
done
facts="$samples_removed of 3 samples removed, $innocent_touched innocent files touched"
if [ "$near_kept" = 2 ] && [ "$cd_kept" = 1 ]; then
    facts+=", the 2 near misses and the CD-ROM left alone"
else
    facts+=", $near_kept of 2 near misses and $cd_kept of 1 CD-ROM file left alone"
fi
facts+=", $trojan_values_removed of 4 trojan registry values deleted, Keep $([ "$keep_kept" = 1 ] && echo kept || echo DELETED)"
facts+=", ${scanned:-?} of $files_cd files scanned (Wine's $((planted_c - 5)) on C: and the demo's 7 on C: and D:)"
problems=()
[ "$rc" = 0 ] || problems+=("the run ended with status $rc")
[ "$samples_removed" = 3 ] && [ "$removed_lines" = 3 ] || problems+=("not every sample was removed and reported")
[ "$innocent_touched" = 0 ] || problems+=("innocent files changed")
[ "$near_kept" = 2 ] && [ "$cd_kept" = 1 ] || problems+=("a near miss or the CD-ROM was touched")
[ "$trojan_values_removed" = 4 ] && [ "$keep_kept" = 1 ] || problems+=("the registry is not as it should be")
[ "$new_files" = - ] || problems+=("files appeared on the drives: $new_files")
[ "${scanned:-}" = "$files_cd" ] || problems+=("the count of files scanned is not the number of files on C: and D:")
[ "${infected:-}" = 3 ] && [ "${removed:-}" = 3 ] || problems+=("the statistics do not say 3 infected, 3 removed")
[ "$status" = "Scanning completed" ] || problems+=("the status line does not say Scanning completed")
if [ ${#problems[@]} = 0 ]; then
    say "Verdict: as expected: $facts."
else
    say "Verdict: NOT AS EXPECTED: $facts; $(IFS=';'; echo "${problems[*]}" | sed 's/;/; /g')."
    exit 1
fi
