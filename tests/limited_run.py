"""Runs of a program with a time limit of their own: a run that overruns is
killed, and the runner reports it well within its test's CTest limit (which
would kill the runner alone). On Linux each run has a process group of its
own, killed whole, so a hung tool leaves nothing behind. Windows has no
process groups and kills the program alone: what it started ends with it
only where the program holds it in a kill-on-close job object, as
led_swdevice.exe does with the tool; anything else that holds the run's
pipes keeps the runner waiting."""
import contextlib
import os
import signal
import subprocess

# One run of the tool, valgrind's included: well below every test's CTest limit.
RUN_LIMIT = 60


def start(command, **options):
    """subprocess.Popen(command, **options) in a new session; capture_output
    as subprocess.run takes it."""
    if options.pop("capture_output", False):
        options.update(stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return subprocess.Popen(command, start_new_session=True, **options)


def finish(process, limit):
    """The process's end, within limit seconds: a CompletedProcess. Raises
    AssertionError, naming the command, where it did not end in time."""
    with process:
        try:
            out, err = process.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            ended = "killed; Windows kills it alone, and what it started ends too only in a kill-on-close job"
            if hasattr(os, "killpg"):
                ended = "killed with all it started"
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGKILL)
            process.kill()
            process.communicate()
            raise AssertionError("%s ran over its limit of %s s: %s"
                                 % (" ".join(map(str, process.args)), limit, ended)) from None
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def run(command, limit, **options):
    """subprocess.run(command, **options), which must end within limit seconds."""
    return finish(start(command, **options), limit)
