#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (committed under fuzz/corpus).

    make_corpus.py MAKE_SAMPLE
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def put(name, seed, data):
    folder = os.path.join(HERE, "corpus", name)
    os.makedirs(folder, exist_ok=True)
    open(os.path.join(folder, seed), "wb").write(data)


def record():
    r = bytearray(108)
    r[0:24] = b"W32/Quelby.Qgs.Dl.Trojan"
    struct.pack_into("<i", r, 50, -2683)
    r[54:74] = bytes.fromhex("c40e837c8bc2857c6f1f867ca7ea827c56be807c")
    struct.pack_into("<i", r, 75, 6788)
    r[79:99] = bytes.fromhex("07e454e072ca40a8a1b622c68cc72db59ec957ed")
    struct.pack_into("<ii", r, 100, 23552, 1)
    return bytes(r)


def perf_block(names):
    d = bytearray(88)
    d[0:8] = "PERF".encode("utf-16-le")
    struct.pack_into("<IIII", d, 8, 1, 1, 1, 0)
    struct.pack_into("<II", d, 24, 88, 1)
    obj = len(d)
    d += bytearray(64 + 80)
    struct.pack_into("<III", d, obj + 4, 64 + 80, 64, 230)
    struct.pack_into("<I", d, obj + 32, 2)
    struct.pack_into("<I", d, obj + 40, len(names))
    struct.pack_into("<II", d, obj + 64, 40, 6)
    struct.pack_into("<II", d, obj + 64 + 32, 8, 8)
    struct.pack_into("<II", d, obj + 104, 40, 784)
    struct.pack_into("<II", d, obj + 104 + 32, 4, 16)
    for name, pid in names:
        at = len(d)
        wide = (name + "\0").encode("utf-16-le")
        length = (24 + len(wide) + 7) & ~7
        d += bytearray(length + 24)
        struct.pack_into("<I", d, at, length)
        struct.pack_into("<II", d, at + 16, 24, len(wide))
        d[at + 24:at + 24 + len(wide)] = wide
        struct.pack_into("<I", d, at + length, 24)
        struct.pack_into("<I", d, at + length + 16, pid)
    struct.pack_into("<I", d, obj, len(d) - obj)
    struct.pack_into("<I", d, 20, len(d))
    return bytes(d)


def main():
    make = sys.argv[1]
    tmp = tempfile.mkdtemp()
    for kind in ("sample", "longer", "pattern", "signature", "sections", "offset"):
        path = os.path.join(tmp, kind)
        subprocess.run([make, kind, path], check=True)
        put("fuzz_matcher", kind, record() + open(path, "rb").read())
    put("fuzz_matcher", "tiny", b"MZ" + b"\0" * 58 + b"\x40\0" + b"PE\0\0")
    hosts = (b"begin 644 hosts\n"
             b"M,3(W+C N,\"XQ(\" @(\" @(&QO8V%L:&]S= T*,3(W+C N,\"XQ(\" @(\" @(\'=I\n"
             b"M;F1O=W-U<&1A=&4N;6EC<F]S;V9T+F-O;0T*,3(W+C N,\"XQ(\" @(\" @(\'5P\n`\nend\n")
    put("fuzz_text_scanner", "hijacked", hosts)
    put("fuzz_text_scanner", "plain", b"# hosts\r\n127.0.0.1 localhost\r\n")
    put("fuzz_text_scanner", "long", b"begin " + b"x" * 9000)
    for i, ini in enumerate([b"", b"[rename]\r\nNUL=C:\\OLD.EXE\r\n", b"[Other]\r\na=1\r\n[rename]\r\n[Next]\r\n",
                             b"[RENAME]\r\n" + b"z" * 700 + b"[x]\r\n", b"[rename]\r\nNUL=C:\\OLD.EXE"]):
        put("fuzz_rename", "ini%d" % i, b"\0" + ini)
        put("fuzz_rename", "ini%d-fail" % i, b"\x03" + ini)
    put("fuzz_perfdata", "table", perf_block([("Idle", 0), ("svchost", 4), ("TARGET", 12), ("_Total", 0)]))
    put("fuzz_sweep", "values", b"c:\\windows\\system32\\evil.exe\0Plain\0C:\\WINDOWS\\SYSTEM32\\EVIL.EXE /s\0"
        b"Bare\0evil.exe\0Quoted\0\"c:\\windows\\system32\\evil.exe\"\0Env\0%SystemRoot%\\system32\\evil.exe\0"
        b"Other\0c:\\good.exe\0")


if __name__ == "__main__":
    main()
