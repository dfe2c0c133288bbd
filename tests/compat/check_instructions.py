#!/usr/bin/env python3
"""Checks that a 32-bit Windows program uses only instructions of the Pentium.

    check_instructions.py --map FILE [--expect-refusal] [--objdump TOOL] program.exe

Disassembles the program's code and refuses it (exit 1) when any
instruction is one that an original Pentium (i586) lacks, and would stop the
program with an illegal-instruction fault on a Pentium or Pentium MMX, an
AMD K5/K6, a Cyrix 6x86/MII, an IDT WinChip or a Vortex86:
  - cmov*, fcmov*, fcomi/fcomip/fucomi/fucomip (Pentium Pro);
  - the 0F 18-0F 1F range: multi-byte nop, prefetch*, endbr32 and the other
    hint instructions; the 3DNow! prefetches and instructions;
  - sysenter/sysexit/syscall/sysret, rdpmc;
  - MMX, SSE and later: any mm/xmm/ymm/zmm register, ldmxcsr/stmxcsr,
    fxsave/fxrstor and the rest of 0F AE, the fences, fisttp, the 0F 38 and
    0F 3A maps, VEX/EVEX/XOP encodings (AVX, BMI);
  - rdrand/rdseed, tzcnt/lzcnt/popcnt, movbe, crc32;
  - cpuid (present on every Pentium, but switched off on early Cyrix
    parts, where it faults).
The link map of the program (ld -Map) says which object each stretch of
.text came from, so every hit names its object. It also says which parts
of .text are data the linker keeps there (the constructor and destructor
lists, the exception tables): those are not disassembled. Each stretch of
code is disassembled from its own start, so that data or padding before it
cannot shift the decoding.

--expect-refusal inverts the exit code (for the probe that must fail).
"""
import argparse
import bisect
import collections
import os
import re
import subprocess
import sys

CODE_SECTIONS = re.compile(r"^\.(text|init|fini|glue_7t?)(\$|\.|$)|^\.gnu\.linkonce\.t\.")
PREFIXES = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3}
REGISTERS = re.compile(r"%(x|y|z)?mm\d|%k[0-7]\b")


def kind_of(raw, text):
    """Why the instruction with these bytes (and objdump's text) is not a
    Pentium's, or None."""
    mnemonic = text.split()[0] if text.split() else ""
    if REGISTERS.search(text):
        return "MMX/SSE register"
    i, rep = 0, False
    while i < len(raw) and raw[i] in PREFIXES:
        rep = rep or raw[i] == 0xF3
        i += 1
    op = raw[i:]
    if not op:
        return None
    b0 = op[0]
    modrm = op[1] if len(op) > 1 else None
    if b0 in (0xC4, 0xC5, 0x62, 0x8F) and modrm is not None and modrm >= 0xC0 \
            and mnemonic not in ("les", "lds", "bound", "pop"):
        return "VEX/EVEX/XOP-encoded (%s)" % mnemonic
    if b0 in (0xDA, 0xDB) and modrm is not None and modrm >= 0xC0 and modrm <= 0xDF:
        return "fcmov"
    if b0 in (0xDB, 0xDF) and modrm is not None and 0xE8 <= modrm <= 0xF7:
        return "fcomi/fucomi"
    if mnemonic.startswith("fisttp"):
        return "fisttp"
    if b0 != 0x0F or len(op) < 2:
        return None
    b1 = op[1]
    m2 = op[2] if len(op) > 2 else None
    if 0x40 <= b1 <= 0x4F:
        return "cmov"
    if 0x18 <= b1 <= 0x1F:
        return "0F 18-1F (%s)" % mnemonic
    if b1 in (0x0D, 0x0E, 0x0F):
        return "3DNow! (%s)" % mnemonic
    if b1 in (0x05, 0x07, 0x34, 0x35):
        return mnemonic or "sysenter/syscall"
    if b1 == 0x33:
        return "rdpmc"
    if b1 == 0xA2:
        return "cpuid"
    if b1 == 0xAE:
        return "0F AE (%s)" % mnemonic
    if b1 in (0x38, 0x3A):
        return "0F %02X map (%s)" % (b1, mnemonic)
    if rep and b1 in (0xB8, 0xBC, 0xBD):
        return {0xB8: "popcnt", 0xBC: "tzcnt", 0xBD: "lzcnt"}[b1]
    if b1 == 0xB8:
        return "jmpe"
    if b1 == 0xC7 and m2 is not None and m2 >= 0xC0 and (m2 >> 3) & 7 in (6, 7):
        return "rdrand/rdseed"
    if b1 == 0x01 and m2 is not None and m2 >= 0xC0 and (m2 >> 3) & 7 not in (4, 6):
        return "0F 01 (%s)" % mnemonic
    if 0x10 <= b1 <= 0x17 or 0x28 <= b1 <= 0x2F or 0x50 <= b1 <= 0x7F \
            or 0xC2 <= b1 <= 0xC6 or 0xD0 <= b1 <= 0xFE:
        return "MMX/SSE (%s)" % mnemonic
    return None


