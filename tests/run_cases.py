#!/usr/bin/python3
"""Runs the whole-run cases of tests/cases.toml on one lane: every run of the
tool must print exactly its lines and nothing on standard error, and exit
with status 0. Each step is a subtest named lane/case/step. Here: reading
the table, what all lanes share, and the sim lane; the Wine lanes are in
tests/wine/wine_lane.py, those of a real Windows in tests/windows/.

    run_cases.py sim --tool <Linux tool>                 the simulated machine
    run_cases.py win32|win64|win64-x64 --build <dir>     under Wine, a windows build's exes
    run_cases.py windows --tool <exe>                    no LED device, on Windows
    run_cases.py windows-swdevice --helper <led_swdevice.exe> --tool <exe> --tool <exe>
                                                         a software LED device, on Windows
    run_cases.py windows-swdevice --transcripts          that lane's checking, on recorded runs
    --case <name> runs that case alone; --report <folder> keeps what each
    windows-swdevice run printed, with summary.md. A step may run the
    checker, Tovrin_LED_Check.exe, from the exe's folder: not on sim.

LEDTEST_WRAPPER (a command, such as valgrind or wine) runs each windows run
of the tool, and each windows-swdevice run of the helper, through it; on sim
each distinct path: a step whose platform calls (LEDSIM_TRACE) and output,
numbers aside, no earlier step had runs again through it. KEEP keeps the
lane's temporary folder. Each run has RUN_LIMIT seconds."""
import argparse
import contextlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import tomllib
import unittest

import limited_run

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "cases.toml"), "rb") as table_file:
    TABLE = tomllib.load(table_file)
with open(os.path.join(HERE, "usage.txt")) as usage_file:
    USAGE = usage_file.read().splitlines()
with open(os.path.join(HERE, "..", "inc", "led_interface.h")) as header:
    # The channels, (Name, name) each, in the contract's order.
    CHANNELS = re.findall(r"X\((\w+), (\w+)\)", re.search(r"#define LED_CHANNELS\(X\)(.*)", header.read()).group(1))
WRAPPER = shlex.split(os.environ.get("LEDTEST_WRAPPER", ""))
# The size of the detail record an exe prints ({cb}), by its CPU: the x64
# SDK's, or the 32-bit one's, which the stand-in platform's is too.
DETAIL_SIZES = {"x86": "6", "x64": "8"}
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


def detail_size(tool):
    """{cb} of a tool: an x64 exe's (PE machine 0x8664), else the 32-bit one's."""
    with open(tool, "rb") as f:
        head = f.read(4096)
    pe = int.from_bytes(head[0x3C:0x40], "little")
    x64 = head[:2] == b"MZ" and head[pe + 4:pe + 6] == b"\x64\x86"
    return DETAIL_SIZES["x64" if x64 else "x86"]


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
    """One lane's cases, in the table's order, each a test of its own, with
    the tool of --tool, or one of its own."""

    @property
    def tool(self):
        return ARGS.tool

    def run_case(self, case):
        machine = devices(case)
        values = {"cb": detail_size(self.tool)} if self.tool else {}
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


def machine_line(device):
    """The scenario's line of a device at its levels."""
    return "interface %s " % device["path"] + " ".join("%s=%d" % (name, level)
                                                        for (_, name), level in zip(CHANNELS, device["levels"]))


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
                f.writelines(machine_line(d) + " %s\n" % d["sim"] for d in machine)

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
        """The levels the tool reads back from the case's store, on a machine
        of that device alone, as the scenario made it."""
        scenario = os.path.join(self.folder, "device.scn")
        with open(scenario, "w", encoding="utf-8") as f:
            f.write(machine_line(device) + "\n")
        env = {"PATH": os.environ["PATH"], "LEDSIM_SCENARIO": scenario, "LEDSIM_STATE": self.store}
        found = []
        for _, channel in CHANNELS:
            done = limited_run.run([ARGS.tool, "r", channel], RUN_LIMIT, env=env, capture_output=True)
            found.append(int(done.stdout.split()[-1]))
        self.assertEqual(levels, found)


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
    sys.path[:0] = [os.path.join(HERE, "wine"), os.path.join(HERE, "windows")]
    import wine_lane
    import windows_lanes

    kinds = {"sim": SimLane, "windows": windows_lanes.WindowsLane, "windows-swdevice": windows_lanes.SwDeviceLane}
    kinds.update((lane, wine_lane.WineLane) for lane in wine_lane.WINE_LANES)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("lane", choices=list(kinds))
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
    kind = kinds[ARGS.lane]
    suite = unittest.TestSuite()
    if ARGS.transcripts:
        cases = []
        suite.addTest(windows_lanes.SwDeviceTranscripts("test_transcripts"))
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
    sys.modules["run_cases"] = sys.modules[__name__]  # What the lanes' modules import.
    sys.exit(main())
