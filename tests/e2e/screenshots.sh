#!/bin/bash
# Screenshots of the program under Wine in a virtual display, each cropped to
# what shows of its window: the main window in its states (introduction,
# scanning, finished, terminated by the user), the questions it asks, a
# confirmation box of each style, and the stop flow again with large fonts
# (120 pixels per inch), in High Contrast Black and at 256 colours. Written to docs/screenshots (or the folder
# given). The moment between the answer to "Terminate the Scan now?" and the
# end of the walk lasts until the walker's next look at the flag, too short
# to show: the terminated window follows the question directly.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${1:-$PWD/docs/screenshots}
mkdir -p "$out"
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset host >/dev/null && cmake --build --preset host -j "$jobs" --target make_sample >/dev/null
windows=$(scripts/windows-build.sh)
cmake --preset "$windows" >/dev/null && cmake --build --preset "$windows" -j "$jobs" >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/setup.sh" <<SETUP
#!/bin/bash
set -e
mkdir -p "\$1/drive_c/Data"
for i in 1 2 3; do $PWD/build/host/make_sample sample "\$1/drive_c/Data/sample\$i.exe"; done
# Enough ordinary files that the scan is still running when its shot is taken.
mkdir -p "\$1/drive_c/Data/bulk"
for i in \$(seq 1 3000); do : >"\$1/drive_c/Data/bulk/file\$i.txt"; done
SETUP
# The display settings of tests/win32/display_setup.sh, when asked for.
echo "$PWD/tests/win32/display_setup.sh \"\$1\"" >>"$tmp/setup.sh"
chmod +x "$tmp/setup.sh"
# One Wine virtual desktop as large as the virtual display: Windows-style
# title bars without a window manager, and screen coordinates that are the
# display's, so each shot is cropped to its window.
export PELLMARK_WINE_XVFB=1 PELLMARK_WINE_SETUP="$tmp/setup.sh" PELLMARK_WINE_DESKTOP=1024x768
export PELLMARK_WINE_BACKGROUND=$PWD/build/$windows/pellmark.exe

# A whole scan with one sample held open: the restart question at the end.
PELLMARK_WINE_SHOTS="$tmp/full" tests/wine/sandbox_run.sh build/$windows/pellmark_driver.exe --shots \
    --hold 'C:\Data\sample2.exe' --restart no
for s in introduction scanning finished confirm-restart; do cp "$tmp/full/$s.png" "$out/main-$s.png"; done

# A scan stopped by the user.
PELLMARK_WINE_SHOTS="$tmp/stop" tests/wine/sandbox_run.sh build/$windows/pellmark_driver.exe --shots \
    --stop-at 'system32' --stop-answer yes
cp "$tmp/stop/confirm-stop.png" "$out/main-confirm-stop.png"
cp "$tmp/stop/finished.png" "$out/main-terminated.png"

# The stop flow on other desktops: large fonts, High Contrast Black, 256
# colours (Wine draws 8-bit displays through its own fixed colours, so that
# shot shows Wine's approximation, not the realized palette).
desktop() {
    local name=$1
    shift
    env "$@" PELLMARK_WINE_SHOTS="$tmp/$name" tests/wine/sandbox_run.sh build/$windows/pellmark_driver.exe --shots \
        --stop-at 'system32' --stop-answer yes
    cp "$tmp/$name/introduction.png" "$out/main-introduction-$name.png"
    cp "$tmp/$name/confirm-stop.png" "$out/main-confirm-stop-$name.png"
    cp "$tmp/$name/finished.png" "$out/main-terminated-$name.png"
}
desktop 120dpi PELLMARK_TEST_LOGPIXELS=120
desktop high-contrast PELLMARK_TEST_HIGH_CONTRAST=1
desktop 256colours PELLMARK_WINE_XVFB_DEPTH=8

# One confirmation box of each style.
unset PELLMARK_WINE_BACKGROUND
PELLMARK_SHOTS=1 PELLMARK_WINE_SHOTS="$tmp/boxes" tests/wine/sandbox_run.sh \
    build/$windows/tests/win32/win32_ui_test.exe --gtest_filter='ConfirmBox.ScreenshotOfEachStyle'
cp "$tmp/boxes"/*.png "$out/"
# Keep the part of the virtual screen where the windows stand.
for f in "$out"/*.png; do convert "$f" -crop 640x480+0+0 +repage "$f"; done
ls "$out"
