#!/usr/bin/env python3
"""End-to-end scenarios: the real program under Wine, on each Windows
version it chooses between, in throw-away prefixes whose drives are folders
made here. Each scenario plants files and autorun values, lets the driver
press SCAN and answer the questions, and then checks the results list and
that exactly the expected files and values disappeared while everything
else stayed byte for byte as it was.

    e2e.py [--versions win98,nt40,winxp,win7] [--only NAME]
"""
import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUNNER = os.path.join(ROOT, "tests", "wine", "sandbox_run.sh")
# The Windows build under test: build/win32 (i686, the product) or
# build/win64 (x86_64, where this machine's Wine cannot run 32-bit programs).
WINDOWS_BUILD = os.environ.get("PELLMARK_WINDOWS_BUILD", os.path.join(ROOT, "build", "win32"))
PROGRAM = os.path.join(WINDOWS_BUILD, "pellmark.exe")
DRIVER = os.path.join(WINDOWS_BUILD, "pellmark_driver.exe")
MAKE_SAMPLE = os.path.join(os.environ.get("PELLMARK_HOST_BUILD", os.path.join(ROOT, "build", "host")),
                           "make_sample")
RUN = r"Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\rhcjg7j0e38v"
NAME = "W32/Quelby.Qgs.Dl.Trojan"
# Files that Wine itself writes during a session, not the program.
WINE_OWN = re.compile(r"^c/(windows/(temp|inf|logs)/|users/[^/]+/(temp|AppData|Temp)/|windows/win\.ini$|"
                      r"windows/system\.ini$|pellmark/)", re.I)


def manifest(prefix):
    """Every file of the sandbox's drives: relative path -> (size, sha256)."""
    drives = {"c": os.path.join(prefix, "drive_c")}
    extra = os.path.join(prefix, "..", "drives")
    if os.path.isdir(extra):
        for letter in os.listdir(extra):
            drives[letter] = os.path.join(extra, letter)
    files = {}
    for letter, top in drives.items():
        for folder, _, names in os.walk(top):
            for n in names:
                p = os.path.join(folder, n)
                if os.path.islink(p) or not os.path.isfile(p):
                    continue
                rel = letter + "/" + os.path.relpath(p, top)
                data = open(p, "rb").read()
                files[rel] = [len(data), hashlib.sha256(data).hexdigest()]
    return files


def reg_values(prefix, key):
    """The values of one HKLM key as Wine saved them: name -> data text."""
    text = open(os.path.join(prefix, "system.reg"), encoding="latin-1").read()
    header = "[" + key.replace("\\", "\\\\") + "]"
    values = {}
    inside = False
    for line in text.splitlines():
        if line.startswith("["):
            inside = line.split("]")[0].lower() + "]" == header.lower()
            continue
        if inside:
            m = re.match(r'^"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"', line)
            if m:
                values[m.group(1).replace("\\\\", "\\")] = m.group(2).replace("\\\\", "\\").replace('\\"', '"')
    return values


def drop_autoruns(prefix):
    """Removes what is left of the Run values, so a restart starts nothing."""
    path = os.path.join(prefix, "system.reg")
    lines = open(path, encoding="latin-1").read().splitlines(True)
    out, inside = [], False
    for line in lines:
        if line.startswith("["):
            inside = line.lower().startswith("[software\\\\microsoft\\\\windows\\\\currentversion\\\\run")
        elif inside and line.startswith('"'):
            continue
        out.append(line)
    open(path, "w", encoding="latin-1").write("".join(out))


class Scenario:
    def __init__(self, name, files=(), values=(), hold=(), restart="no", drives="d:hd e:cdrom f:network",
                 stop_at=None, plain=(), run=()):
        self.name = name
        self.files = list(files)      # (drive/relative path, kind, attributes, removed?)
        self.values = list(values)    # (key, name, data, removed?)
        self.hold = list(hold)
        self.restart = restart
        self.drives = drives
        self.stop_at = stop_at
        self.plain = list(plain)      # (drive/relative path, text)
        self.run = list(run)          # programs running when SCAN is pressed


