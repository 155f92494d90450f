#!/usr/bin/python3
"""Runs the whole-run cases of tests/cases.toml on one lane: every run of the
tool must print exactly its lines and nothing on standard error, and exit
with status 0. Each step is a subtest named lane/case/step.

    run_cases.py sim --tool <Linux tool>                  the simulated machine
    run_cases.py win32|win64|win64-x64 --build <dir>      under Wine, the exes and
                                                          helpers a windows build made
    run_cases.py windows --tool <exe>                     no LED device, on Windows
    run_cases.py windows-swdevice --helper <led_swdevice.exe> --tool <exe> --tool <exe>
                                                          a software LED device, on Windows
    run_cases.py windows-swdevice --transcripts           that lane's checking, on the
                                                          table's recorded runs
    --case <name> runs that case alone; --report <folder> keeps what each
    windows-swdevice run printed, and a summary of them (summary.md).
A step may run the contract checker, Tovrin_LED_Check.exe, from the exe's
folder instead of the tool: not on sim, where it is not built.

LEDTEST_WRAPPER (a command, such as valgrind or wine) runs each windows run
of the tool, and each windows-swdevice run of the helper, through it; on sim
it runs each distinct path: a step whose platform calls (LEDSIM_TRACE) and
output, numbers aside, no earlier step had runs again through it, with the
same results expected. KEEP keeps the lane's temporary folder. Each run has
RUN_LIMIT seconds; one under led_swdevice.exe, its waits too (SWDEVICE_LIMIT)."""
import argparse
import contextlib
import os
import platform
import re
import shlex
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import tomllib
import unittest

import limited_run

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "cases.toml"), "rb") as table_file:
    TABLE = tomllib.load(table_file)
with open(os.path.join(HERE, "usage.txt")) as usage_file:
    USAGE = usage_file.read().splitlines()
WRAPPER = shlex.split(os.environ.get("LEDTEST_WRAPPER", ""))
# Each Wine lane: the prefix's WINEARCH, the CPU of its driver and installer
# (the prefix's own), and the CPU of the tool and of ledcheck, which sees the
# devices as the tool does.
WINE_LANES = {"win32": ("win32", "x86", "x86"), "win64": ("win64", "x64", "x86"),
              "win64-x64": ("win64", "x64", "x64")}
ARGS = None
LANE_FOLDER = None
RUN_LIMIT = limited_run.RUN_LIMIT


def expand(lines, values):
    """The case table's lines, blocks expanded and {names} filled in."""
    out = []
    for line in lines:
        if line == "@usage":
            out += USAGE
        elif line.startswith("@"):
            out += expand(TABLE["lines"][line[1:]], values)
        else:
            for name, value in values.items():
                line = line.replace("{%s}" % name, value)
            out.append(line)
    return out


def rendered(lines, values, line_end):
    return "".join(line + line_end for line in expand(lines, values)).encode("latin-1")


def devices(case):
    """The case's devices: path, levels, and each kind of lane's settings."""
    if "scenario" in case:
        with open(os.path.join(HERE, "scenarios", case["scenario"]), encoding="utf-8") as f:
            words = [line.split() for line in f]
        return [{"path": w[1]} for w in words if w and w[0] == "interface"]
    found = []
    for n, device in enumerate(TABLE["machines"][case["machine"]] if "machine" in case else []):
        faults = case.get("faults", {}) if n == 0 else {}
        found.append({"index": n, "path": TABLE["device_path"] % n, "levels": device["levels"],
                      "wine": faults.get("wine", ""), "sim": faults.get("sim", "")})
    return found


class Lane(unittest.TestCase):
    """One lane's cases, in the table's order, each a test of its own."""

    def run_case(self, case):
        machine = devices(case)
        values = {"cb": "8" if ARGS.lane == "win64-x64" else "6"}
        values.update(("path%d" % n, d["path"]) for n, d in enumerate(machine))
        unready = None
        try:
            self.set_up_machine(case, machine)
        except (AssertionError, RuntimeError, OSError, subprocess.SubprocessError) as problem:
            unready = problem
        # The checker runs on the lanes of the Windows exes.
        for step in [s for s in case["steps"] if "check" not in s or hasattr(self, "check_checker")]:
            with self.subTest("%s/%s/%s" % (ARGS.lane, case["name"], step["name"])):
                if unready:
                    self.fail("the machine could not be set up: %s" % unready)
                elif "levels" in step:
                    self.check_levels(machine[step.get("device", 0)], step["levels"])
                elif "check" in step:
                    self.check_checker(step)
                else:
                    self.check_run(step, values)


