#!/bin/bash
# Makes a release of the program from this checkout:
#
#   scripts/release.sh [--dirty] [OUT]          (default build/release)
#
# writes OUT/pellmark.exe and OUT/pellscan.exe (the i686 window program and
# console program, win32 thread model, stripped, compiled for the i586 and
# linked with the runtime rebuilt for it by scripts/i586-runtime.sh; import-
# and instruction-checked), OUT/pellmark-VERSION.zip (both programs and a
# short readme for users with their checksums),
# OUT/pellmark-rescue_VERSION_ARCH.deb (the Linux rescue program, built
# with this machine's toolchain, stripped, depending on libhivex0) and
# OUT/SHA256SUMS (the four files). VERSION is the project's
# version in CMakeLists.txt, which the version resource and the manifest
# also take. The build is reproducible: no time stamps, no build paths, and
# every date that is written (the entries of the zip) is SOURCE_DATE_EPOCH,
# by default the time of the checked-out commit.
#
# The release names its commit (in the readme and in the version resource),
# so a tree with uncommitted changes is refused; --dirty releases it all the
# same, marked as such in its name, its readme and its resource. OUT must be
# new, empty or the output of an earlier release, of which only what that
# release wrote is replaced: nothing else is ever deleted.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
refuse() { echo "release: refused: $*" >&2; exit 1; }
dirty_ok=0
if [ "${1:-}" = --dirty ]; then dirty_ok=1; shift; fi
case "${1:-}" in -*) refuse "unknown option $1 (scripts/release.sh [--dirty] [OUT])" ;; esac
out=${1:-$src/build/release}

# What a release writes into OUT, listed in OUT/.pellmark-release.
marker=.pellmark-release
if [ -e "$out" ] || [ -L "$out" ]; then
    [ -d "$out" ] && [ ! -L "$out" ] || refuse "$out exists and is not a folder"
    if [ -n "$(ls -A "$out")" ]; then
        [ -f "$out/$marker" ] || refuse "$out is not empty and no release wrote it; give a new or empty folder"
        for entry in "$out"/* "$out"/.[!.]* "$out"/..?*; do
            [ -e "$entry" ] || [ -L "$entry" ] || continue
            name=$(basename "$entry")
            [ "$name" = "$marker" ] || grep -qxF "$name" "$out/$marker" ||
                refuse "$out holds $name, which no release wrote; give a new or empty folder"
        done
    fi
fi

commit=$(git -C "$src" rev-parse HEAD 2>/dev/null) || refuse "$src is not a git checkout, so the release could not name its commit"
changes=$(git -C "$src" status --porcelain 2>/dev/null)
dirty=0
if [ -n "$changes" ]; then
    [ "$dirty_ok" = 1 ] || refuse "the tree has uncommitted changes (git status lists them); commit them, or give --dirty for a release marked as not rebuildable"
    dirty=1
fi
"$src/scripts/install-deps.sh"
# The static runtime rebuilt for the i586 (built once, then cached).
runtime=$("$src/scripts/i586-runtime.sh")
version=$(sed -n 's/^project(Pellmark VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || refuse "no version in CMakeLists.txt"
source_text="Source commit $commit"
if [ "$dirty" = 1 ]; then
    version="$version-dirty-${commit:0:12}"
    source_text="$source_text WITH UNCOMMITTED CHANGES, not a release"
    for _ in 1 2 3; do echo "release: WARNING: built from uncommitted changes to $commit: not rebuildable, do not publish" >&2; done
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH

if [ -f "$out/$marker" ]; then
    while IFS= read -r name; do
        [ -n "$name" ] && case "$name" in */*|.|..) ;; *) rm -rf "${out:?}/$name" ;; esac
    done <"$out/$marker"
fi
mkdir -p "$out"
# Listed before anything is written, so that a release that stops half-way
# leaves a folder the next one may clean.
arch=$(dpkg --print-architecture)
deb="pellmark-rescue_${version}_${arch}.deb"
printf '%s\n' obj obj-rescue pellmark.exe pellscan.exe "pellmark-$version.zip" "$deb" SHA256SUMS >"$out/$marker"
mkdir -p "$out/obj"
cmake -S "$src" -B "$out/obj" --toolchain "$src/cmake/mingw-i686-win32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DPELLMARK_TARGET=win32 -DPELLMARK_PRODUCT_ONLY=ON \
    -DPELLMARK_PRODUCT_DIR="$out" -DPELLMARK_WERROR=ON -DPELLMARK_RUNTIME_DIR="$runtime" \
    -DPELLMARK_SOURCE_TEXT="$source_text" >/dev/null
cmake --build "$out/obj" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
for program in pellmark pellscan; do
    python3 "$src/tests/compat/check_imports.py" "$out/$program.exe" >/dev/null
    python3 "$src/tests/compat/check_instructions.py" --map "$out/obj/$program.map" "$out/$program.exe" \
        >"$out/obj/instructions.txt" || { cat "$out/obj/instructions.txt" >&2; exit 1; }
done
rm -rf "$out/obj"

