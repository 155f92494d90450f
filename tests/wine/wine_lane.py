"""The Wine lanes of the case table (tests/run_cases.py): the real exes
under Wine against the stand-in driver of this folder (README.md)."""
import contextlib
import os
import re
import signal
import subprocess
import time

import limited_run
import run_cases
import wine_session

# Each Wine lane: the prefix's WINEARCH, the CPU of its driver and installer
# (the prefix's own), and the CPU of the tool and of ledcheck, which sees the
# devices as the tool does.
WINE_LANES = {"win32": ("win32", "x86", "x86"), "win64": ("win64", "x64", "x86"),
              "win64-x64": ("win64", "x64", "x64")}


class WineLane(run_cases.Lane):
    """The real exe under Wine, against the stand-in driver. The devices stay
    installed from case to case, and the driver loaded but where a case says
    restart; a case run alone starts from a fresh install."""

    @classmethod
    def setUpClass(cls):
        args = run_cases.ARGS
        cls.ws = wine_session
        arch, driver, tool = WINE_LANES[args.lane]
        cls.driver = os.path.join(args.build, "windows-" + driver, "tests", "wine")
        cls.tool_folder = os.path.join(args.build, "windows-" + tool)
        cls.tool = os.path.join(cls.tool_folder, "Tovrin_LED_Test.exe")
        cls.session = wine_session.open_session(run_cases.LANE_FOLDER, arch, loader64=args.lane == "win64-x64")
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
        settings = [",".join("%s=%d" % (name, level) for (name, _), level in zip(run_cases.CHANNELS, d["levels"]))
                    + ",IoctlStatus=0,CreateStatus=0,DropLink=0,Fault=none" + ("," + d["wine"] if d["wine"] else "")
                    for d in machine]
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
        expected = run_cases.rendered(out, values, "\r\n")
        for into in ("pipe", "file"):
            # The C runtime buffers a run's output and hands it on whole.
            self.assertEqual((0, expected, b"", 1), self.ws.traced_run(self.session, [self.tool] + step["run"], into),
                             "stdout a %s: status, output, standard error, writes" % into)

    def check_levels(self, device, levels):
        status, found = self.helper("get", str(device["index"]))
        self.assertEqual((0, " ".join(map(str, levels))), (status, found.strip()))

    def check_checker(self, step):
        checker = os.path.join(self.tool_folder, run_cases.CHECKER)
        if "interrupt-after" in step:
            status, output = self.interrupted(checker, step)
        else:
            status, output = self.ws.wine(self.session, checker, *step["check"])
        self.assertEqual([], run_cases.checker_problems(step, status, output), output)

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
