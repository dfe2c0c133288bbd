#!/bin/bash
# Makes a release of the program from this checkout:
#
#   scripts/release.sh [OUT]          (default build/release)
#
# writes OUT/pellmark.exe (the i686 program, win32 thread model, stripped,
# compiled for the i586 and linked with the runtime rebuilt for it by
# scripts/i586-runtime.sh; import- and instruction-checked),
# OUT/pellmark-VERSION.zip (the program and a short readme for users with
# its checksum) and OUT/SHA256SUMS (both files). VERSION is the project's
# version in CMakeLists.txt, which the version resource and the manifest
# also take. The build is reproducible: no time stamps, no build paths, and
# every date that is written (the entries of the zip) is SOURCE_DATE_EPOCH,
# by default the time of the checked-out commit.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$src/build/release}
"$src/scripts/install-deps.sh"
# The static runtime rebuilt for the i586 (built once, then cached).
runtime=$("$src/scripts/i586-runtime.sh")
version=$(sed -n 's/^project(Pellmark VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH

rm -rf "$out"
mkdir -p "$out/obj"
cmake -S "$src" -B "$out/obj" --toolchain "$src/cmake/mingw-i686-win32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DPELLMARK_TARGET=win32 -DPELLMARK_PRODUCT_ONLY=ON \
    -DPELLMARK_PRODUCT_DIR="$out" -DPELLMARK_WERROR=ON -DPELLMARK_RUNTIME_DIR="$runtime" >/dev/null
cmake --build "$out/obj" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
python3 "$src/tests/compat/check_imports.py" "$out/pellmark.exe" >/dev/null
python3 "$src/tests/compat/check_instructions.py" --map "$out/obj/pellmark.map" "$out/pellmark.exe" \
    >"$out/obj/instructions.txt" || { cat "$out/obj/instructions.txt" >&2; exit 1; }
rm -rf "$out/obj"

python3 - "$out" "$version" "$src/resources/release-readme.txt" <<'ZIP'
import hashlib, os, sys, time, zipfile
out, version, readme_template = sys.argv[1:4]
exe = open(os.path.join(out, "pellmark.exe"), "rb").read()
digest = hashlib.sha256(exe).hexdigest()
title = "Pellmark " + version
readme = open(readme_template, encoding="utf-8").read()
readme = readme.replace("Pellmark @VERSION@\n==============", title + "\n" + "=" * len(title))
readme = readme.replace("@SHA256@", digest).replace("\n", "\r\n").encode("ascii")
# Zip dates start in 1980 and have two-second steps.
stamp = max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800)
date = time.gmtime(stamp)[:6]
name = "pellmark-%s.zip" % version
with zipfile.ZipFile(os.path.join(out, name), "w") as z:
    for entry, data in (("pellmark.exe", exe), ("README.txt", readme)):
        info = zipfile.ZipInfo(entry, date_time=date)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        info.create_system = 0
        z.writestr(info, data, compresslevel=9)
with open(os.path.join(out, "SHA256SUMS"), "w") as sums:
    for entry in ("pellmark.exe", name):
        sums.write("%s  %s\n" % (hashlib.sha256(open(os.path.join(out, entry), "rb").read()).hexdigest(), entry))
ZIP
echo "release: $out"
cat "$out/SHA256SUMS"
