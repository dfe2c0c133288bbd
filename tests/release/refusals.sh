#!/bin/bash
# The release never deletes what it did not write and names its commit: a
# tree with uncommitted changes, a folder that holds other files, a folder
# of an earlier release with a file added, and a file in OUT's place are
# each refused with one line and exit status 1, before anything is built,
# and every file is left as it was.
#
#   tests/release/refusals.sh [REPOSITORY]   (default: this checkout)
set -euo pipefail
repo=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/log"
git clone -q "$repo" "$work/src"
git -C "$work/src" checkout -q "$(git -C "$repo" rev-parse HEAD)"
status=0
# refused WHAT OUT [ARGS...]: the release must refuse with one line naming WHAT.
refused() {
    local what=$1 out=$2
    shift 2
    local before
    before=$(cd "$work" && find . \( -path ./src/.git -o -path ./log \) -prune -o -print0 | sort -z | xargs -0 ls -ld --time-style=+%s 2>/dev/null | md5sum)
    set +e
    "$work/src/scripts/release.sh" "$@" "$out" >"$work/log/stdout" 2>"$work/log/stderr"
    local rc=$?
    set -e
    local after
    after=$(cd "$work" && find . \( -path ./src/.git -o -path ./log \) -prune -o -print0 | sort -z | xargs -0 ls -ld --time-style=+%s 2>/dev/null | md5sum)
    if [ "$rc" = 1 ] && [ "$(wc -l <"$work/log/stderr")" = 1 ] && grep -q "^release: refused: .*$what" "$work/log/stderr" &&
        [ "$before" = "$after" ]; then
        echo "refused: $(cat "$work/log/stderr")"
    else
        echo "NOT REFUSED as it should be ($what): exit $rc, $(wc -l <"$work/log/stderr") lines:"
        cat "$work/log/stderr" "$work/log/stdout"
        [ "$before" = "$after" ] || echo "  and files changed"
        status=1
    fi
}

echo "a change" >>"$work/src/README.md"
refused "uncommitted changes" "$work/fresh"
touch "$work/src/untracked-file"
git -C "$work/src" checkout -q README.md
refused "uncommitted changes" "$work/fresh"
rm "$work/src/untracked-file"

mkdir -p "$work/documents"
echo "a letter" >"$work/documents/letter.txt"
refused "no release wrote it" "$work/documents"

mkdir -p "$work/earlier"
printf '%s\n' obj pellmark.exe pellmark-0.9.zip SHA256SUMS >"$work/earlier/.pellmark-release"
touch "$work/earlier/pellmark.exe" "$work/earlier/pellmark-0.9.zip" "$work/earlier/notes.txt"
refused "holds notes.txt, which no release wrote" "$work/earlier"

echo "not a folder" >"$work/a-file"
refused "is not a folder" "$work/a-file"
refused "unknown option" "$work/fresh" --frobnicate
exit $status