CHECKER = "Tovrin_LED_Check.exe"
CHECK_LINE = re.compile(r"(PASS|FAIL|WARN|SKIP) ([a-z.]+): ")


def checker_problems(step, status, output):
    """What is wrong with a run of the checker for a step: its exit status
    must be the step's status (or one of its status-one-of), the ids of its
    FAIL lines exactly the step's fail, and of its WARN lines its warn, where
    the step names them; its last line is the closing one."""
    lines = output.replace("\r\n", "\n").splitlines()
    found = {"FAIL": set(), "WARN": set()}
    for line in lines:
        verdict = CHECK_LINE.match(line)
        if verdict and verdict.group(1) in found:
            found[verdict.group(1)].add(verdict.group(2))
    problems = []
    if status not in step.get("status-one-of", [step.get("status")]):
        problems.append("exit status %d" % status)
    for verdict in ("FAIL", "WARN"):
        expected = step.get(verdict.lower())
        if expected is not None and found[verdict] != set(expected):
            problems.append("%s ids %s, not %s" % (verdict, sorted(found[verdict]), sorted(expected)))
    if not lines or not lines[-1].startswith("Tovrin_LED_Check: ") or " exit status " not in lines[-1]:
        problems.append("no closing line")
    return problems


class SimLane(Lane):
    """The Linux tool on the simulated machine: a scenario per case, and a
    store that keeps its levels from step to step."""
    paths = set()  # Each step's calls and output shape, once run under the wrapper.

    def set_up_machine(self, case, machine):
        self.folder = tempfile.mkdtemp(dir=LANE_FOLDER)
        self.store = os.path.join(self.folder, "store.db")
        self.scenario = os.path.join(self.folder, "machine.scn")
        if "scenario" in case:
            self.scenario = os.path.join(HERE, "scenarios", case["scenario"])
        else:
            with open(self.scenario, "w", encoding="utf-8") as f:
                f.writelines("interface %s green=%d blue=%d keyback=%d %s\n" % (d["path"], *d["levels"], d["sim"])
                             for d in machine)

    def check_run(self, step, values):
        trace = os.path.join(self.folder, "calls")
        env = {k: v for k, v in os.environ.items() if k in ("PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        env.update(LEDSIM_SCENARIO=self.scenario, LEDSIM_STATE=self.store, LEDSIM_TRACE=trace)
        limit = None
        if step.get("low-memory"):
            if os.environ.get("LED_TOOL_SANITIZED") == "1":
                env["ASAN_OPTIONS"] = "allocator_may_return_null=1:max_allocation_size_mb=256"
            else:
                def limit():
                    import resource  # Not on Windows, where the windows lane runs.

                    resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))
        expected = rendered(step["out"], values, "\n")
        # The address-space limit would stop the wrapper, not the tool.
        for wrapper in [[]] + [WRAPPER] * bool(WRAPPER and not step.get("low-memory")):
            with contextlib.suppress(FileNotFoundError):
                os.remove(trace)
            done = limited_run.run(wrapper + [ARGS.tool] + step["run"], RUN_LIMIT, env=env, capture_output=True,
                                   preexec_fn=limit)
            # The sanitizer's allocator says so when it refuses: the refusal is the point.
            err = [line for line in done.stderr.decode().splitlines(True)
                   if not (step.get("low-memory") and "AddressSanitizer failed to allocate" in line)]
            self.assertEqual((0, expected, ""), (done.returncode, done.stdout, "".join(err)),
                             "books and sanitizers report on standard error " + " ".join(wrapper))
            calls = []
            if os.path.exists(trace):
                with open(trace) as f:
                    calls = f.read().splitlines()
            if "calls" in step:
                self.assertEqual(expand(step["calls"], values), calls)
            # A path already run under the wrapper is not run again there.
            path = (tuple(calls), re.sub(rb"[0-9]+", b"0", expected))
            if path in SimLane.paths:
                break
            SimLane.paths.add(path)

    def check_levels(self, device, levels):
        found = device["levels"]
        if os.path.exists(self.store):
            with contextlib.closing(sqlite3.connect(self.store)) as db:
                row = db.execute("SELECT * FROM brightness WHERE path = ?", (device["path"],)).fetchone()
                found = list(row[1:]) if row else found
        self.assertEqual(levels, found)


