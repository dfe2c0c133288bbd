#!/bin/bash
# The release is reproducible: the same commit, cloned into two folders of
# different names and released at two different times, gives the same bytes
# (both programs, the zip, the checksums). On a difference it says where the
# two copies of a program differ: the byte ranges and the PE section of each. The
# second release goes into the folder of an earlier one, whose files it
# replaces. Both name the commit in the users' readme and in the version
# resource of each program, and the zip's entries carry DOS attributes; the
# Debian package of the rescue program depends on libhivex0 and names it too.
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
status=0
"$work/a/scripts/release.sh" "$work/a/out" >/dev/null
sleep 2
mkdir -p "$work/b-out/obj"
printf '%s\n' obj pellmark.exe pellmark-0.9.zip SHA256SUMS >"$work/b-out/.pellmark-release"
touch "$work/b-out/pellmark-0.9.zip" "$work/b-out/pellmark.exe" "$work/b-out/obj/left-over.o"
"$work/second-clone-in-a-longer-folder/scripts/release.sh" "$work/b-out" >/dev/null
if [ -e "$work/b-out/pellmark-0.9.zip" ] || [ -e "$work/b-out/obj" ]; then
    echo "DIFFERENT: the earlier release's files are still there"
    status=1
fi

for f in pellmark.exe pellscan.exe SHA256SUMS $(cd "$work/a/out" && ls pellmark-*.zip pellmark-rescue_*.deb); do
    if cmp -s "$work/a/out/$f" "$work/b-out/$f"; then
        echo "same: $f"
    else
        echo "DIFFERENT: $f"
        status=1
    fi
done
for program in pellmark.exe pellscan.exe; do
    cmp -s "$work/a/out/$program" "$work/b-out/$program" && continue
    echo "$program:"
    python3 - "$work/a/out/$program" "$work/b-out/$program" <<'WHERE'
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
done
python3 - "$work/a/out" "$commit" <<'CONTENTS' || status=1
import glob, subprocess, sys, zipfile
out, commit = sys.argv[1:3]
ok = True
def check(what, good):
    global ok
    print(("ok: " if good else "WRONG: ") + what)
    ok = ok and good
z = zipfile.ZipFile(glob.glob(out + "/pellmark-*.zip")[0])
for info in z.infolist():
    check("%s made on a FAT host with DOS attributes (%d, %#x)" % (info.filename, info.create_system, info.external_attr),
          info.create_system == 0 and info.external_attr == 0x20)
readme = z.read("README.txt").decode("ascii")
check("README.txt names the commit", commit in readme and "UNCOMMITTED" not in readme)
check("the zip holds both programs and the readme",
      sorted(z.namelist()) == ["README.txt", "pellmark.exe", "pellscan.exe"])
for program in ("pellmark.exe", "pellscan.exe"):
    exe = open(out + "/" + program, "rb").read()
    check(program + "'s version resource names the commit", ("Source commit " + commit).encode("utf-16-le") in exe)
    check(program + " in the zip is the program released", z.read(program) == exe)
sums = open(out + "/SHA256SUMS").read().split()
deb = glob.glob(out + "/pellmark-rescue_*.deb")[0]
check("SHA256SUMS lists both programs, the zip and the Debian package",
      sums[1::2] == ["pellmark.exe", "pellscan.exe", glob.glob(out + "/pellmark-*.zip")[0].rsplit("/", 1)[1],
                     deb.rsplit("/", 1)[1]])
fields = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True, text=True).stdout
contents = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True).stdout
check("the Debian package depends on libhivex0", "libhivex0" in fields.split("Depends:", 1)[-1].split("\n", 1)[0])
check("the Debian package names the commit", ("Source commit " + commit) in fields)
check("the Debian package holds /usr/bin/pellmark-rescue, owned by root",
      any(line.startswith("-rwxr-xr-x root/root") and line.endswith(" ./usr/bin/pellmark-rescue")
          for line in contents.splitlines()))
check("README.txt carries the checksum of each program",
      all(sums[i] in readme for i in (0, 2)))
sys.exit(0 if ok else 1)
CONTENTS
[ $status = 0 ] && echo "reproducible: $commit gives $(head -c 64 "$work/a/out/SHA256SUMS") for pellmark.exe," \
    "$(sed -n 2p "$work/a/out/SHA256SUMS" | head -c 64) for pellscan.exe"
exit $status
