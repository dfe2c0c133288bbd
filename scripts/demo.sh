#!/bin/bash
# Builds the program and runs it under Wine on a sandboxed demo machine: a
# throw-away prefix whose drives are folders made here, holding samples,
# near misses, ordinary files and autorun values that start the samples.
# With a display the window opens for you (press SCAN). Without one it runs
# in a virtual display: SCAN is pressed for you, the results list is printed
# and screenshots are saved under build/demo/shots.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs" --target make_sample >/dev/null
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
cmake --build --preset "$windows" -j "$jobs" --target pellmark pellmark_driver >/dev/null

demo=$PWD/build/demo
mkdir -p "$demo"
cat >"$demo/setup.sh" <<SETUP
#!/bin/bash
set -e
make=$PWD/build/host/make_sample
c=\$1/drive_c
d=\$1/../drives/d
e=\$1/../drives/e
mkdir -p "\$c/Program Files/Tools" "\$c/Documents" "\$d/Backup" "\$d/Photos" "\$e"
"\$make" sample "\$c/windows/system32/qlsvc.exe"
"\$make" sample "\$c/Program Files/Tools/helper.exe"
"\$make" longer "\$c/Program Files/Tools/near.exe"
"\$make" pattern "\$c/Documents/almost.dll"
echo "Quarterly figures" >"\$c/Documents/report.txt"
"\$make" sample "\$d/Backup/copy.scr"
head -c 23552 /dev/urandom >"\$d/Photos/holiday.jpg"
"\$make" sample "\$e/setup.exe"
SETUP
chmod +x "$demo/setup.sh"

run_key='Software\Microsoft\Windows\CurrentVersion\Run'
values=(
    --reg "$run_key|QlSvc|C:\\windows\\system32\\qlsvc.exe /start"
    --reg "$run_key|Helper|\"C:\\Program Files\\Tools\\helper.exe\""
    --reg "$run_key|Keep|C:\\windows\\notepad.exe"
    --reg "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\rhcjg7j0e38v|UninstallString|C:\\Program Files\\rhcjg7j0e38v\\uninstall.exe"
    --reg "$run_key|SMrhcjg7j0e38v|C:\\windows\\rhcjg7j0e38v.exe"
)

export PELLMARK_WINE_DRIVES="d:hd e:cdrom"
export PELLMARK_WINE_SETUP="$demo/setup.sh"
export PELLMARK_WINE_BACKGROUND=$PWD/build/$windows/pellmark.exe
if [ -n "${DISPLAY:-}" ]; then
    export PELLMARK_WINE_BACKGROUND_WAIT=0
    tests/wine/sandbox_run.sh build/$windows/pellmark_driver.exe --plant-only "${values[@]}"
else
    export PELLMARK_WINE_XVFB=1 PELLMARK_WINE_SHOTS="$demo/shots"
    tests/wine/sandbox_run.sh build/$windows/pellmark_driver.exe --shots "${values[@]}"
    echo "screenshots: $demo/shots"
fi