class WindowsLane(Lane):
    """An exe on a Windows without the LED driver."""

    def set_up_machine(self, case, machine):
        self.assertEqual([], machine, "this lane has no LED device")

    def check_run(self, step, values):
        done = limited_run.run(WRAPPER + [ARGS.tool] + step["run"], RUN_LIMIT, capture_output=True)
        self.assertEqual((0, rendered(step["out"], values, "\r\n"), b""), (done.returncode, done.stdout, done.stderr))

    def check_checker(self, step):
        checker = os.path.join(os.path.dirname(ARGS.tool), CHECKER)
        done = limited_run.run(WRAPPER + [checker] + step["check"], RUN_LIMIT, capture_output=True)
        output = (done.stdout + done.stderr).decode("latin-1")
        self.assertEqual([], checker_problems(step, done.returncode, output), output)


class WineLane(Lane):
    """The real exe under Wine, against the stand-in driver. The devices stay
    installed from case to case, and the driver loaded but where a case says
    restart; a case run alone starts from a fresh install."""

    @classmethod
    def setUpClass(cls):
        import wine_session

        cls.ws = wine_session
        arch, driver, tool = WINE_LANES[ARGS.lane]
        cls.driver = os.path.join(ARGS.build, "windows-" + driver, "tests", "wine")
        cls.tool_folder = os.path.join(ARGS.build, "windows-" + tool)
        cls.session = wine_session.open_session(LANE_FOLDER, arch, loader64=ARGS.lane == "win64-x64")
        print("# " + cls.session.how, flush=True)
        wine_session.boot(cls.session)
        cls.version = wine_session.wine(cls.session, "--version")[1].strip()
        cls.installed = []  # The settings of each device installed.

    @classmethod
    def tearDownClass(cls):
        cls.ws.close(cls.session)

    def helper(self, *args):
        return self.ws.wine(self.session, os.path.join(self.tool_folder, "tests", "wine", "ledcheck.exe"), *args)

    def installer(self, *args):
        status, output = self.ws.wine(self.session, os.path.join(self.driver, "ledinst.exe"), *args)
        self.assertEqual(0, status, output)

    def set_up_machine(self, case, machine):
        settings = ["Green=%d,Blue=%d,Keyback=%d,IoctlStatus=0,CreateStatus=0,DropLink=0,Fault=none" % tuple(d["levels"])
                    + ("," + d["wine"] if d["wine"] else "") for d in machine]
        if len(self.installed) > len(settings):
            self.installer("remove")
            WineLane.installed = []
        for n, setting in enumerate(self.installed):
            if setting != settings[n]:
                self.installer("set", str(n), settings[n])
        added = settings[len(self.installed):]
        if added:
            self.installer("install", os.path.join(self.driver, "ledstub.inf"), *added)
        # A driver just installed starts fresh; one that was there reloads.
        restart = case.get("restart", False) and len(added) < len(settings)
        WineLane.installed = settings
        if restart:
            self.ws.restart(self.session)
        self.wait_for(machine, fresh=restart or bool(added))

    def wait_for(self, machine, fresh):
        """Until discovery lists the case's paths, in its order, and a fresh
        device that opens reads its levels. A loaded machine has taken over
        20 s to start a driver."""
        want = [d["path"] for d in machine]
        for _ in range(240):
            listed = self.helper("list")[1].split()
            ready = [self.helper("get", str(n))[1].split() == [str(v) for v in d["levels"]]
                     for n, d in enumerate(machine) if fresh and not d["wine"]]
            if listed == want and all(ready):
                return
            time.sleep(0.5)
        self.fail("devices not ready: want %s, listed %s" % (want, listed))

    def check_run(self, step, values):
        out = step["out"]
        if self.version.startswith("wine-8.0") and "wine-8-0" in step:
            out = step["wine-8-0"]  # A known difference of this Wine.
        expected = rendered(out, values, "\r\n")
        exe = os.path.join(self.tool_folder, "Tovrin_LED_Test.exe")
        for into in ("pipe", "file"):
            # The C runtime buffers a run's output and hands it on whole.
            self.assertEqual((0, expected, b"", 1), self.ws.traced_run(self.session, [exe] + step["run"], into),
                             "stdout a %s: status, output, standard error, writes" % into)

    def check_levels(self, device, levels):
        status, found = self.helper("get", str(device["index"]))
        self.assertEqual((0, " ".join(map(str, levels))), (status, found.strip()))

    def check_checker(self, step):
        checker = os.path.join(self.tool_folder, CHECKER)
        if "interrupt-after" in step:
            status, output = self.interrupted(checker, step)
        else:
            status, output = self.ws.wine(self.session, checker, *step["check"])
        self.assertEqual([], checker_problems(step, status, output), output)

    def interrupted(self, checker, step):
        """A run of the checker that gets Ctrl-C (SIGINT, which Wine hands
        to the console's handlers) a second after the line of the check
        interrupt-after appears; its status and output."""
        out = os.path.join(self.session.folder, "checker.out")
        after = re.compile(r"[A-Z]+ %s: " % re.escape(step["interrupt-after"]), re.M)
        with open(out, "wb") as f:
            process = limited_run.start(self.session.wine + [checker] + step["check"], env=self.session.env,
                                        stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + self.ws.TIMEOUT
        while process.poll() is None and time.monotonic() < deadline:
            with open(out, "rb") as f:
                if after.search(f.read().decode("latin-1")):
                    break
            time.sleep(0.1)
        time.sleep(1)
        with contextlib.suppress(ProcessLookupError):
            process.send_signal(signal.SIGINT)
        status = limited_run.finish(process, self.ws.TIMEOUT).returncode
        with open(out, "rb") as f:
            return status, f.read().decode("latin-1")


# What led_swdevice.exe reports on standard error: every line starts so, and
# one gives the interface path Windows gave.
HELPER_PREFIX = "led_swdevice: "
HELPER_PATH = HELPER_PREFIX + "interface path "
HELPER_LEFT = HELPER_PREFIX + "interface STILL LISTED"
# The most led_swdevice.exe waits, in seconds, for PnP's creation callback,
# for SetupAPI to list its interface (Windows may first look for a driver),
# and for the interface to go after the close. The helper is given them; a
# run under it has them, the tool's RUN_LIMIT, and a margin for the helper's
# start, its last poll of SetupAPI and its close.
SWDEVICE_WAITS = (30, 30, 10)
SWDEVICE_LIMIT = sum(SWDEVICE_WAITS) + RUN_LIMIT + 20


def swdevice_command(helper, command):
    """The command line that runs command under led_swdevice.exe."""
    return [helper, "--waits", ",".join(map(str, SWDEVICE_WAITS))] + command


def detail_size(exe):
    """{cb} of an exe: 8 for an x64 image (PE machine 0x8664), else 6."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    pe = int.from_bytes(head[0x3C:0x40], "little")
    return "8" if head[pe + 4:pe + 6] == b"\x64\x86" else "6"


def fits(expected, lines):
    """The numbers that {n} stands for, if lines are the expected ones; else None."""
    if len(expected) != len(lines):
        return None
    numbers = []
    for want, line in zip(expected, lines):
        found = re.fullmatch(re.escape(want).replace(re.escape("{n}"), r"(\d+)"), line)
        if not found:
            return None
        numbers += found.groups()
    return numbers


def swdevice_problems(step, runs):
    """What is wrong with one step of the windows-swdevice lane: runs holds
    ({cb}, status, stdout, standard error) of each exe under the helper. Each
    must exit with 0 and print exactly one of the step's outputs, with the
    path the helper reported (letter case aside); the helper must see its
    device gone; and the exes must end the same way, numbers included."""
    problems, endings = [], set()
    for n, (cb, status, out, err) in enumerate(runs):
        exe = "exe %d ({cb} %s)" % (n + 1, cb)
        err = err.decode("latin-1").replace("\r\n", "\n").splitlines()
        paths = [line[len(HELPER_PATH):] for line in err if line.startswith(HELPER_PATH)]
        lines = out.decode("latin-1").split("\r\n")
        if status != 0:
            problems.append("%s: exit status %d" % (exe, status))
        if [line for line in err if not line.startswith(HELPER_PREFIX)]:
            problems.append("%s: the tool wrote to standard error" % exe)
        if HELPER_LEFT in "\n".join(err):
            problems.append("%s: the helper's device was still listed after it closed it" % exe)
        if len(paths) != 1:
            problems.append("%s: the helper reported %d interface paths" % (exe, len(paths)))
            continue
        if lines.pop() != "":
            problems.append("%s: the output does not end in CR LF" % exe)
        # Windows compares device paths without regard to case, and SetupAPI
        # may spell the helper's path otherwise.
        path_line = "   " + paths[0]
        lines = [path_line if line.upper() == path_line.upper() else line for line in lines]
        values = {"cb": cb, "path0": paths[0]}
        matched = [(k, fits(expand(o, values), lines)) for k, o in enumerate(step["out-one-of"])]
        matched = [(k, numbers) for k, numbers in matched if numbers is not None]
        if not matched:
            problems.append("%s: no output the step allows:\n%s" % (exe, "\n".join(lines)))
        endings.update((k, tuple(numbers)) for k, numbers in matched)
    if len(endings) > 1:
        problems.append("the exes ended differently: outputs (index, numbers) %s" % sorted(endings))
    return problems


def keep_report(folder, step, tools, runs, problems, rows, reports):
    """Keeps each run's output and standard error in folder, and rewrites its
    summary.md: each run's interface path, the tool's lines after discovery,
    the step's problems, and what the helper reported."""
    found = len(expand(["@found"], {}))
    for n, (exe, (cb, status, out, err)) in enumerate(zip(tools, runs)):
        name = "%s-%s" % (step["name"], "x64" if cb == "8" else "x86")
        for part, data in (("stdout", out), ("stderr", err)):
            with open(os.path.join(folder, "%s.%s" % (name, part)), "wb") as f:
                f.write(data)
        err = err.decode("latin-1").splitlines()
        path = " ".join(line[len(HELPER_PATH):] for line in err if line.startswith(HELPER_PATH))
        ending = " / ".join("`%s`" % line for line in out.decode("latin-1").splitlines()[found:])
        own = [p.replace("\n", " ") for p in problems if not p.startswith("exe ") or p.startswith("exe %d " % (n + 1))]
        rows.append("| %s | %s | %d | `%s` | %s | %s |" % (step["name"], os.path.basename(os.path.dirname(exe)),
                                                         status, path, ending, "; ".join(own) or "passed"))
        reports += ["<details><summary>%s: the helper's report</summary>" % name, "", "```"] + err
        reports += ["```", "</details>"]
    write_summary(folder, rows, reports)


def write_summary(folder, rows, reports):
    with open(os.path.join(folder, "summary.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(["## The tool on a software LED device, " + platform.platform(), "",
                           "| step | package | status | interface path | the tool's lines after discovery | checks |",
                           "|---|---|---|---|---|---|"] + rows + [""] + reports + [""]))


