#!/usr/bin/env python3
"""End-to-end runs of the console program, pellscan.exe, under Wine: each
scenario plants files and registry values in a throw-away sandbox, lets the
driver start pellscan with a command line (holding a file, running a
sample, sending Ctrl+C when told), and then checks the exit code, the log
and the console output line by line, and every byte of the sandbox's drives
and every key and value of Wine's registry files before and after.

    pellscan_e2e.py [--versions win98,nt40,winxp,win7] [--only NAME] [--keep]
"""
import argparse
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e import MAKE_SAMPLE, RUN, RUNNER, UNINSTALL, WINDOWS_BUILD, manifest, to_host, windows_path  # noqa: E402

PELLSCAN = os.path.join(WINDOWS_BUILD, "pellscan.exe")
DRIVER = os.path.join(WINDOWS_BUILD, "pellmark_driver.exe")
NAME = "W32/Quelby.Qgs.Dl.Trojan"
DEFAULT_LOG = "c/windows/pellscan.log"
# The programs stand on P:, a network drive the scan passes over.
DRIVES = "d:hd e:cdrom f:network p:network"
WINDOWS = {
    "win98": "4.10.2222 A (9x family)",
    "nt40": "4.0.1381 Service Pack 6a (NT family)",
    "winxp": "5.1.2600 Service Pack 3 (NT family)",
    "win7": "6.1.7601 Service Pack 1 (NT family)",
}
# What Wine writes during any session: its own files, and registry keys it
# keeps up to date itself.
WINE_FILES = re.compile(r"^c/(windows/(temp|inf|logs)/|users/[^/]+/(temp|AppData|Temp)/|windows/win\.ini$|"
                        r"windows/system\.ini$)|^p/", re.I)
WINE_KEYS = re.compile(r"^(software\\wine|system\\currentcontrolset\\control\\(session manager\\environment|"
                       r"timezoneinformation|computername)|software\\microsoft\\windows nt\\currentversion\\"
                       r"(fonts|time zones)|software\\microsoft\\windows\\currentversion\\fonts|"
                       r"hardware|dyndata|volatile environment|system\\currentcontrolset\\control\\class|"
                       r"software\\microsoft\\windows nt\\currentversion\\networkcards)(\\|$)", re.I)
# The console the driver opens for the program keeps its settings here.
DRIVER_KEYS = re.compile(r"^console(\\|$)", re.I)
PENDING = r"system\currentcontrolset\control\session manager"


class Scenario:
    def __init__(self, name, args, files=(), plain=(), values=(), hold=(), run=(), ctrl_c_at=None,
                 versions=None, code=0, log=DEFAULT_LOG):
        self.name = name
        self.args = args
        self.files = list(files)      # (drive/relative path, kind, fate): removed, held, running, kept
        self.plain = list(plain)      # (drive/relative path, text)
        self.values = list(values)    # (key, name, data, removed?)
        self.hold = list(hold)
        self.run = list(run)
        self.ctrl_c_at = ctrl_c_at
        self.versions = versions
        self.code = code
        self.log = log


PLAIN = [("c/Documents/letter.txt", "Dear Sir"), ("d/Data/table.csv", "1,2,3"),
         ("e/cd.exe", "x" * 23552), ("f/share.exe", "x" * 23552)]
INFECTED_FILES = [
    ("c/Data/evil.exe", "runnable", "running"),
    ("c/held.exe", "sample", "held"),
    # A name outside ASCII: the log has it in the ANSI code page, the
    # console in the OEM one.
    ("d/Backup/Sauvegard\u00e9/copy.scr", "sample", "removed"),
    ("e/on-cdrom.exe", "sample", "kept"),
    ("c/near/longer.exe", "longer", "kept"),
]
INFECTED_VALUES = [
    (RUN, "Evil", r"C:\Data\evil.exe", True),
    (RUN, "Held", r'"C:\held.exe" -q', True),
    (RUN, "Keep", r"C:\windows\notepad.exe", False),
    (RUN, "SMrhcjg7j0e38v", r"C:\windows\rhcjg7j0e38v.exe", True),
    (UNINSTALL, "UninstallString", r"C:\Program Files\rhcjg7j0e38v\uninstall.exe", True),
    (UNINSTALL, "DisplayName", "Something", False),
]