def scenarios():
    s32 = "c/windows/system32"
    yield Scenario("clean", plain=[("c/Documents/letter.txt", "Dear Sir"), ("d/Data/table.csv", "1,2,3"),
                                   ("e/cd.exe", "x" * 23552), ("f/share.exe", "x" * 23552)])
    yield Scenario("samples", files=[
        ("c/root.exe", "sample", "RHS", True),
        ("c/Program Files/Tool/tool.exe", "sample", "R", True),
        ("c/a/b/c/d/e/deep.dll", "sample", "H", True),
        (s32 + "/qlsvc.exe", "sample", "S", True),
        ("d/Backup/copy.scr", "sample", "", True),
        ("e/on-cdrom.exe", "sample", "", False),
        ("f/on-share.exe", "sample", "", False),
        ("c/Program Files/Tool/longer.exe", "longer", "", False),
        ("c/near/pattern.exe", "pattern", "", False),
        ("c/near/signature.exe", "signature", "", False),
        ("c/near/sections.exe", "sections", "", False),
        ("c/near/offset.exe", "offset", "", False),
    ])
    yield Scenario("autoruns", files=[(s32 + "/qlsvc.exe", "sample", "", True),
                                      ("c/Program Files/Tool/tool.exe", "sample", "", True)],
                   values=[
                       (RUN, "Plain", r"C:\windows\system32\qlsvc.exe", True),
                       (RUN, "Args", r"C:\WINDOWS\SYSTEM32\QLSVC.EXE /start", True),
                       (RUN, "Quoted", r'"C:\Program Files\Tool\tool.exe" -q', True),
                       (RUN, "Expanded", r"%SystemRoot%\system32\qlsvc.exe", True),
                       (RUN, "Bare", "qlsvc.exe", True),
                       (RUN, "LookAlike", "notqlsvc.exe", False),
                       (RUN, "Keep", r"C:\windows\notepad.exe", False),
                       (UNINSTALL, "UninstallString", r"C:\Program Files\rhcjg7j0e38v\uninstall.exe", True),
                       (UNINSTALL, "DisplayName", "Something", False),
                       (RUN, "SMrhcjg7j0e38v", r"C:\windows\rhcjg7j0e38v.exe", True),
                   ])
    yield Scenario("locked", files=[("c/Data/held.exe", "sample", "", "restart"),
                                    ("c/Data/free.exe", "sample", "", True)],
                   hold=[r"C:\Data\held.exe"], restart="no")
    yield Scenario("memory", files=[("c/Data/evil.exe", "runnable", "", "memory"),
                                    ("c/Data/copy.exe", "sample", "", True)],
                   run=[r"C:\Data\evil.exe"])


def windows_path(rel):
    letter, rest = rel.split("/", 1)
    return letter.upper() + ":\\" + rest.replace("/", "\\")


def run(version, sc, work):
    setup = os.path.join(work, "setup.sh")
    check = os.path.join(work, "check.sh")
    plan = os.path.join(work, "plan.json")
    json.dump({"files": sc.files, "plain": sc.plain}, open(plan, "w"))
    open(setup, "w").write("#!/bin/sh\nexec %s %s --setup %s \"$1\"\n" % (sys.executable, __file__, plan))
    open(check, "w").write("#!/bin/sh\nexec %s %s --after %s \"$1\"\n" % (sys.executable, __file__, plan))
    os.chmod(setup, 0o755)
    os.chmod(check, 0o755)
    args = [RUNNER, DRIVER, "--restart", sc.restart]
    for key, name, data, _ in sc.values:
        args += ["--reg", "%s|%s|%s" % (key, name, data)]
    for h in sc.hold:
        args += ["--hold", h]
    for r in sc.run:
        args += ["--run", r]
    env = dict(os.environ, PELLMARK_WINE_VERSION=version, PELLMARK_WINE_DRIVES=sc.drives,
               PELLMARK_WINE_SETUP=setup, PELLMARK_WINE_CHECK=check, PELLMARK_WINE_XVFB="1",
               PELLMARK_WINE_BACKGROUND=PROGRAM, PELLMARK_E2E_WORK=work)
    env.pop("DISPLAY", None)
    p = subprocess.run(args, env=env, capture_output=True, text=True, errors="replace", timeout=600)
    return p.returncode, p.stdout, p.stderr


