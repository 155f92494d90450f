"""The lanes of the case table (tests/run_cases.py) that run on a real
Windows: windows, an exe on a Windows without the LED driver, and
windows-swdevice, both exes each under led_swdevice.exe (this folder),
which gives Windows a software LED device with no driver for the run; and
that lane's checking, tried on the table's recorded runs."""
import os
import platform
import re
import unittest

import limited_run
import run_cases

# The CPU an exe is for, by the size of the detail record it prints.
ARCH = {cb: arch for arch, cb in run_cases.DETAIL_SIZES.items()}
class WindowsLane(run_cases.Lane):
    """An exe on a Windows without the LED driver."""

    def set_up_machine(self, case, machine):
        self.assertEqual([], machine, "this lane has no LED device")

    def check_run(self, step, values):
        done = limited_run.run(run_cases.WRAPPER + [self.tool] + step["run"], run_cases.RUN_LIMIT, capture_output=True)
        self.assertEqual((0, run_cases.rendered(step["out"], values, "\r\n"), b""),
                         (done.returncode, done.stdout, done.stderr))

    def check_checker(self, step):
        checker = os.path.join(os.path.dirname(self.tool), run_cases.CHECKER)
        done = limited_run.run(run_cases.WRAPPER + [checker] + step["check"], run_cases.RUN_LIMIT, capture_output=True)
        output = (done.stdout + done.stderr).decode("latin-1")
        self.assertEqual([], run_cases.checker_problems(step, done.returncode, output), output)



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
SWDEVICE_LIMIT = sum(SWDEVICE_WAITS) + run_cases.RUN_LIMIT + 20


def swdevice_command(helper, command):
    """The command line that runs command under led_swdevice.exe."""
    return [helper, "--waits", ",".join(map(str, SWDEVICE_WAITS))] + command


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
        matched = [(k, fits(run_cases.expand(o, values), lines)) for k, o in enumerate(step["out-one-of"])]
        matched = [(k, numbers) for k, numbers in matched if numbers is not None]
        if not matched:
            problems.append("%s: no output the step allows:\n%s" % (exe, "\n".join(lines)))
        endings.update((k, tuple(numbers)) for k, numbers in matched)
    if len(endings) > 1:
        problems.append("the exes ended differently: outputs (index, numbers) %s" % sorted(endings))
    return problems


def under_helper(step_args, program_of):
    """Each exe's program (itself, or its checker) under led_swdevice.exe:
    ({cb}, status, stdout, standard error) of each."""
    args, runs = run_cases.ARGS, []
    for exe in args.tools:
        done = limited_run.run(run_cases.WRAPPER + swdevice_command(args.helper, [program_of(exe)] + step_args),
                               SWDEVICE_LIMIT, capture_output=True)
        runs.append((run_cases.detail_size(exe), done.returncode, done.stdout, done.stderr))
    return runs


def keep_outputs(folder, name, runs):
    for cb, _, out, err in runs:
        for part, data in (("stdout", out), ("stderr", err)):
            with open(os.path.join(folder, "%s-%s.%s" % (name, ARCH[cb], part)), "wb") as f:
                f.write(data)


def write_summary(folder, rows, reports):
    with open(os.path.join(folder, "summary.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(["## The tool on a software LED device, " + platform.platform(), "",
                           "| step | package | status | interface path | the tool's lines after discovery | checks |",
                           "|---|---|---|---|---|---|"] + rows + [""] + reports + [""]))


class SwDeviceLane(run_cases.Lane):
    """Each exe on a real Windows, run under led_swdevice.exe, which gives
    Windows a software LED device with no driver for that run. With --report,
    each run's output and standard error are kept, and summary.md has each
    run's interface path, the tool's lines after discovery, the step's
    problems, what the helper reported, and the checkers' lines."""
    rows, reports = [], []

    def set_up_machine(self, case, machine):
        self.assertEqual([], machine, "the helper makes this lane's device")

    def check_run(self, step, values):
        runs = under_helper(step["run"], lambda exe: exe)
        problems = swdevice_problems(step, runs)
        folder, found = run_cases.ARGS.report, len(run_cases.expand(["@found"], {}))
        for n, (exe, (cb, status, out, err)) in enumerate(zip(run_cases.ARGS.tools, runs) if folder else []):
            err = err.decode("latin-1").splitlines()
            path = " ".join(line[len(HELPER_PATH):] for line in err if line.startswith(HELPER_PATH))
            ending = " / ".join("`%s`" % line for line in out.decode("latin-1").splitlines()[found:])
            own = [p.replace("\n", " ") for p in problems if not p.startswith("exe ") or p.startswith("exe %d " % (n + 1))]
            self.rows.append("| %s | %s | %d | `%s` | %s | %s |" % (
                step["name"], os.path.basename(os.path.dirname(exe)), status, path, ending, "; ".join(own) or "passed"))
            self.reports += ["<details><summary>%s-%s: the helper's report</summary>" % (step["name"], ARCH[cb]), "",
                             "```"] + err + ["```", "</details>"]
        if folder:
            keep_outputs(folder, step["name"], runs)
            write_summary(folder, self.rows, self.reports)
        self.assertEqual([], problems)

    def check_checker(self, step):
        """Each exe's checker under the helper: whatever Windows answers,
        one of the step's statuses, within the run's limit."""
        runs = under_helper(step["check"], lambda exe: os.path.join(os.path.dirname(exe), run_cases.CHECKER))
        problems = ["checker %s: %s" % (ARCH[cb], p) for cb, status, out, _ in runs
                    for p in run_cases.checker_problems(step, status, out.decode("latin-1"))]
        folder = run_cases.ARGS.report
        for exe, (cb, status, out, err) in zip(run_cases.ARGS.tools, runs) if folder else []:
            self.reports += ["### Tovrin_LED_Check of %s: exit status %d" % (os.path.basename(os.path.dirname(exe)),
                                                                              status), "", "```"]
            self.reports += out.decode("latin-1").splitlines() + ["```", ""]
        if folder:
            self.reports += ["Checker runs: %s" % ("; ".join(problems) or "passed"), ""]
            keep_outputs(folder, "checker", runs)
            write_summary(folder, self.rows, self.reports)
        self.assertEqual([], problems)


class SwDeviceTranscripts(unittest.TestCase):
    """The windows-swdevice lane's checking on the table's recorded runs."""

    def test_transcripts(self):
        table = run_cases.TABLE["transcripts"]
        steps = {s["name"]: s for c in run_cases.TABLE["case"] if "windows-swdevice" in c["lanes"] for s in c["steps"]}
        for row in table["rows"]:
            with self.subTest("windows-swdevice/transcripts/" + row["name"]):
                runs = []
                for n, (arch, cb) in enumerate(run_cases.DETAIL_SIZES.items()):
                    values = {"cb": cb, "path0": table["path"]}
                    out = run_cases.rendered(row.get(arch, row["x86"]), values, "\r\n")
                    runs.append((cb, row.get("status", [0, 0])[n], out,
                                 run_cases.rendered(row.get("err", table["err"]), values, "\r\n")))
                problems = swdevice_problems(steps[row["step"]], runs)
                self.assertEqual(row["pass"], not problems, problems)