def keep_checker_report(folder, tools, runs, problems, rows, reports):
    """Keeps what each checker's run printed in folder, and adds its lines
    to the summary."""
    for exe, (cb, status, out, err) in zip(tools, runs):
        name = "checker-%s" % ("x64" if cb == "8" else "x86")
        for part, data in (("stdout", out), ("stderr", err)):
            with open(os.path.join(folder, "%s.%s" % (name, part)), "wb") as f:
                f.write(data)
        reports += ["### Tovrin_LED_Check of %s: exit status %d" % (os.path.basename(os.path.dirname(exe)), status),
                    "", "```"] + out.decode("latin-1").splitlines() + ["```", ""]
    reports += ["Checker runs: %s" % ("; ".join(problems) or "passed"), ""]
    write_summary(folder, rows, reports)


class SwDeviceLane(Lane):
    """Each exe on a real Windows, run under led_swdevice.exe, which gives
    Windows a software LED device with no driver for that run."""
    rows, reports = [], []

    def set_up_machine(self, case, machine):
        self.assertEqual([], machine, "the helper makes this lane's device")

    def check_run(self, step, values):
        runs = []
        for exe in ARGS.tools:
            done = limited_run.run(WRAPPER + swdevice_command(ARGS.helper, [exe] + step["run"]), SWDEVICE_LIMIT,
                                   capture_output=True)
            runs.append((detail_size(exe), done.returncode, done.stdout, done.stderr))
        problems = swdevice_problems(step, runs)
        if ARGS.report:
            keep_report(ARGS.report, step, ARGS.tools, runs, problems, self.rows, self.reports)
        self.assertEqual([], problems)

    def check_checker(self, step):
        """Each exe's checker under the helper: whatever Windows answers,
        one of the step's statuses, within the run's limit."""
        runs, problems = [], []
        for exe in ARGS.tools:
            checker = os.path.join(os.path.dirname(exe), CHECKER)
            done = limited_run.run(WRAPPER + [ARGS.helper, checker] + step["check"], RUN_LIMIT + 40,
                                   capture_output=True)
            runs.append((detail_size(exe), done.returncode, done.stdout, done.stderr))
            problems += ["%s: %s" % (checker, p)
                         for p in checker_problems(step, done.returncode, done.stdout.decode("latin-1"))]
        if ARGS.report:
            keep_checker_report(ARGS.report, ARGS.tools, runs, problems, self.rows, self.reports)
        self.assertEqual([], problems)


