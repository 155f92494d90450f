"""A Wine prefix of one's own, in a folder of one's own: how this machine runs
Wine's 32-bit programs (wine_route.sh), the prefix and its wineserver, and
runs whose writes to standard output are counted under strace. No pipe is
waited on to its end: a wineserver or service a run starts keeps it open."""
import os
import subprocess
import sys
import types

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import limited_run  # noqa: E402

WINE_DIR = "/usr/lib/wine"
ROUTE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine_route.sh")
TIMEOUT = 120


def route(function, *args):
    """Calls a function of wine_route.sh; (succeeded, what it printed)."""
    done = subprocess.run(["bash", "-c", 'source "$0" && "$@"', ROUTE, function, *args],
                          capture_output=True, text=True)
    return done.returncode == 0, done.stdout.strip()


def open_session(folder, arch, loader64=False):
    """A session in folder (which must exist) for a WINEARCH of arch. With
    loader64 its programs run on Wine's 64-bit loader alone; otherwise on
    Wine's usual one, whose 32-bit half runs under qemu-i386 where the
    kernel runs no i386 code. Raises RuntimeError naming what is missing."""
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH=arch,
               WINEPREFIX=os.path.join(folder, "pfx"), TMPDIR=os.path.join(folder, "wine-tmp"))
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINELOADER"):
        env.pop(name, None)
    os.mkdir(env["TMPDIR"])  # Wine's wineserver folders go with the session.
    if loader64:
        env["WINELOADER"] = WINE_DIR + "/wine64"
        version = subprocess.run([WINE_DIR + "/wine64", "--version"], capture_output=True, text=True).stdout
        return types.SimpleNamespace(folder=folder, env=env, wine=[WINE_DIR + "/wine64"],
                                     how="Wine: %s, on its 64-bit loader alone" % version.strip())
    ok, way = route("wine_i386_route")
    if not ok:
        raise RuntimeError("missing " + way)
    if way != "native":
        ok, loader = route("make_qemu_loader", way, os.path.join(folder, "loader"))
        if not ok:
            raise RuntimeError("the loader folders for qemu-i386: " + loader)
        env["PATH"] = loader + ":" + env["PATH"]
    return types.SimpleNamespace(folder=folder, env=env, wine=["wine"], how=route("wine_route_line", way)[1])


def wine(session, *args):
    """Runs a Windows program (or a Wine tool) to its end; (status, output
    with standard error, CRs dropped)."""
    log = os.path.join(session.folder, "wine.log")
    with open(log, "wb") as out:
        status = limited_run.run(session.wine + list(args), TIMEOUT, env=session.env, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT).returncode
    with open(log, "rb") as f:
        return status, f.read().decode("utf-8", "replace").replace("\r", "")


def restart(session):
    """A new persistent wineserver, which reloads the prefix's drivers. -p
    does nothing while the old one still winds down, and then every later
    run would start and stop a server of its own."""
    for flag in ("-k", "-w", "-p"):
        subprocess.run(["wineserver", flag], env=session.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def boot(session):
    """Makes the prefix. A service installed in the wineserver session that
    made it does not start: the session starts afresh after it."""
    status, output = wine(session, "wineboot", "-i")
    restart(session)
    if status == 0:
        status, output = wine(session, "wineboot")
    if status != 0:
        raise RuntimeError("wineboot: " + output)


def close(session):
    subprocess.run(["wineserver", "-k"], env=session.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def traced_run(session, args, into):
    """Runs a Windows program under strace with standard output a named pipe
    (into="pipe") or a file (into="file"); (status, output, standard error,
    writes to standard output)."""
    out = os.path.join(session.folder, "stdout." + into)
    trace, err = out + ".strace", out + ".err"
    if os.path.exists(out):
        os.remove(out)
    if into == "pipe":
        os.mkfifo(out)
        reader = os.open(out, os.O_RDONLY | os.O_NONBLOCK)
        writer = os.open(out, os.O_WRONLY)
    else:
        reader, writer = None, os.open(out, os.O_WRONLY | os.O_CREAT, 0o644)
    # The limit is outside strace, which waits for any service the run starts.
    command = ["timeout", str(TIMEOUT), "strace", "--seccomp-bpf", "-f", "-qq", "-y", "-e",
               "trace=write,writev,pwrite64", "-o", trace] + session.wine + list(args)
    with open(err, "wb") as errors:
        status = subprocess.run(command, env=session.env, stdin=subprocess.DEVNULL, stdout=writer,
                                stderr=errors).returncode
    os.close(writer)
    output = b""
    if reader is not None:
        # The pipe holds the whole output by now; its end may never come.
        try:
            while chunk := os.read(reader, 65536):
                output += chunk
        except BlockingIOError:
            pass
        os.close(reader)
    else:
        with open(out, "rb") as f:
            output = f.read()
    with open(trace, errors="replace") as f:
        writes = sum(1 for line in f if "<%s>" % out in line)
    with open(err, "rb") as f:
        return status, output, f.read(), writes