def scenarios():
    infected = dict(files=INFECTED_FILES, plain=PLAIN, values=INFECTED_VALUES, hold=[r"C:\held.exe"],
                    run=[r"C:\Data\evil.exe"])
    yield Scenario("clean", "", plain=PLAIN, code=0)
    yield Scenario("infected", "", code=2, **infected)
    yield Scenario("report", "/REPORT", code=4, **infected)
    # Many files after the first find, so that the walk is still on when
    # Ctrl+C arrives.
    many = [("d/many/f%04d.txt" % i, "x") for i in range(3000)]
    yield Scenario("ctrl-c", "-report", files=[("c/Data/first.exe", "sample", "kept")], plain=many,
                   ctrl_c_at="first.exe", code=5, versions=["winxp"])
    yield Scenario("bad-switch", "/report /bogus", plain=PLAIN, code=6, versions=["winxp"], log=None)
    # The log is open in another program that lets no one else write.
    yield Scenario("unwritable-log", r"/log:C:\Logs\scan.log", plain=PLAIN + [("c/Logs/scan.log", "old\r\n")],
                   hold=[r"C:\Logs\scan.log"], code=6, versions=["winxp"], log=None)


# --- Wine's registry files ---------------------------------------------------

def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def read_registry(path):
    """A registry file as Wine saves it: lower-cased key -> lower-cased
    value name -> the value's text after "=". Key time stamps and the
    "#time" lines are left out; a key named twice is one key."""
    keys = {}
    current = None
    pending = ""
    for line in open(path, encoding="latin-1").read().splitlines():
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and current is not None and not line.startswith("["):
            pending = line[:-1]
            continue
        if line.startswith("["):
            name = line[1:line.rindex("]")].replace("\\\\", "\\").lower()
            current = keys.setdefault(name, {})
        elif current is not None and (line.startswith('"') or line.startswith("@")):
            if line.startswith("@"):
                name, rest = "@", line[2:]
            else:
                m = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
                if not m:
                    continue
                name, rest = m.group(1).replace('\\"', '"').replace("\\\\", "\\").lower(), m.group(2)
            current[name] = rest
    # A key with subkeys and no values of its own is not written out.
    for key in list(keys):
        while "\\" in key:
            key = key.rsplit("\\", 1)[0]
            keys.setdefault(key, {})
    return keys


def registry(prefix):
    return {"system": read_registry(os.path.join(prefix, "system.reg")),
            "user": read_registry(os.path.join(prefix, "user.reg"))}


def registry_changes(before, after):
    """Every difference, as (hive, key, value name or None, what)."""
    changes = set()
    for hive in ("system", "user"):
        b, a = before[hive], after[hive]
        for key in set(b) | set(a):
            if WINE_KEYS.match(key) or (hive == "user" and DRIVER_KEYS.match(key)):
                continue
            if key not in a:
                changes.add((hive, key, None, "key removed"))
                continue
            if key not in b:
                changes.add((hive, key, None, "key added"))
                continue
            for name in set(b[key]) | set(a[key]):
                if name not in a[key]:
                    changes.add((hive, key, name, "removed"))
                elif name not in b[key]:
                    changes.add((hive, key, name, "added"))
                elif a[key][name] != b[key][name]:
                    changes.add((hive, key, name, "changed"))
    return changes


# --- setup and check, run by the sandbox runner with the prefix path ---------