class SwDeviceTranscripts(unittest.TestCase):
    """The windows-swdevice lane's checking on the table's recorded runs."""

    def test_transcripts(self):
        table = TABLE["transcripts"]
        steps = {s["name"]: s for c in TABLE["case"] if "windows-swdevice" in c["lanes"] for s in c["steps"]}
        for row in table["rows"]:
            with self.subTest("windows-swdevice/transcripts/" + row["name"]):
                runs = []
                for n, (arch, cb) in enumerate((("x86", "6"), ("x64", "8"))):
                    values = {"cb": cb, "path0": table["path"]}
                    out = rendered(row.get(arch, row["x86"]), values, "\r\n")
                    runs.append((cb, row.get("status", [0, 0])[n], out,
                                 rendered(row.get("err", table["err"]), values, "\r\n")))
                problems = swdevice_problems(steps[row["step"]], runs)
                self.assertEqual(row["pass"], not problems, problems)


class Counts(unittest.TextTestResult):
    """Counts steps, not tests: every subtest that passed or failed."""
    passed = failed = 0

    def addSubTest(self, test, subtest, outcome):
        super().addSubTest(test, subtest, outcome)
        if outcome is None:
            Counts.passed += 1
        elif not issubclass(outcome[0], unittest.SkipTest):
            Counts.failed += 1


