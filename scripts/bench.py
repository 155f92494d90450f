#!/usr/bin/python3
"""What printing and keeping the brightness cost the tool, beside a C program
that only prints the same five lines with printf (tests/bench/print_only.c):
  - the Windows exes' sizes, 32-bit and x64, against that program's, built
    with the same mingw-w64 toolchains;
  - under Wine, the writes one run's output takes into a pipe, in a fresh
    prefix without an LED device: the 32-bit exe in a win32 prefix, the x64
    exe in a win64 one on Wine's 64-bit loader alone, as the Wine lanes run
    them (tests/wine/wine_session.py); not with --check, as every run of the
    Wine lanes must take one write already;
  - on Linux, on the simulated machine: the instructions of one write
    keeping nothing and of one with its store (valgrind --tool=callgrind),
    and of the first write to a store of an earlier version (made by the
    tool, then unstamped and closed cleanly), which is looked at before it
    is opened for writing; 1,000 writes of each of the first two, side by
    side, and a write on a scenario near its 1 MiB limit whose store keeps
    a row for each device.

    scripts/bench.py [--check] [BUILD-DIR]

Everything comes from a build tree of the windows preset: BUILD-DIR, or
build/windows, configured and built first. With --check (the CTest test
bench) it fails unless the Linux figures keep their bounds: a run keeping
nothing at most 2.5 times the printf-only program's instructions, a write
with its store at most 1.5 million and the first to a store of an earlier
version under it, 1,000 writes with the store at most 4 times as long as
1,000 keeping nothing, the large scenario in under a second. The exes' size
bound and the one write are checked by their own tests. The times hold on a
busy machine: the two sets of 1,000 runs take turns, run by run, so that
both meet the same load, and the large scenario is the fastest of three
runs. It leaves nothing in TMPDIR."""
import contextlib
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "wine"))
import wine_session  # noqa: E402


def piped_writes(folder, arch, loader64, programs):
    """In a fresh prefix, the writes each program's output takes into a pipe."""
    os.mkdir(folder)
    session = wine_session.open_session(folder, arch, loader64)
    try:
        wine_session.boot(session)
        wine_session.wine(session, *programs[0])  # Starts Wine's services outside the count.
        return session.how, [str(wine_session.traced_run(session, p, "pipe")[3]) for p in programs]
    finally:
        wine_session.close(session)


def instructions(command, env):
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + command,
                          env=env, capture_output=True, text=True)
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def seconds(command, envs, runs):
    """The seconds runs runs of command take in each of envs, taking turns."""
    spent = [0.0] * len(envs)
    for _ in range(runs):
        for n, env in enumerate(envs):
            start = time.monotonic()
            subprocess.run(command, env=env, stdout=subprocess.DEVNULL, check=True)
            spent[n] += time.monotonic() - start
    return spent