# The rescue program as a Debian package: the host build of the same
# sources, no build paths in it, stripped; its dependencies as
# dpkg-shlibdeps finds them; every date SOURCE_DATE_EPOCH, owner root.
build="$out/obj-rescue"
mkdir -p "$build"
cmake -S "$src" -B "$build/cmake" -DCMAKE_BUILD_TYPE=Release -DPELLMARK_TARGET=host -DPELLMARK_WERROR=ON \
    "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$src=. -ffile-prefix-map=$build/cmake=build" >/dev/null
cmake --build "$build/cmake" -j "$(nproc 2>/dev/null || echo 2)" --target pellmark-rescue >/dev/null
root="$build/root"
install -d -m 0755 "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/doc/pellmark-rescue"
install -m 0755 "$build/cmake/pellmark-rescue" "$root/usr/bin/pellmark-rescue"
strip --strip-all "$root/usr/bin/pellmark-rescue"
"$root/usr/bin/pellmark-rescue" --help >"$root/usr/share/doc/pellmark-rescue/usage.txt"
chmod 0644 "$root/usr/share/doc/pellmark-rescue/usage.txt"
mkdir -p "$build/shlibs/debian"
printf 'Source: pellmark\n\nPackage: pellmark-rescue\nArchitecture: any\n' >"$build/shlibs/debian/control"
depends=$(cd "$build/shlibs" && dpkg-shlibdeps -O -e "$root/usr/bin/pellmark-rescue" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
case "$depends" in *libhivex0*) ;; *) refuse "pellmark-rescue does not depend on libhivex0 ($depends)" ;; esac
cat >"$root/DEBIAN/control" <<CONTROL
Package: pellmark-rescue
Version: $version
Architecture: $arch
Maintainer: Brenvik Software <pellmark@brenvik.invalid>
Depends: $depends
Section: utils
Priority: optional
Description: removes W32/Quelby.Trojan from a Windows disk mounted on Linux
 Scans a Windows disk mounted from a rescue system and removes the trojan
 W32/Quelby.Trojan from it: its files, and from the offline registry of an
 NT-family installation its autorun values, uninstall entry and services.
 Built from $source_text.
CONTROL
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$root" "$out/$deb" >/dev/null
rm -rf "$build"

python3 - "$out" "$version" "$src/resources/release-readme.txt" "$commit" "$dirty" "$src/engine/signature_table.cpp" "$deb" <<'ZIP'
import hashlib, os, re, sys, time, zipfile
out, version, readme_template, commit, dirty, table, deb = sys.argv[1:8]
exe = open(os.path.join(out, "pellmark.exe"), "rb").read()
console = open(os.path.join(out, "pellscan.exe"), "rb").read()
digest = hashlib.sha256(exe).hexdigest()
console_digest = hashlib.sha256(console).hexdigest()
title = "Pellmark " + version
# The variants the table finds today: the rows that carry both patterns.
row = re.compile(r'^\s*\{"([^"]+)", -?\d+, "[0-9a-fA-F]{40}", -?\d+, "[0-9a-fA-F]{40}", \d+, [1-3]\},')
variants = [m.group(1) for m in map(row.match, open(table, encoding="utf-8")) if m]
if dirty == "1":
    source = ("THIS COPY WAS BUILT FROM UNCOMMITTED CHANGES to commit\n  %s\n"
              "of the source. It is not a release: nobody can rebuild it, so do\n"
              "not use it to clean a machine and do not pass it on." % commit)
else:
    source = ("This copy was built from commit\n  %s\nof Pellmark's source. Anyone can rebuild the release from that commit\n"
              "and compare: the build is reproducible byte for byte (the source's\n"
              "README tells how)." % commit)
readme = open(readme_template, encoding="utf-8").read()
readme = readme.replace("Pellmark @VERSION@\n==============", title + "\n" + "=" * len(title))
readme = readme.replace("@VERSION@", version).replace("@SHA256@", digest).replace("@SOURCE@", source)
readme = readme.replace("@SHA256_PELLSCAN@", console_digest)
readme = readme.replace("@COMMIT@", commit)
readme = readme.replace("@VARIANTS@", "\n".join("  " + v for v in variants) or "  (none)")
readme = readme.replace("@VARIANT_COUNT@", str(len(variants)))
readme = readme.replace("\n", "\r\n").encode("ascii")
# Zip dates start in 1980 and have two-second steps.
stamp = max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800)
date = time.gmtime(stamp)[:6]
name = "pellmark-%s.zip" % version
with zipfile.ZipFile(os.path.join(out, name), "w") as z:
    for entry, data in (("pellmark.exe", exe), ("pellscan.exe", console), ("README.txt", readme)):
        info = zipfile.ZipInfo(entry, date_time=date)
        info.compress_type = zipfile.ZIP_DEFLATED
        # Made on a FAT-style host: the attributes are DOS attributes
        # (archive), which Windows' own zip folders and old unzip tools read.
        info.create_system = 0
        info.create_version = 20
        info.external_attr = 0x20
        z.writestr(info, data, compresslevel=9)
with open(os.path.join(out, "SHA256SUMS"), "w") as sums:
    for entry in ("pellmark.exe", "pellscan.exe", name, deb):
        sums.write("%s  %s\n" % (hashlib.sha256(open(os.path.join(out, entry), "rb").read()).hexdigest(), entry))
ZIP
echo "release: $out (commit $commit$([ "$dirty" = 1 ] && echo ", WITH UNCOMMITTED CHANGES"))"
cat "$out/SHA256SUMS"