def setup_files(plan, prefix):
    p = json.load(open(plan))
    for rel, kind, attrs, _ in p["files"]:
        path = to_host(prefix, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run([MAKE_SAMPLE, kind, path], check=True)
        if "R" in attrs:
            os.chmod(path, 0o444)  # Wine shows a file without write permission as read-only
    for rel, text in p["plain"]:
        path = to_host(prefix, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "w").write(text)
    json.dump(manifest(prefix), open(os.path.join(os.environ["PELLMARK_E2E_WORK"], "before.json"), "w"))


def to_host(prefix, rel):
    letter, rest = rel.split("/", 1)
    if letter == "c":
        return os.path.join(prefix, "drive_c", rest)
    return os.path.join(prefix, "..", "drives", letter, rest)


def after(plan, prefix):
    work = os.environ["PELLMARK_E2E_WORK"]
    json.dump(manifest(prefix), open(os.path.join(work, "after.json"), "w"))
    result = {}
    for key in (RUN, UNINSTALL):
        result[key] = reg_values(prefix, key)
    drop_autoruns(prefix)
    env = dict(os.environ, WINEPREFIX=prefix)
    subprocess.run(["wineboot", "-r"], env=env, capture_output=True, timeout=120)
    subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=120)
    result["restarted"] = manifest(prefix)
    json.dump(result, open(os.path.join(work, "registry.json"), "w"))
    return 0


def attributes_plan(files):
    return {rel: attrs for rel, _, attrs, _ in files}