def read_map(path):
    """The input sections of the .text output section: (start, end, name,
    object), in address order."""
    sections = []
    in_text = False
    pending = None
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if not in_text:
            if re.match(r"^\.text\s", line):
                in_text = True
            continue
        if line and not line[0].isspace():
            break  # the next output section
        words = line.split()
        # An input section's line starts with one space and its name; a
        # long name is alone on its line, the rest on the next.
        is_input = line.startswith(" ") and not line.startswith("  ") and bool(words) \
            and not words[0].startswith("*(")
        if pending is not None:
            if len(words) >= 2 and words[0].startswith("0x"):
                words, is_input = [pending] + words, True
            pending = None
        if is_input and len(words) == 1:
            pending = words[0]
            continue
        if is_input and len(words) >= 3 and words[1].startswith("0x") and words[2].startswith("0x"):
            name, start, size = words[0], int(words[1], 16), int(words[2], 16)
            obj = " ".join(words[3:])
            if name == "*fill*":
                continue
            if size:
                sections.append((start, start + size, name, obj))
        elif len(words) >= 3 and words[0].startswith("0x") and words[1].startswith("0x") \
                and words[2] in ("BYTE", "SHORT", "LONG", "QUAD", "SQUAD"):
            start, size = int(words[0], 16), int(words[1], 16)
            sections.append((start, start + size, words[2], "(linker script)"))
    if not sections:
        raise SystemExit("%s: no .text section in the link map" % path)
    sections.sort()
    return sections


def code_runs(sections):
    """Contiguous stretches of code, each to be disassembled on its own."""
    runs = []
    for start, end, name, _ in sections:
        if not CODE_SECTIONS.match(name):
            continue
        if runs and runs[-1][1] == start:
            runs[-1][1] = end
        else:
            runs.append([start, end])
    return runs


LINE = re.compile(r"^\s*([0-9a-f]+):\s+((?:[0-9a-f]{2} )+)\s*(.*)$")


def disassemble(objdump, program, start=None, stop=None):
    command = [objdump, "-d", "-w", "--insn-width=16", program]
    if start is not None:
        command[2:2] = ["--start-address=%#x" % start, "--stop-address=%#x" % stop]
    out = subprocess.run(command, check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    for line in out.splitlines():
        m = LINE.match(line)
        if m:
            yield int(m.group(1), 16), bytes.fromhex(m.group(2).replace(" ", "")), m.group(3).strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("program")
    parser.add_argument("--map", required=True, help="the program's link map (ld -Map)")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--expect-refusal", action="store_true")
    args = parser.parse_args()

    sections = read_map(args.map)
    code = [s for s in sections if CODE_SECTIONS.match(s[2])]
    starts = [s[0] for s in code]
    runs = code_runs(sections)
    data = sum(e - s for s, e, n, _ in sections if not CODE_SECTIONS.match(n))

    hits = []
    instructions = 0
    for start, stop in runs:
        for address, raw, text in disassemble(args.objdump, args.program, start, stop):
            instructions += 1
            kind = kind_of(raw, text)
            if kind:
                i = bisect.bisect_right(starts, address) - 1
                obj = code[i][3] if i >= 0 and address < code[i][1] else "(unknown)"
                hits.append((address, text, kind, obj))

    name = os.path.basename(args.program)
    if instructions == 0:
        print("%s: nothing disassembled (is the map the program's?)" % name)
        return 1
    for address, text, kind, obj in hits:
        print("%s: %#x %-40s %s  [%s]" % (name, address, text, kind, os.path.normpath(obj)))
    if hits:
        print("%s: %d instructions a Pentium lacks, by kind:" % (name, len(hits)))
        for kind, n in collections.Counter(re.sub(r" \(.*", "", h[2]) for h in hits).most_common():
            print("  %6d  %s" % (n, kind))
        print("%s: by object:" % name)
        for obj, n in collections.Counter(os.path.normpath(h[3]) for h in hits).most_common():
            print("  %6d  %s" % (n, obj))
    else:
        print("%s: %d instructions in %d stretches of code, all of the Pentium's (%d bytes of data in .text skipped)"
              % (name, instructions, len(runs), data))
    refused = bool(hits)
    if args.expect_refusal:
        print("%s: %s, as expected" % (name, "refused" if refused else "NOT refused"))
        return 0 if refused else 1
    return 1 if refused else 0


if __name__ == "__main__":
    sys.exit(main())
