#!/bin/bash
# The runtime that the program links statically, rebuilt for the i586 (any
# Pentium): Debian's libstdc++, libsupc++, libgcc, libgcc_eh and the
# mingw-w64 start-up objects, libmingw32, libmingwex, libmsvcrt and
# libmoldname are compiled for the Pentium Pro (cmov, fcomi, ...), so they
# are built again here from Debian's own source packages of the installed
# cross compiler and runtime, with the installed cross compiler.
#
#   scripts/i586-runtime.sh           builds the runtime unless it is cached
#                                     and current; prints its folder
#   scripts/i586-runtime.sh --cached  prints the folder if the runtime is
#                                     cached and current, else exits 1
#                                     without building
#
# The cache lives outside the repository, in
# ${PELLMARK_RUNTIME_CACHE:-$XDG_CACHE_HOME/pellmark/i586-runtime}, one
# folder per key; the key is a hash of the installed versions of the cross
# compiler, its runtime, the mingw-w64 development files and binutils, and
# of the build recipe's number below. Sources come through apt with a
# private sources list (deb and deb-src lines for this Debian release) and
# private lists, so the system's apt setup is left alone; PELLMARK_DEBIAN_MIRROR picks another
# mirror. Exit status: 0 built or cached, 1 not cached (--cached) or build
# failed, 2 the sources could not be had.
set -euo pipefail
triple=i686-w64-mingw32
cache=${PELLMARK_RUNTIME_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pellmark/i586-runtime}
mirror=${PELLMARK_DEBIAN_MIRROR:-http://deb.debian.org}
say() { echo "i586 runtime: $*" >&2; }

mode=build
case "${1:-}" in
    "") ;;
    --cached) mode=cached ;;
    *) say "usage: $0 [--cached]"; exit 2 ;;
esac

version_of() {
    dpkg-query -W -f='${Version}' "$1" 2>/dev/null || { say "$1 is not installed (scripts/install-deps.sh)"; exit 2; }
}
command -v dpkg-query >/dev/null || { say "needs a Debian system (dpkg-query)"; exit 2; }
packages="gcc-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32-runtime mingw-w64-i686-dev binutils-mingw-w64-i686"
for p in $packages; do version_of "$p" >/dev/null; done
versions=$(for p in $packages; do echo "$p $(version_of "$p")"; done)
# Raise when the way the runtime is built changes, so that caches of the
# old way are not used.
recipe=1
key=$( (echo "$versions"; echo "recipe $recipe") | sha256sum | cut -c1-16)
dir=$cache/$key
if [ -f "$dir/complete" ]; then
    echo "$dir/lib"
    exit 0
fi
[ "$mode" = cached ] && exit 1

mkdir -p "$cache"
exec 9>"$cache/lock"
if ! flock -n 9; then
    say "waiting for another build of the runtime ($cache/lock)"
    flock 9
fi
if [ -f "$dir/complete" ]; then
    echo "$dir/lib"
    exit 0
fi

# Which sources: GCC's is the one the cross compiler was built from (its
# Built-Using field, e.g. "gcc-12 (= 12.2.0-14+deb12u1)"), shipped as the
# binary package gcc-N-source; mingw-w64's is the source package of the
# installed development files.
built_using=$(dpkg-query -W -f='${Built-Using}' gcc-mingw-w64-i686-win32-runtime)
gcc_package=$(sed -n 's/^\(gcc-[0-9]*\) (= \([^)]*\)).*/\1/p' <<<"$built_using")
gcc_version=$(sed -n 's/^\(gcc-[0-9]*\) (= \([^)]*\)).*/\2/p' <<<"$built_using")
[ -n "$gcc_package" ] && [ -n "$gcc_version" ] || { say "cannot tell which GCC the cross compiler was built from (Built-Using: '$built_using')"; exit 2; }
mingw_version=$(version_of mingw-w64-i686-dev)
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$codename" ] || { say "cannot tell this system's Debian release (/etc/os-release)"; exit 2; }