def main():
    check = "--check" in sys.argv[1:]
    build = ([a for a in sys.argv[1:] if a != "--check"] or [None])[0]
    if build is None:
        build = os.path.join(SOURCE, "build", "windows")
        print("building the windows preset...", file=sys.stderr)
        for step in (["cmake", "--preset", "windows"], ["cmake", "--build", "--preset", "windows"]):
            subprocess.run(step, cwd=SOURCE, stdout=subprocess.DEVNULL, check=True)
    exe = {arch: os.path.join(build, "windows-" + arch, "Tovrin_LED_Test.exe") for arch in ("x86", "x64")}
    printer = {arch: os.path.join(build, "windows-" + arch, "tests", "bench", "print_only.exe") for arch in exe}
    tool = os.path.join(build, "Tovrin_LED_Test")
    rows = [("Windows exe %s, bytes" % arch, os.path.getsize(exe[arch]), os.path.getsize(printer[arch]))
            for arch in exe]
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as tmp:
        for arch, prefix, loader64 in (("x86", "win32", False), ("x64", "win64", True)) * (not check):
            try:
                how, writes = piped_writes(os.path.join(tmp, prefix), prefix, loader64,
                                           [[exe[arch], "r", "green"], [printer[arch]]])
                rows.append(("Wine (%s, %s exe), writes into a pipe" % (prefix, arch), *writes))
            except RuntimeError as missing:
                how = "Wine cannot run the %s exe here: %s" % (arch, missing)
            print("# " + how)

        env = {"PATH": os.environ["PATH"]}
        store = dict(env, LEDSIM_STATE=os.path.join(tmp, "ledsim.db"))
        nothing = dict(env, LEDSIM_STATE="")
        subprocess.run([tool, "w", "green", "6"], env=store, stdout=subprocess.DEVNULL)  # As after a first run.
        write = [tool, "w", "green", "7"]
        figures = {"nothing": instructions(write, nothing), "store": instructions(write, store),
                   "printer": instructions([os.path.join(build, "tests", "bench", "print_only")], env)}
        earlier = dict(env, LEDSIM_STATE=os.path.join(tmp, "earlier.db"))
        subprocess.run([tool, "w", "green", "6"], env=earlier, stdout=subprocess.DEVNULL)
        with contextlib.closing(sqlite3.connect(earlier["LEDSIM_STATE"])) as db:
            db.executescript("PRAGMA application_id = 0; PRAGMA user_version = 0")
        figures["earlier"] = instructions(write, earlier)
        figures["nothing_s"], figures["store_s"] = seconds(write, [nothing, store], 1000)
        # A scenario near its 1 MiB limit, and a store with a row for each of its devices.
        scenario = os.path.join(tmp, "large.scn")
        paths = ["L%06d" % i for i in range((1 << 20) // len("interface L000000\n"))]
        with open(scenario, "w") as f:
            f.writelines("interface %s\n" % p for p in paths)
        with sqlite3.connect(store["LEDSIM_STATE"]) as db:
            db.executemany("INSERT OR REPLACE INTO brightness VALUES (?, 1, 2, 3)", ([p] for p in paths))
        db.close()
        figures["large_s"] = min(seconds([tool, "w", "blue", "9"], [dict(store, LEDSIM_SCENARIO=scenario)] * 3, 1))

    ratio = figures["nothing"] / figures["printer"]
    runs = figures["store_s"] / figures["nothing_s"]
    rows += [("Linux, instructions, keeping nothing", figures["nothing"], figures["printer"]),
             ("Linux, keeping nothing / printf-only", "%.2fx" % ratio, ""),
             ("Linux, instructions, a write with its store", figures["store"], ""),
             ("Linux, instructions, 1st write, earlier store", figures["earlier"], ""),
             ("Linux, 1,000 writes keeping nothing, s", "%.2f" % figures["nothing_s"], ""),
             ("Linux, 1,000 writes with the store, s", "%.2f" % figures["store_s"], "%.2fx" % runs),
             ("Linux, %d devices (1 MiB) with the store, s" % len(paths), "%.3f" % figures["large_s"], "")]
    print("%-46s %-18s %s" % ("", "Tovrin_LED_Test", "printf-only C program"))
    for row in rows:
        print("%-46s %-18s %s" % row)
    if not check:
        return 0
    bounds = [(ratio <= 2.5, "a run keeping nothing costs %.2fx the printf-only program, over 2.5x" % ratio),
              (figures["store"] <= 1500000, "a write with its store costs %d instructions" % figures["store"]),
              (figures["earlier"] < 1500000, "the first write to an earlier version's store costs %d instructions"
               % figures["earlier"]),
              (runs <= 4, "1,000 writes with the store take %.2fx as long, over 4x" % runs),
              (figures["large_s"] < 1, "the 1 MiB scenario with its store took %.3f s" % figures["large_s"])]
    for _, problem in [b for b in bounds if not b[0]]:
        print("FAIL: " + problem)
    return 0 if all(b[0] for b in bounds) else 1


if __name__ == "__main__":
    sys.exit(main())
