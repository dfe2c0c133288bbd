#!/bin/bash
# The release is reproducible: the same commit, cloned into two folders of
# different names and released at two different times, gives the same bytes
# (the program, the zip, the checksums). On a difference it says where the
# two programs differ: the byte ranges and the PE section of each.
#
#   tests/release/reproducible.sh [REPOSITORY]   (default: this checkout)
set -euo pipefail
repo=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
commit=$(git -C "$repo" rev-parse HEAD)
git clone -q "$repo" "$work/a"
git clone -q "$repo" "$work/second-clone-in-a-longer-folder"
git -C "$work/a" checkout -q "$commit"
git -C "$work/second-clone-in-a-longer-folder" checkout -q "$commit"
"$work/a/scripts/release.sh" "$work/a/out" >/dev/null
sleep 2
"$work/second-clone-in-a-longer-folder/scripts/release.sh" "$work/b-out" >/dev/null

status=0
for f in pellmark.exe SHA256SUMS $(cd "$work/a/out" && ls pellmark-*.zip); do
    if cmp -s "$work/a/out/$f" "$work/b-out/$f"; then
        echo "same: $f"
    else
        echo "DIFFERENT: $f"
        status=1
    fi
done
if ! cmp -s "$work/a/out/pellmark.exe" "$work/b-out/pellmark.exe"; then
    python3 - "$work/a/out/pellmark.exe" "$work/b-out/pellmark.exe" <<'WHERE'
import struct, sys
a, b = (open(p, "rb").read() for p in sys.argv[1:3])
if len(a) != len(b):
    print("sizes differ: %d and %d bytes" % (len(a), len(b)))
pe = struct.unpack_from("<I", a, 0x3C)[0]
count = struct.unpack_from("<H", a, pe + 6)[0]
table = pe + 24 + struct.unpack_from("<H", a, pe + 20)[0]
sections = []
for i in range(count):
    s = table + 40 * i
    name = a[s:s + 8].rstrip(b"\0").decode("latin-1")
    raw_size, raw = struct.unpack_from("<II", a, s + 16)
    sections.append((raw, raw + raw_size, name))
def where(offset):
    if offset < table + 40 * count:
        return "headers"
    for start, end, name in sections:
        if start <= offset < end:
            return name
    return "outside every section"
ranges, start = [], None
for i in range(min(len(a), len(b))):
    if a[i] != b[i] and start is None:
        start = i
    elif a[i] == b[i] and start is not None:
        ranges.append((start, i)); start = None
if start is not None:
    ranges.append((start, min(len(a), len(b))))
for s, e in ranges[:20]:
    print("  bytes %#x-%#x differ (%s)" % (s, e - 1, where(s)))
if len(ranges) > 20:
    print("  ... %d ranges in all" % len(ranges))
WHERE
fi
[ $status = 0 ] && echo "reproducible: $commit gives $(head -c 64 "$work/a/out/SHA256SUMS") for pellmark.exe"
exit $status