sources=$cache/sources
mkdir -p "$sources"
gcc_deb=$sources/${gcc_package}-source_${gcc_version}_all.deb
mingw_dsc=$sources/mingw-w64_${mingw_version#*:}.dsc
if [ ! -f "$gcc_deb" ] || [ ! -f "$mingw_dsc" ]; then
    apt=$cache/apt
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d"
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    {
        for suite in "$codename" "$codename-updates"; do
            echo "deb [signed-by=$keyring] $mirror/debian $suite main"
            echo "deb-src [signed-by=$keyring] $mirror/debian $suite main"
        done
        echo "deb [signed-by=$keyring] $mirror/debian-security $codename-security main"
        echo "deb-src [signed-by=$keyring] $mirror/debian-security $codename-security main"
    } >"$apt/sources.list"
    aptopts=(-q -o "Dir::Etc::sourcelist=$apt/sources.list" -o "Dir::Etc::sourceparts=$apt/sources.list.d"
             -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "APT::Sandbox::User=$(id -un)")
    fetch_failed() {
        say "cannot get the sources of the runtime from Debian ($mirror, $codename): $1"
        say "needed: ${gcc_package}-source $gcc_version and the source package mingw-w64 $mingw_version;"
        say "check the network, or set PELLMARK_DEBIAN_MIRROR, or put the files in $sources"
        exit 2
    }
    say "fetching ${gcc_package}-source $gcc_version and mingw-w64 $mingw_version sources, about 110 MB with the lists (private apt lists in $apt)"
    apt-get "${aptopts[@]}" update >"$apt/update.log" 2>&1 || fetch_failed "apt-get update failed ($apt/update.log)"
    (cd "$sources" && apt-get "${aptopts[@]}" download "${gcc_package}-source=$gcc_version") >"$apt/fetch.log" 2>&1 \
        || fetch_failed "${gcc_package}-source $gcc_version is not served ($apt/fetch.log)"
    (cd "$sources" && apt-get "${aptopts[@]}" source --download-only "mingw-w64=$mingw_version") >>"$apt/fetch.log" 2>&1 \
        || fetch_failed "the source package mingw-w64 $mingw_version is not served ($apt/fetch.log)"
    [ -f "$gcc_deb" ] && [ -f "$mingw_dsc" ] || fetch_failed "the downloaded files are not where expected ($apt/fetch.log)"
fi

log=$cache/build-$key.log
work=$(mktemp -d "$cache/work.XXXXXX")
say "building libstdc++, libgcc and the mingw-w64 runtime for the i586 from Debian's sources; once per compiler version, 5 to 15 minutes on 2 cores (log: $log)"
start=$(date +%s)

build() {
    set -x
    jobs=$(nproc 2>/dev/null || echo 2)
    # The same bytes from every build of the same sources: no build folder
    # and no date in the objects.
    export SOURCE_DATE_EPOCH=315532800 LC_ALL=C TZ=UTC
    flags="-O2 -march=i586 -mtune=pentium -ffile-prefix-map=$work=/build"
    cc=$triple-gcc-win32
    cxx=$triple-g++-win32

    cd "$work"
    dpkg-deb -x "$gcc_deb" gcc-source
    tarball=$(ls gcc-source/usr/src/"$gcc_package"/gcc-*.tar.* | head -1)
    # Only what libgcc and libstdc++ are built from (and configured with).
    tar -xf "$tarball" --exclude='*/gcc/testsuite' --exclude='*/libgo' --exclude='*/libphobos' \
        --exclude='*/gcc/ada' --exclude='*/gcc/go' --exclude='*/gcc/d' --exclude='*/gcc/m2' \
        --exclude='*/gcc/fortran' --exclude='*/gcc/rust' --exclude='*/libgfortran' --exclude='*/libsanitizer' \
        --exclude='*/gcc/po' --exclude='*/gcc/doc' --exclude='*/libstdc++-v3/doc/html' \
        --exclude='*/gnattools' --exclude='*/libada' --exclude='*/libgm2' --exclude='*/libgomp' \
        --exclude='*/libobjc' --exclude='*/libffi' --exclude='*/zlib' --exclude='*/libcpp/po'
    rm -rf gcc-source
    gcc=$(ls -d "$work"/gcc-*/ | head -1)
    gcc=${gcc%/}
    dpkg-source --no-check -x "$mingw_dsc" "$work/mingw-w64" >/dev/null
    mingw=$work/mingw-w64
    # The configuration of Debian's cross compiler (gcc -v).
    gccconf=(--build=x86_64-linux-gnu --host=$triple --target=$triple --prefix=/usr
             --enable-threads=win32 --disable-sjlj-exceptions --with-dwarf2 --disable-multilib
             --enable-version-specific-runtime-libs --enable-fully-dynamic-string
             --enable-libstdcxx-time=yes --enable-languages=c,c++)
    mkdir -p b/gcc b/$triple/libgcc b/$triple/libstdc++-v3 b/crt/lib32

    # The three parts build side by side: mingw-w64's runtime, libstdc++,
    # and libgcc after the compiler's configuration.
    (cd b/crt && CC=$cc CFLAGS="$flags" "$mingw/mingw-w64-crt/configure" --build=x86_64-linux-gnu \
        --host=$triple --prefix=/usr/$triple --enable-lib32 --disable-lib64 >/dev/null \
        && make -j"$jobs" lib32/crt2.o lib32/libmingw32.a lib32/libmingwex.a lib32/libmsvcrt.a lib32/libmoldname.a) &
    crt_libs=$!

    # libstdc++ static only, and without rdrand/rdseed: its configure
    # would otherwise find them in the assembler, and std::random_device
    # would use them (and cpuid).
    (cd b/$triple/libstdc++-v3 && ac_cv_x86_rdrand=no ac_cv_x86_rdseed=no CC=$cc CXX=$cxx \
        CFLAGS="$flags" CXXFLAGS="$flags" "$gcc/libstdc++-v3/configure" "${gccconf[@]}" \
        --disable-shared --enable-static --enable-libstdcxx-filesystem-ts=yes --disable-libstdcxx-pch \
        >/dev/null && make -j"$jobs" -C include && make -j"$jobs" -C libsupc++ && make -j"$jobs" -C src) &
    cxx_libs=$!

    # The compiler's configuration, for the headers libgcc includes;
    # options.h and insn-*.h are the installed compiler's own (they need
    # the compiler's generator programs otherwise). cc1 is never built.
    plugin=$(dirname "$($cc -print-libgcc-file-name)")/plugin/include
    (cd b/gcc && "$gcc/gcc/configure" "${gccconf[@]/--host=$triple/--host=x86_64-linux-gnu}" \
        --with-as=/usr/bin/$triple-as --with-ld=/usr/bin/$triple-ld --with-gnu-as --with-gnu-ld >/dev/null)
    (cd b/gcc && make tconfig.h tm.h auto-host.h >/dev/null && cp "$plugin"/options.h "$plugin"/insn-*.h .)
    # What the compiler's build hands libgcc; the target's headers are
    # there, so no -Dinhibit_libc.
    printf 'pellmark-mvars:\n\t@echo GCC_CFLAGS = '"'"'$(GCC_CFLAGS)'"'"'\n\t@echo INHIBIT_LIBC_CFLAGS =\n\t@echo TARGET_SYSTEM_ROOT =\n\t@echo NO_PIE_CFLAGS =\n' >b/mvars.mk
    (cd b/gcc && make -s -f Makefile -f ../mvars.mk pellmark-mvars >libgcc.mvars)
    (cd b/$triple/libgcc && CC=$cc CFLAGS="$flags" "$gcc/libgcc/configure" "${gccconf[@]}" \
        --enable-shared --enable-static >/dev/null && make -j"$jobs" libgcc.a libgcc_eh.a crtbegin.o crtend.o)
    wait $crt_libs
    wait $cxx_libs

    mkdir -p "$work/out/lib"
    cp b/$triple/libgcc/{libgcc.a,libgcc_eh.a,crtbegin.o,crtend.o} \
       b/$triple/libstdc++-v3/src/.libs/libstdc++.a b/$triple/libstdc++-v3/libsupc++/.libs/libsupc++.a \
       b/crt/lib32/{crt2.o,libmingw32.a,libmingwex.a,libmsvcrt.a,libmoldname.a} "$work/out/lib/"
    set +x
}
# Not in a condition, so that any failing step stops the build.
set +e
(set -e; build) >"$log" 2>&1
status=$?
set -e
libs="libgcc.a libgcc_eh.a crtbegin.o crtend.o libstdc++.a libsupc++.a crt2.o libmingw32.a libmingwex.a libmsvcrt.a libmoldname.a"
for f in $libs; do
    [ $status != 0 ] || [ -s "$work/out/lib/$f" ] || { echo "missing: $f" >>"$log"; status=1; }
done
if [ $status != 0 ]; then
    tail -n 30 "$log" >&2
    say "the build failed (status $status); the whole log is $log, the build folder $work"
    exit 1
fi
{
    echo "$versions"
    echo "built from ${gcc_package}-source $gcc_version and mingw-w64 $mingw_version in $(( $(date +%s) - start )) s"
} >"$work/out/versions"
touch "$work/out/complete"
rm -rf "$dir"
mv "$work/out" "$dir"
rm -rf "$work"
say "built in $(( $(date +%s) - start )) s: $dir/lib"
echo "$dir/lib"
