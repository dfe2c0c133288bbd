#!/bin/bash
# Screenshots of the program under Wine in a virtual display, each cropped to
# what shows of its window: the main window in its states (introduction, in
# a 16-bit and a 24-bit display too; scanning, with a path of the walk and
# the results so far; finished, with the detections in view, and with the
# statistics as the program leaves the list; terminated by the user), the
# questions it asks, a confirmation box of each style, and the stop flow
# again with large fonts (120 pixels per inch), in High Contrast Black and
# at 256 colours. Written to docs/screenshots (or the folder given). The
# title bars' glyphs come from Wine's Marlett font (Debian's fonts-wine),
# copied into each sandbox's Fonts folder. The moment between the answer to "Terminate the Scan now?" and the
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
# Wine's Marlett font draws the glyphs of the title bars' buttons.
cp --remove-destination /usr/share/wine/fonts/marlett.ttf "\$1/drive_c/windows/Fonts/" || echo "no Marlett (fonts-wine): title bars draw r for the close glyph" >&2
mkdir -p "\$1/drive_c/Data"
for i in 1 2 3; do $PWD/build/host/make_sample sample "\$1/drive_c/Data/sample\$i.exe"; done
# Enough ordinary files on a second disk, walked after C:, that the scan is
# still running, with its detections listed, when its shot is taken.
if [ -d "\$1/../drives/d" ]; then
    mkdir -p "\$1/../drives/d/Letters"
    for i in \$(seq 1 3000); do echo "Dear reader" >"\$1/../drives/d/Letters/letter\$i.txt"; done
fi
SETUP
# The display settings of tests/win32/display_setup.sh, when asked for.
echo "$PWD/tests/win32/display_setup.sh \"\$1\"" >>"$tmp/setup.sh"
chmod +x "$tmp/setup.sh"
# One Wine virtual desktop as large as the virtual display: Windows-style
# title bars without a window manager, and screen coordinates that are the
# display's, so each shot is cropped to its window.
export PELLMARK_WINE_XVFB=1 PELLMARK_WINE_SETUP="$tmp/setup.sh" PELLMARK_WINE_DESKTOP=1024x768
export PELLMARK_WINE_BACKGROUND=$PWD/build/$windows/pellmark.exe
# The program and the driver run from a network drive, which is not scanned:
# the status line shows the paths of the machine, not theirs.
export PELLMARK_WINE_DRIVES="d:hd p:network" PELLMARK_WINE_PROGRAM_DRIVE=p

# A whole scan with one sample held open: the restart question at the end.
PELLMARK_WINE_SHOTS="$tmp/full" tests/wine/sandbox_run.sh build/$windows/pellmark_driver.exe --shots \
    --scanning-shot-at 'D:\' --hold 'C:\Data\sample2.exe' --restart no
for s in introduction scanning finished confirm-restart; do cp "$tmp/full/$s.png" "$out/main-$s.png"; done
cp "$tmp/full/statistics.png" "$out/main-finished-statistics.png"

# The introduction in a 16-bit and a 24-bit display.
for depth in 16 24; do
    PELLMARK_WINE_XVFB_DEPTH=$depth PELLMARK_WINE_SHOTS="$tmp/depth$depth" \
        tests/wine/sandbox_run.sh build/$windows/pellmark_driver.exe --shots --no-scan
    cp "$tmp/depth$depth/introduction.png" "$out/main-introduction-${depth}bpp.png"
done

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
unset PELLMARK_WINE_BACKGROUND PELLMARK_WINE_DRIVES PELLMARK_WINE_PROGRAM_DRIVE
PELLMARK_SHOTS=1 PELLMARK_WINE_SHOTS="$tmp/boxes" tests/wine/sandbox_run.sh \
    build/$windows/tests/win32/win32_ui_test.exe --gtest_filter='ConfirmBox.ScreenshotOfEachStyle'
cp "$tmp/boxes"/*.png "$out/"
# Keep the part of the virtual screen where the windows stand.
for f in "$out"/*.png; do convert "$f" -crop 640x480+0+0 +repage "$f"; done
# A picture of one or two colours was taken before its window was drawn.
blank=0
for f in "$out"/*.png; do
    if [ "$(identify -format %k "$f")" -le 2 ]; then echo "screenshots: $f is blank" >&2; blank=1; fi
done
ls "$out"
exit $blank
