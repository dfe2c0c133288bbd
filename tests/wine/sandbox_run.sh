#!/bin/bash
# Runs one Windows program under Wine inside a throw-away prefix whose drives
# are only folders made here. Used as the emulator of every win32 test.
#
#   sandbox_run.sh program.exe [args...]
#
# Environment (all optional):
#   PELLMARK_WINE_VERSION  win98 | nt40 | winxp | win7   (default winxp)
#   PELLMARK_WINE_DRIVES   extra letters, e.g. "d:hd e:cdrom f:network"
#   PELLMARK_WINE_ROOT     where the template and sandboxes live
#   PELLMARK_WINE_KEEP     1: keep the sandbox afterwards (its path is printed)
#   PELLMARK_WINE_SETUP    a script run with the sandbox's prefix path before
#                          the program starts (to plant files)
#   PELLMARK_WINE_XVFB     1: run in a virtual display of its own (Xvfb), whose
#                          number is in the sandbox's file "display"
#   PELLMARK_WINE_XVFB_DEPTH  its colour depth in bits per pixel (default 24;
#                          16 is what most 9x, NT 4 and 2000 machines ran at)
#   PELLMARK_WINE_BACKGROUND  a second Windows program started first and left
#                          running beside program.exe (the program under test,
#                          while program.exe drives it); its exit code is
#                          written to the sandbox's file "background_rc"
#   PELLMARK_WINE_BACKGROUND_WAIT  seconds to wait for it after program.exe
#                          ends (default 30; 0: until it ends by itself)
#   PELLMARK_WINE_SHOTS    a folder: screenshot requests that program.exe
#                          writes as shot-NAME.request beside itself are taken
#                          into NAME.png there; a request that holds
#                          "X Y WIDTH HEIGHT" (screen pixels) is cropped to it
#   PELLMARK_WINE_DESKTOP  WxH: every window of the session in one Wine
#                          virtual desktop of that size, which draws
#                          Windows-style frames and title bars even without a
#                          window manager
#   PELLMARK_WINE_CHECK    a script run with the prefix path after the run
#   PELLMARK_WINE_FILES    further files (space-separated host paths) copied
#                          beside the program into C:\pellmark
#   PELLMARK_WINE_PROGRAM_DRIVE  a letter of PELLMARK_WINE_DRIVES (of a type
#                          the program does not scan, e.g. "p" with
#                          "p:network"): the programs, their files and the
#                          screenshot requests stand in that drive's root
#                          instead of C:\pellmark, so that the fixed drives
#                          hold only what the setup script planted
#
#   PELLMARK_WINE_REQUIRED 1: a machine that cannot run the program is an
#                          error (exit 1) rather than a skip (exit 77)
#
# The program's own PE header chooses the Wine: an i686 program runs in a
# 32-bit prefix (WINEARCH=win32) under the 32-bit loader, an x86_64 program
# in a 64-bit prefix (WINEARCH=win64) under Debian's wine64. Exit code 77
# (the tests' "skipped") when this machine cannot run that Wine at all, e.g.
# 32-bit programs on a kernel without 32-bit support.
#
# The template prefix is made once per Wine version and user, then each run
# gets a hard-linked copy in which every file Wine or the program may rewrite
# is a real copy. The run is refused when any drive letter, or any link below
# a drive, leads outside the sandbox.
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 program.exe [args...]" >&2; exit 2; }
exe=$(readlink -f "$1"); shift

root=${PELLMARK_WINE_ROOT:-/tmp/pellmark-wine-$(id -u)}
version=${PELLMARK_WINE_VERSION:-winxp}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$root"

# The machine field of the PE header: 014c i386, 8664 x86-64.
pe_machine() {
    local at
    at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' '
}
case "$(pe_machine "$exe")" in
    014c) export WINEARCH=win32; wine=wine; bits=32 ;;
    8664) export WINEARCH=win64; wine=/usr/lib/wine/wine64; export WINELOADER=$wine; bits=64 ;;
    *) echo "sandbox_run: $exe is not an i386 or x86-64 Windows program" >&2; exit 2 ;;
esac