def setup(plan_path, prefix):
    plan = json.load(open(plan_path))
    for rel, kind, _ in plan["files"]:
        path = to_host(prefix, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run([MAKE_SAMPLE, kind, path], check=True)
    for rel, text in plan["plain"]:
        path = to_host(prefix, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", newline="") as f:
            f.write(text)
    # Values in the registry file itself: a session started without --init
    # runs nothing from the Run keys (wineboot --init reads none of them).
    by_key = {}
    for key, name, data, _ in plan["values"]:
        by_key.setdefault(key, []).append((name, data))
    with open(os.path.join(prefix, "system.reg"), "a", encoding="latin-1") as reg:
        for key, values in by_key.items():
            reg.write("\n[%s]\n" % reg_escape(key))
            for name, data in values:
                reg.write('"%s"="%s"\n' % (reg_escape(name), reg_escape(data)))
    work = os.environ["PELLMARK_E2E_WORK"]
    json.dump({"files": manifest(prefix), "registry": registry(prefix)}, open(os.path.join(work, "before.json"), "w"))
    return 0


def check(plan_path, prefix):
    plan = json.load(open(plan_path))
    work = os.environ["PELLMARK_E2E_WORK"]
    record = {"files": manifest(prefix), "registry": registry(prefix), "outputs": {}}
    programs = os.path.join(prefix, "..", "drives", "p")
    for name in ("console.out", "console.err"):
        p = os.path.join(programs, name)
        record["outputs"][name] = open(p, "rb").read().decode("latin-1") if os.path.exists(p) else None
    if plan["log"] and os.path.exists(to_host(prefix, plan["log"])):
        with open(os.path.join(work, "log"), "wb") as f:
            f.write(open(to_host(prefix, plan["log"]), "rb").read())
    json.dump(record, open(os.path.join(work, "after.json"), "w"))
    return 0


# --- the run ----------------------------------------------------------------

def run(version, sc, work):
    plan = os.path.join(work, "plan.json")
    json.dump({"files": sc.files, "plain": sc.plain, "values": sc.values, "log": sc.log},
              open(plan, "w"))
    hooks = {}
    for hook in ("setup", "check"):
        hooks[hook] = os.path.join(work, hook + ".sh")
        open(hooks[hook], "w").write("#!/bin/sh\nexec %s %s --%s %s \"$1\"\n" % (sys.executable, __file__, hook, plan))
        os.chmod(hooks[hook], 0o755)
    args = [RUNNER, DRIVER, "--timeout", "300", "--console", sc.args]
    for h in sc.hold:
        args += ["--hold", h]
    for r in sc.run:
        args += ["--run", r]
    if sc.ctrl_c_at:
        args += ["--ctrl-c-at", sc.ctrl_c_at, "--watch-log", windows_path(sc.log)]
    env = dict(os.environ, PELLMARK_WINE_VERSION=version, PELLMARK_WINE_DRIVES=DRIVES,
               PELLMARK_WINE_PROGRAM_DRIVE="p", PELLMARK_WINE_FILES=PELLSCAN,
               PELLMARK_WINE_SETUP=hooks["setup"], PELLMARK_WINE_CHECK=hooks["check"], PELLMARK_E2E_WORK=work)
    env.pop("DISPLAY", None)
    p = subprocess.run(args, env=env, capture_output=True, text=True, errors="replace", timeout=600)
    return p.returncode, p.stdout, p.stderr


def computer_name(after):
    """The name Wine gives the computer: the one wineboot saved from the
    host's name, as the session left it."""
    key = r"system\currentcontrolset\control\computername\computername"
    saved = after["registry"]["system"].get(key, {}).get("computername", "")
    m = re.match(r'^"(.*)"$', saved)
    return m.group(1) if m else socket.gethostname().split(".")[0].upper()[:15]


def header(version, sc, computer):
    mode = "report only (nothing is changed)" if "report" in sc.args.lower() else "remove (no restart)"
    return ["=" * 78, "Pellscan: unattended removal of W32/Quelby.Trojan", None,
            "Computer:     " + computer, "Windows:      " + WINDOWS[version], "Program:      pellscan.exe 1.0",
            "Mode:         " + mode, "Command line: pellscan" + (" " + sc.args if sc.args else ""), "-" * 78]


def statistics(scanned, infected, removed):
    return ([" "] if infected else []) + [
        "Scanning statistics", "-" * 30, "Total files scanned\t\t:  %d" % scanned,
        "Total files infected\t\t:  %d" % infected, "Total files removed\t\t:  %d" % removed]


def run_value_names(sc, rel):
    """Whether a removed Run value starts the file."""
    path = windows_path(rel).lower()
    return any(key == RUN and gone and path in data.lower() for key, _, data, gone in sc.values)


def expected_log(version, sc, before, computer):
    """The log's lines, with None for the date line, when the run goes to
    its end."""
    report = "report" in sc.args.lower()
    word = "found" if report else "removed"
    registry_line = "System Registry     W32/Quelby.Trojan " + word
    fates = {rel: fate for rel, _, fate in sc.files}
    infected = [rel for rel, fate in fates.items() if fate in ("running", "held", "removed")]
    held = [rel for rel in infected if fates[rel] == "held"]
    scheduled = len(held) if not report else 0
    # Every file of C: and D: the walk reaches, the log among them (it is
    # opened before the scan).
    scanned = len([r for r in before if r[0] in "cd"]) + (1 if sc.log not in before else 0)
    if version == "win98" and scheduled:
        scanned += 1  # wininit.ini, written before the walk reaches the Windows folder
    body = []
    first = [True]

    def disposed(path):
        # A detect-only scan names the trojan's uninstall and startup
        # entries found with its first file; a removal deletes them quietly.
        if report and first[0] and any(key == UNINSTALL and gone for key, _, _, gone in sc.values):
            body.extend(["System Registry     W32/Quelby.Trojan uninstall entry found",
                         "System Registry     W32/Quelby.Trojan startup entry found"])
        first[0] = False

    walked = [rel for rel in infected]
    if version != "win98":
        # The NT pass reads the running image and ends its process. Wine's
        # tool-help snapshot (the 9x pass) names images without their
        # folder, so there the drive walk finds the running file instead,
        # ends its process by name and deletes it.
        for rel in [r for r in infected if fates[r] == "running"]:
            walked.remove(rel)
            if run_value_names(sc, rel):
                body.append(registry_line)
            body += ["System Memory    W32/Quelby.Trojan  " + word,
                     windows_path(rel) + "     W32/Quelby.Trojan  " + word]
            disposed(rel)
            if report:
                walked.insert(0, rel)  # walked again, and reported once
            else:
                scanned -= 1
    # The walk: a folder's files before its subfolders; C: before D:.
    walked.sort(key=lambda r: (r[0], r.count("/"), r.lower()))
    for rel in walked:
        if report and version != "win98" and fates[rel] == "running":
            continue
        if run_value_names(sc, rel):
            body.append(registry_line)
        if fates[rel] == "held" and not report:
            if version != "winxp":
                body.append(windows_path(rel) + "     Could not kill process")
            body.append(windows_path(rel) + "     " + NAME + " Unable to remove")
        else:
            body.append(windows_path(rel) + "     " + NAME + " " + word)
        disposed(rel)
    removed = 0 if report else len(infected) - len(held)
    body += statistics(scanned, len(infected), removed)
    if scheduled:
        body += ["Question answered No (unattended): The system has to be restarted to remove the virus completely "
                 "from your system. Restart now?",
                 "Restart: needed to finish the removal; not started without /RESTART"]
    code = 0 if not infected else 4 if report else 2 if scheduled else 1
    body.append("RESULT %d infected=%d removed=%d scheduled=%d left=0 scanned=%d"
                % (code, len(infected), removed, scheduled, scanned))
    return header(version, sc, computer) + body


def compare_lines(what, got, want):
    problems = []
    for i in range(max(len(got), len(want))):
        g = got[i] if i < len(got) else "(nothing)"
        w = want[i] if i < len(want) else "(nothing)"
        if w is not None and g != w:
            problems.append("%s line %d: %r, wanted %r" % (what, i + 1, g, w))
    return problems


def file_changes(before, after):
    changes = set()
    for rel in set(before) | set(after):
        if WINE_FILES.match(rel):
            continue
        if rel not in after:
            changes.add((rel, "removed"))
        elif rel not in before:
            changes.add((rel, "added"))
        elif before[rel] != after[rel]:
            changes.add((rel, "changed"))
    return changes


def verify(version, sc, work, rc, out, err):
    problems = []
    before = json.load(open(os.path.join(work, "before.json")))
    after = json.load(open(os.path.join(work, "after.json")))
    exits = [l[len("EXIT: "):] for l in out.splitlines() if l.startswith("EXIT: ")]
    if rc != 0:
        problems.append("runner exit code %d" % rc)
    if exits != [str(sc.code)]:
        problems.append("exit code %r, wanted %d" % (exits, sc.code))
    report = "report" in sc.args.lower()
    console = after["outputs"]["console.out"]
    errors = after["outputs"]["console.err"]
    want_files, want_registry = set(), set()
    if sc.log:
        want_files.add((sc.log, "added"))
        if sc.log not in after["files"]:
            return problems + ["no log at " + sc.log], before, after
        log = open(os.path.join(work, "log"), "rb").read()
        if b"\n" in log.replace(b"\r\n", b"") or not log.endswith(b"\r\n"):
            problems.append("log lines do not all end with CR LF")
        text = log.decode("cp1252")
        lines = text.split("\r\n")[:-1]
        if sc.ctrl_c_at:
            want = expected_stop(version, sc, before, after, lines)
            problems += want[1]
            want = want[0]
        else:
            want = expected_log(version, sc, before["files"], computer_name(after))
        problems += compare_lines("log", lines, want)
        if not lines or not re.match(r"^Date:         \d{4}-\d\d-\d\d \d\d:\d\d:\d\d$", (lines + [""] * 3)[2]):
            problems.append("no date line in the log's header")
        # The console shows the same lines, in the OEM code page.
        if console is None or console.encode("latin-1") != text.encode("cp437", "replace"):
            problems.append("console output is not the log's lines: %r" % (console or "")[:400])
        if errors:
            problems.append("error output %r" % errors)
        fates = {rel: fate for rel, _, fate in sc.files}
        for rel, fate in fates.items():
            if not report and fate in ("running", "removed"):
                want_files.add((rel, "removed"))
        for key, name, _, gone in sc.values:
            if gone and not report:
                want_registry.add(("system", key.lower(), name.lower(), "removed"))
        if "held" in fates.values() and not report:
            if version == "win98":
                want_files.add(("c/windows/wininit.ini", "added"))
            else:
                want_registry.add(("system", PENDING, "pendingfilerenameoperations", "added"))
        for path in sc.run:
            state = "RUNNING" if report else "ENDED"
            if "%s: %s" % (state, path) not in out.splitlines():
                problems.append("%s was to be %s" % (path, state.lower()))
    else:
        if console:
            problems.append("console output %r" % console)
        if not errors or not errors.startswith("pellscan: "):
            problems.append("no error message: %r" % errors)
    got_files = file_changes(before["files"], after["files"])
    if got_files != want_files:
        problems.append("files: changed unexpectedly %s; not changed %s"
                        % (sorted(got_files - want_files), sorted(want_files - got_files)))
    got_registry = registry_changes(before["registry"], after["registry"])
    if got_registry != want_registry:
        problems.append("registry: changed unexpectedly %s; not changed %s"
                        % (sorted(got_registry - want_registry), sorted(want_registry - got_registry)))
    return problems, before, after


def expected_stop(version, sc, before, after, lines):
    """The log of a run stopped by Ctrl+C once it had found the first file:
    the number scanned is read from the log, and must be fewer than all."""
    problems = []
    total = len([r for r in before["files"] if r[0] in "cd"]) + 1
    m = [re.match(r"^RESULT 5 infected=1 removed=0 scheduled=0 left=0 scanned=(\d+)$", l) for l in lines[-1:]]
    scanned = int(m[0].group(1)) if m and m[0] else -1
    if not 0 < scanned < total:
        problems.append("scanned %d of %d files: the walk was not stopped part way" % (scanned, total))
    path = windows_path([rel for rel, _, _ in sc.files][0])
    want = header(version, sc, computer_name(after)) + [path + "     " + NAME + " found"]
    want += statistics(scanned, 1, 0) + [
        "Stopped before the end (Ctrl+C): files not reached were not scanned",
        "RESULT 5 infected=1 removed=0 scheduled=0 left=0 scanned=%d" % scanned]
    return want, problems


def show(work):
    after = json.load(open(os.path.join(work, "after.json")))
    print(after["outputs"]["console.out"])
    print(after["outputs"]["console.err"])


def main():
    if len(sys.argv) == 4 and sys.argv[1] in ("--setup", "--check"):
        return (setup if sys.argv[1] == "--setup" else check)(sys.argv[2], sys.argv[3])
    ap = argparse.ArgumentParser()
    ap.add_argument("--versions", default="win98,nt40,winxp,win7")
    ap.add_argument("--only")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--show", action="store_true")
    args = ap.parse_args()
    probe = subprocess.run(["wine", "--version"], capture_output=True, text=True)
    if probe.returncode != 0:
        print("skipped: this machine cannot run Wine's 32-bit programs (%s)" % (probe.stdout + probe.stderr).strip())
        return 77
    failed = total = 0
    started = time.time()
    for version in args.versions.split(","):
        for sc in scenarios():
            if (args.only and sc.name != args.only) or (sc.versions and version not in sc.versions):
                continue
            total += 1
            work = tempfile.mkdtemp(prefix="pellscan-e2e-")
            began = time.time()
            rc, out, err = run(version, sc, work)
            try:
                problems, _, _ = verify(version, sc, work, rc, out, err)
            except Exception as e:  # a missing record file: the run itself failed
                problems = ["could not check: %r" % e]
            if args.show:
                print(out)
                show(work)
            if problems:
                failed += 1
                print("FAIL %s %s (%.0f s)" % (version, sc.name, time.time() - began))
                for p in problems:
                    print("    " + p)
                print("    driver output:\n" + "\n".join("      " + l for l in out.splitlines()))
                print("    runner stderr (tail):\n" + "\n".join("      " + l for l in err.splitlines()[-10:]))
            else:
                print("ok   %s %s (%.0f s)" % (version, sc.name, time.time() - began))
            sys.stdout.flush()
            if not args.keep:
                subprocess.run(["rm", "-rf", work])
            else:
                print("    kept " + work)
    print("%d of %d scenarios passed in %.0f s" % (total - failed, total, time.time() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