def main():
    global ARGS, LANE_FOLDER
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("lane", choices=["sim", "windows", "windows-swdevice"] + list(WINE_LANES))
    parser.add_argument("--tool", action="append", help="the tool to run: the Linux build, or an exe (each exe)")
    parser.add_argument("--helper", help="led_swdevice.exe, for the windows-swdevice lane")
    parser.add_argument("--transcripts", action="store_true", help="check the windows-swdevice lane's checking")
    parser.add_argument("--report", help="a folder for what the windows-swdevice runs printed")
    parser.add_argument("--build", help="a build tree of the windows preset, for the Wine lanes")
    parser.add_argument("--case", help="run this case alone")
    ARGS = parser.parse_args()
    ARGS.tools = [os.path.abspath(tool) for tool in ARGS.tool or []]
    ARGS.tool = ARGS.tools[0] if ARGS.tools else None
    cases = [c for c in TABLE["case"] if ARGS.lane in c["lanes"] and ARGS.case in (None, c["name"])]
    if not cases:
        parser.error("no case %r on lane %s" % (ARGS.case, ARGS.lane))
    kinds = {"sim": SimLane, "windows": WindowsLane, "windows-swdevice": SwDeviceLane}
    kind = kinds.get(ARGS.lane, WineLane)
    sys.path.insert(0, os.path.join(HERE, "wine"))
    suite = unittest.TestSuite()
    if ARGS.transcripts:
        cases = []
        suite.addTest(SwDeviceTranscripts("test_transcripts"))
    if ARGS.report:
        os.makedirs(ARGS.report, exist_ok=True)
    for case in cases:
        name = "test_" + case["name"].replace("-", "_")
        setattr(kind, name, lambda self, case=case: self.run_case(case))
        suite.addTest(kind(name))
    LANE_FOLDER = os.path.realpath(tempfile.mkdtemp(prefix="led-%s." % ARGS.lane, dir=os.environ.get("TMPDIR")))
    try:
        result = unittest.TextTestRunner(resultclass=Counts, verbosity=2).run(suite)
    finally:
        if os.environ.get("KEEP"):
            print("# kept " + LANE_FOLDER)
        else:
            shutil.rmtree(LANE_FOLDER)
    print("%d passed, %d failed" % (Counts.passed, Counts.failed))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