if ! wine_version=$("$wine" --version 2>&1); then
    echo "sandbox_run: this machine cannot run Wine's $bits-bit programs ($wine_version)" >&2
    [ "${PELLMARK_WINE_REQUIRED:-0}" = 1 ] && exit 1
    echo "sandbox_run: skipped" >&2
    exit 77
fi
wine_id=$(echo "$wine_version" | tr -c 'A-Za-z0-9.\n-' _)
template="$root/template-$wine_id-$WINEARCH"

make_template() {
    local t="$template.tmp.$$"
    rm -rf "$t"
    mkdir -p "$t"
    WINEPREFIX="$t/prefix" "$wine" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$t/prefix" wineserver -w || true
    [ -f "$t/prefix/system.reg" ] || { echo "sandbox_run: wineboot failed" >&2; exit 1; }
    # No drive but C:, and user folders as plain folders.
    find "$t/prefix/dosdevices" -mindepth 1 -maxdepth 1 ! -name 'c:' -exec rm -f {} +
    while IFS= read -r link; do
        rm -f "$link"
        mkdir -p "$link"
    done < <(find "$t/prefix/drive_c" -type l)
    mv "$t" "$template"
}

(
    flock 9
    [ -d "$template" ] || make_template
) 9>"$root/.template.lock"

sandbox=$(mktemp -d "$root/run.XXXXXX")
prefix="$sandbox/prefix"
xvfb_pid=
cleanup() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    if [ "${PELLMARK_WINE_KEEP:-0}" = 1 ]; then
        echo "sandbox_run: kept $sandbox" >&2
    else
        rm -rf "$sandbox"
    fi
}
trap cleanup EXIT

