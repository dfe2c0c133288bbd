#!/bin/bash
# The sandbox runner refuses to start a program when a link below a drive,
# or a drive letter, leads outside the sandbox.
set -u
runner=$(dirname "$0")/sandbox_run.sh
exe=$1
setup=$(mktemp)
trap 'rm -f "$setup"' EXIT
chmod +x "$setup"
fail=0
for plant in 'ln -s / "$1/drive_c/escape"' 'ln -s /tmp "$1/dosdevices/y:"'; do
    printf '#!/bin/sh\n%s\n' "$plant" >"$setup"
    out=$(PELLMARK_WINE_SETUP="$setup" "$runner" "$exe" 2>&1)
    rc=$?
    [ $rc -eq 77 ] && { echo "$out"; exit 77; }
    if [ $rc -ne 3 ] || ! grep -q refusing <<<"$out"; then
        echo "FAIL: '$plant' was not refused (rc $rc)"; echo "$out" | tail -5; fail=1
    else
        echo "ok: refused after: $plant"
    fi
done
exit $fail