def verify(version, sc, work, rc, out):
    problems = []
    lines = [l[len("LINE: "):] for l in out.splitlines() if l.startswith("LINE: ")]
    status = [l[len("STATUS: "):] for l in out.splitlines() if l.startswith("STATUS: ")]
    questions = [l for l in out.splitlines() if l.startswith("QUESTION: ")]
    if rc != 0:
        problems.append("runner exit code %d" % rc)
    if status != ["Scanning completed"]:
        problems.append("status %r" % status)
    before = json.load(open(os.path.join(work, "before.json")))
    after_files = json.load(open(os.path.join(work, "after.json")))
    reg = json.load(open(os.path.join(work, "registry.json")))
    restarted = reg["restarted"]

    from_memory = {rel for rel, _, _, gone in sc.files if gone == "memory"}
    removed = {rel for rel, _, _, gone in sc.files if gone is True}
    if version == "win98":
        # Wine's tool-help snapshot gives szExeFile without its folder (Windows
        # 9x gives the full path), so the memory pass cannot read the image;
        # the drive walk then ends the process by name and removes the file.
        removed |= from_memory
        from_memory = set()
    at_restart = {rel for rel, _, _, gone in sc.files if gone == "restart"}
    # File lines, in walk order; then the statistics.
    want_files = {windows_path(rel) + "     " + NAME + " removed" for rel in removed}
    want_files |= {windows_path(rel) + "     " + NAME + " Unable to remove" for rel in at_restart}
    want_files |= {windows_path(rel) + "     W32/Quelby.Trojan  removed" for rel in from_memory}
    want_files |= {"System Memory    W32/Quelby.Trojan  removed"} if from_memory else set()
    infected = len(removed) + len(at_restart) + len(from_memory)
    got_files = {l for l in lines if NAME in l or "W32/Quelby.Trojan  removed" in l}
    if got_files != want_files:
        problems.append("file lines: missing %s, unexpected %s" % (sorted(want_files - got_files),
                                                                   sorted(got_files - want_files)))
    stats = lines[-5:]
    scanned = len([r for r in before if r[0] in "cd" and r not in from_memory])
    if version == "win98" and at_restart and stats[2:3] == ["Total files scanned\t\t:  %d" % (scanned + 1)]:
        scanned += 1  # the new wininit.ini, when the walk reaches the Windows folder after it was written
    want_stats = ["Scanning statistics", "-" * 30, "Total files scanned\t\t:  %d" % scanned,
                  "Total files infected\t\t:  %d" % infected, "Total files removed\t\t:  %d" % (len(removed) + len(from_memory))]
    if stats != want_stats:
        problems.append("statistics %r, wanted %r" % (stats, want_stats))
    if infected and (len(lines) < 6 or lines[-6] != " "):
        problems.append("no blank line before the statistics")
    registry_lines = [l for l in lines if l.startswith("System Registry")]
    want_registry = [v for v in sc.values if v[3] and v[0] == RUN and v[1] != "SMrhcjg7j0e38v"]
    if len(registry_lines) < len(want_registry):
        problems.append("registry lines %d, wanted at least %d" % (len(registry_lines), len(want_registry)))
    other = [l for l in lines if l not in got_files and not l.startswith("System Registry") and l not in want_stats
             and l != " "]
    if other:
        problems.append("unexpected lines %r" % other)
    notices = [l for l in out.splitlines() if l.startswith("NOTICE: ")]
    if at_restart and version != "winxp" and not any("Could not kill process" in n for n in notices):
        problems.append("no \"Could not kill process\" notice")
    if version == "winxp" and notices:
        problems.append("notices on NT 5.x: %r" % notices)
    if at_restart and not any("restarted" in q for q in questions):
        problems.append("no restart question")
    if not at_restart and questions:
        problems.append("questions %r" % questions)

    # Nothing else changed: every file is as it was, but what was to go.
    for rel, meta in before.items():
        if WINE_OWN.match(rel):
            continue
        if rel in removed or rel in from_memory:
            if rel in after_files:
                problems.append("not removed: " + rel)
        elif rel in at_restart:
            if rel not in after_files:
                problems.append("removed before the restart: " + rel)
            elif rel in restarted:
                problems.append("still there after the restart: " + rel)
        elif after_files.get(rel) != meta:
            problems.append("changed or removed: %s" % rel)
    for rel in after_files:
        if rel not in before and not WINE_OWN.match(rel) and not rel.lower().endswith("wininit.ini"):
            problems.append("new file: " + rel)
    # Registry values: exactly the expected ones gone.
    for key, name, data, gone in sc.values:
        present = name.lower() in {n.lower() for n in reg[key]}
        if gone and present:
            problems.append("value not removed: %s\\%s" % (key, name))
        if not gone and not present:
            problems.append("value removed: %s\\%s" % (key, name))
    return problems


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--setup":
        return setup_files(sys.argv[2], sys.argv[3])
    if len(sys.argv) == 4 and sys.argv[1] == "--after":
        return after(sys.argv[2], sys.argv[3])
    ap = argparse.ArgumentParser()
    ap.add_argument("--versions", default="win98,nt40,winxp,win7")
    ap.add_argument("--only")
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    probe = subprocess.run(["wine", "--version"], capture_output=True, text=True)
    if probe.returncode != 0:
        print("skipped: this machine cannot run Wine's 32-bit programs (%s)" % (probe.stdout + probe.stderr).strip())
        return 77
    failed = 0
    total = 0
    for version in args.versions.split(","):
        for sc in scenarios():
            if args.only and sc.name != args.only:
                continue
            total += 1
            work = tempfile.mkdtemp(prefix="pellmark-e2e-")
            rc, out, err = run(version, sc, work)
            try:
                problems = verify(version, sc, work, rc, out)
            except Exception as e:  # a missing record file: the run itself failed
                problems = ["could not check: %s" % e]
            if problems:
                failed += 1
                print("FAIL %s %s" % (version, sc.name))
                for p in problems:
                    print("    " + p)
                print("    driver output:\n" + "\n".join("      " + l for l in out.splitlines()))
                print("    runner stderr (tail):\n" + "\n".join("      " + l for l in err.splitlines()[-10:]))
            else:
                print("ok   %s %s" % (version, sc.name))
            sys.stdout.flush()
            if not args.keep:
                subprocess.run(["rm", "-rf", work])
    print("%d of %d scenarios passed" % (total - failed, total))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
