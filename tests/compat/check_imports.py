#!/usr/bin/env python3
"""Checks that a Windows program can start on Windows 95 and NT 4.0.

    check_imports.py [--allowed FILE] [--expect-refusal] [--list] program.exe

Reads the PE headers and the import table of the program and refuses it
(exit 1, one line per finding) when
  - it is not a 32-bit i386 GUI or console program;
  - its header asks for a newer system: OS or subsystem version above 4.0;
  - it relies on a load-time feature that the 9x or NT 4.0 loader lacks:
    delay-load imports (resolved by newer linkers' helpers that call
    newer functions), a .NET header, imports by ordinal only (ordinals of
    system DLLs differ between 9x and NT);
  - it imports a DLL outside KERNEL32, USER32, GDI32, ADVAPI32, SHELL32 and
    msvcrt;
  - it imports a function that imports-allowed.txt does not list for that
    DLL (the list names, for each function, where its presence on 95/98
    and NT 4.0 is documented).
  - it is not marked terminal-server aware (DllCharacteristics 0x8000), so
    that a terminal server would give it a private Windows folder (loaders
    without terminal services ignore the flag).
Bound imports and a TLS directory are reported but allowed: the old loaders
ignore stale bindings, and both run the TLS data of a program started at
boot of its process (the C runtime start-up also calls its own TLS
initialiser directly, for loaders that do not run TLS callbacks).

--expect-refusal inverts the exit code (for the probe that must fail);
--list prints the imports per DLL.
"""
import argparse
import os
import struct
import sys

ALLOWED_DLLS = ("KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "ADVAPI32.DLL", "SHELL32.DLL", "MSVCRT.DLL")
HERE = os.path.dirname(os.path.abspath(__file__))


class Malformed(Exception):
    pass


class Image:
    """The headers and sections of a PE file, read at explicit offsets."""

    def __init__(self, data):
        self.data = data
        if self.u16(0) != 0x5A4D:
            raise Malformed("no MZ header")
        pe = self.u32(0x3C)
        if self.u32(pe) != 0x00004550:
            raise Malformed("no PE signature")
        self.machine = self.u16(pe + 4)
        sections = self.u16(pe + 6)
        optional_size = self.u16(pe + 20)
        self.characteristics = self.u16(pe + 22)
        opt = pe + 24
        self.magic = self.u16(opt)
        if self.magic != 0x10B:
            raise Malformed("optional header magic %#x is not PE32" % self.magic)
        self.os_version = (self.u16(opt + 40), self.u16(opt + 42))
        self.subsystem_version = (self.u16(opt + 48), self.u16(opt + 50))
        self.subsystem = self.u16(opt + 68)
        self.dll_characteristics = self.u16(opt + 70)
        count = self.u32(opt + 92)
        self.directories = [(self.u32(opt + 96 + 8 * i), self.u32(opt + 100 + 8 * i)) for i in range(min(count, 16))]
        self.sections = []
        at = opt + optional_size
        for i in range(sections):
            s = at + 40 * i
            name = self.bytes(s, 8).rstrip(b"\0").decode("latin-1")
            self.sections.append((name, self.u32(s + 8), self.u32(s + 12), self.u32(s + 16), self.u32(s + 20)))

    def bytes(self, at, n):
        if at < 0 or at + n > len(self.data):
            raise Malformed("read of %d bytes at %#x past the end" % (n, at))
        return self.data[at:at + n]

    def u16(self, at):
        return struct.unpack_from("<H", self.bytes(at, 2))[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.bytes(at, 4))[0]

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for _, vsize, va, rsize, raw in self.sections:
            if va <= rva < va + max(vsize, rsize):
                if rva - va >= rsize:
                    raise Malformed("rva %#x lies in uninitialised data" % rva)
                return raw + rva - va
        raise Malformed("rva %#x lies in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        end = self.data.find(b"\0", at)
        if end < 0:
            raise Malformed("unterminated name at rva %#x" % rva)
        return self.data[at:end].decode("latin-1")

    def imports(self):
        """[(dll, [function or '#ordinal', ...]), ...] in table order."""
        rva, size = self.directory(1)
        result = []
        if not rva:
            return result
        at = self.offset(rva)
        while True:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.bytes(at, 20))
            if not (lookup or name or thunk):
                break
            dll = self.cstring(name)
            functions = []
            entry = self.offset(lookup or thunk)
            while True:
                value = self.u32(entry)
                if value == 0:
                    break
                if value & 0x80000000:
                    functions.append("#%d" % (value & 0xFFFF))
                else:
                    functions.append(self.cstring(value + 2))
                entry += 4
            result.append((dll, functions))
            at += 20
        return result


def read_allowed(path):
    """{DLL: {function: source}} from the allowed list."""
    allowed = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split(None, 2)
            if len(parts) < 3:
                raise SystemExit("%s:%d: want 'DLL function source'" % (path, number))
            allowed.setdefault(parts[0].upper(), {})[parts[1]] = parts[2]
    return allowed


def check(image, allowed):
    findings, notes = [], []
    if image.machine != 0x14C:
        findings.append("machine %#06x is not i386" % image.machine)
    if image.subsystem not in (2, 3):
        findings.append("subsystem %d is neither Windows GUI nor console" % image.subsystem)
    if image.os_version > (4, 0):
        findings.append("asks for OS version %d.%d (above 4.0)" % image.os_version)
    if image.subsystem_version > (4, 0):
        findings.append("asks for subsystem version %d.%d (above 4.0)" % image.subsystem_version)
    if not image.dll_characteristics & 0x8000:
        findings.append("is not marked terminal-server aware (DllCharacteristics %#06x)" % image.dll_characteristics)
    if image.directory(13)[0]:
        findings.append("has delay-load imports")
    if image.directory(14)[0]:
        findings.append("has a .NET runtime header")
    if image.directory(11)[0]:
        notes.append("bound imports present (ignored when stale)")
    if image.directory(9)[0]:
        notes.append("TLS directory present")
    for dll, functions in image.imports():
        key = dll.upper()
        if key not in ALLOWED_DLLS:
            findings.append("imports %s (not a DLL that every supported Windows has): %s" % (dll, " ".join(functions)))
            continue
        for function in functions:
            if function.startswith("#"):
                findings.append("imports %s from %s by ordinal only" % (function, dll))
            elif function not in allowed.get(key, {}):
                findings.append("imports %s from %s, which the allowed list does not name" % (function, dll))
    return findings, notes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("program")
    parser.add_argument("--allowed", default=os.path.join(HERE, "imports-allowed.txt"))
    parser.add_argument("--expect-refusal", action="store_true")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    allowed = read_allowed(args.allowed)
    try:
        with open(args.program, "rb") as f:
            image = Image(f.read())
        findings, notes = check(image, allowed)
        if args.list:
            for dll, functions in image.imports():
                print("%s (%d): %s" % (dll, len(functions), " ".join(sorted(functions))))
    except Malformed as e:
        findings, notes = ["not a readable PE32 program: %s" % e], []
    name = os.path.basename(args.program)
    for n in notes:
        print("%s: note: %s" % (name, n))
    for f in findings:
        print("%s: refused: %s" % (name, f))
    if args.expect_refusal:
        if findings:
            print("%s: refused as expected (%d findings)" % (name, len(findings)))
            return 0
        print("%s: FAIL: passed, but it was expected to be refused" % name)
        return 1
    if findings:
        print("%s: FAIL: %d findings" % (name, len(findings)))
        return 1
    print("%s: passes: starts on Windows 95 and NT 4.0 as far as its headers and imports show" % name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
