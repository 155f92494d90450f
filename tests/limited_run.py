"""One run of a program with a time limit of its own, in a process group of
its own: a run that overruns is killed with all it started, so a hung tool
leaves nothing behind, and the runner reports it well within its test's
CTest limit (which would kill the runner alone)."""
import contextlib
import os
import signal
import subprocess


def run(command, limit, **options):
    """subprocess.run(command, **options), which must end within limit
    seconds; raises AssertionError, naming the command, where it did not."""
    if options.pop("capture_output", False):
        options.update(stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with subprocess.Popen(command, start_new_session=True, **options) as process:
        try:
            out, err = process.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            # Windows has no process groups; there the runs start nothing.
            if hasattr(os, "killpg"):
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGKILL)
            process.kill()
            process.communicate()
            raise AssertionError("%s ran over its limit of %s s: killed with all it started"
                                 % (" ".join(map(str, command)), limit)) from None
    return subprocess.CompletedProcess(command, process.returncode, out, err)
