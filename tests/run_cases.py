#!/usr/bin/python3
"""Runs the whole-run cases of tests/cases.toml on one lane: every run of the
tool must print exactly its lines and nothing on standard error, and exit
with status 0. Each step is a subtest named lane/case/step.

    run_cases.py sim --tool <Linux tool>                  the simulated machine
    run_cases.py win32|win64|win64-x64 --build <dir>      under Wine, the exes and
                                                          helpers a windows build made
    run_cases.py windows --tool <exe>                     no LED device, on Windows
    --case <name> runs that case alone.

LEDTEST_WRAPPER (a command, such as valgrind) runs each windows run of the
tool through it, and on sim each distinct path: a step whose platform calls
(LEDSIM_TRACE) and output, numbers aside, no earlier step had runs again
through it, with the same results expected. KEEP keeps the lane's temporary
folder. Each run of the tool has RUN_LIMIT seconds."""
import argparse
import contextlib
import os
import re
import shlex
import shutil
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
# One run's limit, valgrind's included, well inside every lane's CTest limit.
RUN_LIMIT = 60


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
    for n, device in enumerate(TABLE["machines"][case["machine"]]):
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
        # A check of the stand-in driver itself is for the lanes that have one.
        for step in [s for s in case["steps"] if "contract" not in s or hasattr(self, "check_contract")]:
            with self.subTest("%s/%s/%s" % (ARGS.lane, case["name"], step["name"])):
                if unready:
                    self.fail("the machine could not be set up: %s" % unready)
                elif "levels" in step:
                    self.check_levels(machine[step.get("device", 0)], step["levels"])
                elif "contract" in step:
                    self.check_contract(step["contract"])
                else:
                    self.check_run(step, values)


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
        settings = ["Green=%d,Blue=%d,Keyback=%d,IoctlStatus=0,CreateStatus=0,DropLink=0" % tuple(d["levels"])
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

    def check_contract(self, index):
        status, found = self.helper("contract", str(index))
        self.assertEqual((0, "driver contract ok"), (status, found.strip()))


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
    parser.add_argument("lane", choices=["sim", "windows"] + list(WINE_LANES))
    parser.add_argument("--tool", help="the tool to run: the Linux build, or an exe")
    parser.add_argument("--build", help="a build tree of the windows preset, for the Wine lanes")
    parser.add_argument("--case", help="run this case alone")
    ARGS = parser.parse_args()
    if ARGS.tool:
        ARGS.tool = os.path.abspath(ARGS.tool)
    cases = [c for c in TABLE["case"] if ARGS.lane in c["lanes"] and ARGS.case in (None, c["name"])]
    if not cases:
        parser.error("no case %r on lane %s" % (ARGS.case, ARGS.lane))
    kind = SimLane if ARGS.lane == "sim" else WindowsLane if ARGS.lane == "windows" else WineLane
    sys.path.insert(0, os.path.join(HERE, "wine"))
    suite = unittest.TestSuite()
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