if [ "${PELLMARK_WINE_XVFB:-0}" = 1 ]; then
    exec 8>"$sandbox/display"
    Xvfb -displayfd 8 -screen 0 "1024x768x${PELLMARK_WINE_XVFB_DEPTH:-24}" -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do [ -s "$sandbox/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(head -n1 "$sandbox/display")"
fi

cp -al "$template/prefix" "$prefix"
# Real copies of everything but program images, so that no write reaches the
# template through a hard link.
find "$prefix" -type f ! -iname '*.dll' ! -iname '*.exe' ! -iname '*.drv' ! -iname '*.sys' \
    ! -iname '*.ocx' ! -iname '*.cpl' ! -iname '*.acm' ! -iname '*.tlb' ! -iname '*.nls' \
    ! -iname '*.ttf' -print0 |
    while IFS= read -r -d '' f; do cp --remove-destination "$f" "$f.copy" && mv "$f.copy" "$f"; done

{
    printf '\n[Software\\\\Wine\\\\Drives]\n'
    for drive in ${PELLMARK_WINE_DRIVES:-}; do
        printf '"%s:"="%s"\n' "${drive%%:*}" "${drive#*:}"
    done
} >>"$prefix/system.reg"
{
    printf '\n[Software\\\\Wine]\n"Version"="%s"\n' "$version"
    if [ -z "${DISPLAY:-}" ]; then
        printf '\n[Software\\\\Wine\\\\Drivers]\n"Graphics"="null"\n'
    fi
    if [ -n "${PELLMARK_WINE_DESKTOP:-}" ]; then
        printf '\n[Software\\\\Wine\\\\Explorer]\n"Desktop"="pellmark"\n'
        printf '\n[Software\\\\Wine\\\\Explorer\\\\Desktops]\n"pellmark"="%s"\n' "$PELLMARK_WINE_DESKTOP"
    fi
} >>"$prefix/user.reg"

for drive in ${PELLMARK_WINE_DRIVES:-}; do
    letter=${drive%%:*}
    mkdir -p "$sandbox/drives/$letter"
    ln -s "../../drives/$letter" "$prefix/dosdevices/$letter:"
done

# Where the programs stand: C:\pellmark, or the root of the program drive.
programs="$prefix/drive_c/pellmark"
programs_dos='C:\pellmark'
if [ -n "${PELLMARK_WINE_PROGRAM_DRIVE:-}" ]; then
    programs="$sandbox/drives/$PELLMARK_WINE_PROGRAM_DRIVE"
    programs_dos="$(echo "$PELLMARK_WINE_PROGRAM_DRIVE" | tr a-z A-Z):"
    [ -d "$programs" ] || { echo "sandbox_run: the program drive is not one of PELLMARK_WINE_DRIVES" >&2; exit 2; }
fi
mkdir -p "$programs"
cp "$exe" "$programs/"
if [ -n "${PELLMARK_WINE_BACKGROUND:-}" ]; then
    cp "$PELLMARK_WINE_BACKGROUND" "$programs/"
fi
for file in ${PELLMARK_WINE_FILES:-}; do
    cp "$file" "$programs/"
done
if [ -n "${PELLMARK_WINE_SETUP:-}" ]; then
    "$PELLMARK_WINE_SETUP" "$prefix"
fi

# The guard: every letter and every link below a drive must stay inside.
guard() {
    local real_sandbox bad=0
    real_sandbox=$(readlink -f "$sandbox")
    for dev in "$prefix"/dosdevices/*; do
        local name target
        name=$(basename "$dev")
        target=$(readlink -f "$dev" || true)
        case "$target" in
            "$real_sandbox"/*) ;;
            *) echo "sandbox_run: refusing: dosdevices/$name leads to '$target'" >&2; bad=1 ;;
        esac
    done
    while IFS= read -r link; do
        target=$(readlink -f "$link" || true)
        case "$target" in
            "$real_sandbox"/*) ;;
            *) echo "sandbox_run: refusing: $link leads to '$target'" >&2; bad=1 ;;
        esac
    done < <(find "$prefix/drive_c" "$sandbox/drives" -type l 2>/dev/null)
    return $bad
}
guard || exit 3

export WINEPREFIX="$prefix"
export PELLMARK_SANDBOX="$sandbox"
cd "$programs"
watcher=
if [ -n "${PELLMARK_WINE_SHOTS:-}" ]; then
    mkdir -p "$PELLMARK_WINE_SHOTS"
    (
        while :; do
            for r in "$programs"/shot-*.request; do
                [ -e "$r" ] || continue
                name=$(basename "$r" .request)
                name=${name#shot-}
                crop=$(tr -d '\r' <"$r" | awk 'NF == 4 && $3 > 0 && $4 > 0 {printf "%dx%d+%d+%d", $3, $4, $1, $2}')
                if [ -n "$crop" ]; then
                    import -window root -crop "$crop" +repage "$PELLMARK_WINE_SHOTS/$name.png" 2>/dev/null || true
                else
                    import -window root "$PELLMARK_WINE_SHOTS/$name.png" 2>/dev/null || true
                fi
                rm -f "$r"
                touch "$programs/shot-$name.done"
            done
            sleep 0.2
        done
    ) &
    watcher=$!
fi

background=
if [ -n "${PELLMARK_WINE_BACKGROUND:-}" ]; then
    (
        "$wine" "$programs_dos\\$(basename "$PELLMARK_WINE_BACKGROUND")" >"$sandbox/background.log" 2>&1
        echo $? >"$sandbox/background_rc"
    ) &
    background=$!
fi

set +e
"$wine" "$programs_dos\\$(basename "$exe")" "$@"
rc=$?
if [ -n "$background" ]; then
    wait_for=${PELLMARK_WINE_BACKGROUND_WAIT:-30}
    if [ "$wait_for" = 0 ]; then
        wait "$background"
    else
        for _ in $(seq $((wait_for * 10))); do kill -0 "$background" 2>/dev/null || break; sleep 0.1; done
        kill "$background" 2>/dev/null
    fi
    [ -f "$sandbox/background_rc" ] && cp "$sandbox/background_rc" "${PELLMARK_WINE_RESULT_DIR:-$sandbox}/" 2>/dev/null
fi
[ -n "$watcher" ] && kill "$watcher" 2>/dev/null
WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1 || true
if [ -n "${PELLMARK_WINE_CHECK:-}" ]; then
    "$PELLMARK_WINE_CHECK" "$prefix" || rc=1
fi
set -e
exit $rc
