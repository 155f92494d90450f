#!/usr/bin/python3
"""The stand-in's process layer, through whole runs of the Linux tool: where
the brightness is kept and what concurrent runs do to it, the trace, and
every refusal, each a row. The tool's own output is checked elsewhere; here
a run must print what it prints keeping nothing.
    process_test.py <tool> <unlinked_lstat.so> [Kept|Refusals|Trace]    (those rows alone)
LEDTEST_WRAPPER, a command such as valgrind, runs every checked run of the
tool; a fixture's own runs, and all but one round of each kind of the
concurrent writers, run plainly."""
import contextlib
import hashlib
import os
import resource
import shlex
import shutil
import sqlite3
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import limited_run  # noqa: E402

TOOL = None
UNLINKED = None  # An lstat to interpose that sees LEDSIM_TEST_UNLINKED with no link.
WRAPPER = shlex.split(os.environ.get("LEDTEST_WRAPPER", ""))
ROOT = os.geteuid() == 0
DEVICE = None  # The default machine's device, as its path line shows it.
STORE_NAMES = ("", "-journal", "-wal", "-shm")
OTHERS_WRITE = (": the folder of the brightness store must be writable by you alone, not by others: keep the store "
                "in a folder of your own (mkdir -m 700)")
GROUP_WRITES = ": the folder of the brightness store must be writable by you alone, not by its group (chmod g-w)"
ABOVE_WRITABLE = ": a folder above the brightness store must be writable by its owner alone, unless sticky as /tmp is"
BUSY_LIMIT = "another run has held the brightness store for 0.5 s, the limit for waiting"
RUN_LIMIT = limited_run.RUN_LIMIT
# Runs statements on a database; killed after them, a writer leaves a -wal not checkpointed, or a hot journal.
SQL = "import os, sqlite3, sys\ndb = sqlite3.connect(sys.argv[1], isolation_level=None)\n" \
      "for s in sys.argv[3:]:\n    db.execute(s)\nos._exit(0) if sys.argv[2] == 'kill' else db.close()"
SPILL = ["PRAGMA cache_size = 1", "BEGIN"]  # Then a transaction too large for the cache: a hot journal.
MANY_ROWS = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
UNSTAMP = ("PRAGMA application_id = 0", "PRAGMA user_version = 0")
# A POSIX ACL (system.posix_acl_access) granting the user nobody rwx beside the owner: the group bits show its mask.
NOBODY_MAY_WRITE = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, perm, uid) for tag, perm, uid in (
    (0x01, 7, 0xFFFFFFFF), (0x02, 7, 65534), (0x04, 0, 0xFFFFFFFF), (0x10, 7, 0xFFFFFFFF), (0x20, 0, 0xFFFFFFFF)))


def tool_env(env):
    """Only the environment given, and what a wrapper or sanitizer needs."""
    return {**{k: v for k, v in os.environ.items() if k in ("PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS")}, **env}


def start(args, env, limits=None, plain=False, tool=None, **kw):
    """Starts the tool (or a copy of it), through the wrapper unless plain (a fixture's own runs)."""

    def limit():
        for which, value in (limits or {}).items():
            resource.setrlimit(which, (value, value))

    return limited_run.start(([] if plain else WRAPPER) + [tool or TOOL] + args, env=tool_env(env), capture_output=True,
                             preexec_fn=limit, **kw)


def finish(proc):
    """(status, standard output, standard error), the run killed with its process group after RUN_LIMIT."""
    done = limited_run.finish(proc, RUN_LIMIT)
    return done.returncode, done.stdout, done.stderr.decode()


def run(args, env, limits=None, **kw):
    return finish(start(args, env, limits, **kw))


def fixture(*sql, tool=True, kill=False, then=None):
    """Makes a database: a store of the tool's, or by hand, and runs statements on it; then what follows."""
    return lambda p: (tool and run(["w", "green", "5"], {"LEDSIM_STATE": p}, plain=True),
                      subprocess.run([sys.executable, "-c", SQL, p, "kill" if kill else "", *sql], check=True),
                      then and then(p))


def without_shm(p):
    os.remove(p + "-shm")


def needs_root(test, what):
    """CI runs as root: there a row that needs root fails rather than skip."""
    if not ROOT:
        (test.fail if os.environ.get("CI") else test.skipTest)(what + " needs root")


def snapshot(folder):
    """Every name in the folder, with a digest of each regular file but SQLite's shared memory."""
    paths = [os.path.join(top, name) for top, dirs, files in os.walk(folder) for name in dirs + files]
    regular = [p for p in paths if stat.S_ISREG(os.lstat(p).st_mode) and not p.endswith("-shm")]
    return {p: hashlib.sha256(contents(p)).hexdigest() if p in regular else None for p in paths}


def contents(path):
    with open(path, "rb") as f:
        return f.read()


def levels(store):
    with contextlib.closing(sqlite3.connect(store)) as db:
        return sorted(db.execute("SELECT * FROM brightness").fetchall())


class Folder(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR"))
        self.dir = self.tmp.name
        self.store = os.path.join(self.dir, "lab.db")
        self.written = run(["w", "green", "9"], {"LEDSIM_STATE": ""}, plain=True)[1]  # What a write prints.

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)


class Refusals(Folder):
    """A setup the machine cannot use stops the run before the tool, naming
    the file and leaving it as it was; what is only said lets the run go on."""

    def test_rows(self):
        s = self.store
        foreign = s if ROOT else "/etc/passwd"  # Only root can give a file away.
        scenario = self.write("bad.scn", b"interface A\nflash-all-leds\n")
        text = self.write("text.db", ("%s 1 2 3\n" % DEVICE).encode())
        with contextlib.closing(sqlite3.connect(self.path("cut.db"), isolation_level=None)) as db:
            db.execute("CREATE TABLE brightness (path TEXT PRIMARY KEY, a, b, c)")
            db.executemany("INSERT INTO brightness VALUES (?, 1, 2, 3)", [("x" * 200 + str(i),) for i in range(99)])
        with open(self.path("cut.db"), "r+b") as f:
            f.truncate(3 * 4096)
        with contextlib.closing(sqlite3.connect(self.path("other.db"), isolation_level=None)) as db:
            db.execute("CREATE TABLE bookmarks (url)")
        self.write("random.db", os.urandom(8192))
        plants = {
            "fifo": lambda p: os.mkfifo(p),
            "link": lambda p: os.symlink(self.write("victim", b"victim\n"), p),
            "hard link": lambda p: os.link(self.write("victim", b"victim\n"), p),
            "folder": lambda p: os.mkdir(p),
            "foreign": lambda p: (open(p, "w").close(), os.chown(p, 65534, 65534)) if ROOT else None,
            "nobody's": lambda p: (os.mkdir(p, 0o755), os.chown(p, 65534, 65534)) if ROOT else None,
            "acl": lambda p: (os.mkdir(p, 0o700), os.setxattr(p, "system.posix_acl_access", NOBODY_MAY_WRITE)),
            "empty": lambda p: open(p, "wb").close(),
        }
        plants.update({"0o%o" % m: lambda p, m=m: (os.mkdir(p), os.chmod(p, m)) for m in (0o777, 0o1777, 0o775)})
        plants.update({"%s above" % k: lambda p, k=k: (plants[k](p), os.mkdir(p + "/in", 0o700)) for k in plants})
        folder = lambda mode: ({"LEDSIM_STATE": self.path(mode + "/lab.db")}, (self.path(mode), mode))
        above = lambda kind: ({"LEDSIM_STATE": self.path(kind + " above/in/lab.db")},
                              (self.path(kind + " above"), kind + " above"))
        unlinked = {"LEDSIM_STATE": s, "LD_PRELOAD": UNLINKED, "LEDSIM_TEST_UNLINKED": s + "-shm",
                    "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
        rows = [
            # name, env, plant at a path, status, standard error after "ledsim: "
            ("unknown directive", {"LEDSIM_SCENARIO": scenario}, None, 2,
             scenario + ":2: unknown directive 'flash-all-leds'"),
            ("missing scenario", {"LEDSIM_SCENARIO": self.path("none.scn")}, None, 2,
             self.path("none.scn") + ": cannot read scenario: No such file or directory"),
            ("scenario is a folder", {"LEDSIM_SCENARIO": self.dir}, None, 2,
             self.dir + ": cannot read scenario: Is a directory"),
            ("scenario set but empty", {"LEDSIM_SCENARIO": ""}, None, 2,
             "LEDSIM_SCENARIO is set but empty: name a scenario file, or unset it"),
            ("scenario without end", {"LEDSIM_SCENARIO": "/dev/zero"}, None, 2,
             "/dev/zero: cannot read scenario: larger than 1 MiB, the limit for a scenario"),
            ("FIFO at the store", {"LEDSIM_STATE": s}, (s, "fifo"), 2,
             s + ": brightness store must be a regular file, not a FIFO"),
            ("link at the store", {"LEDSIM_STATE": s}, (s, "link"), 2,
             s + ": brightness store must be a regular file, not a symbolic link"),
            ("folder at the store", {"LEDSIM_STATE": s}, (s, "folder"), 2,
             s + ": brightness store must be a regular file, not a folder"),
            ("another user's store", {"LEDSIM_STATE": foreign}, (foreign, "foreign"), 2,
             foreign + ": brightness store must be your own file, not another user's"),
            ("device at the store", {"LEDSIM_STATE": "/dev/null"}, None, 2,
             "/dev/null: brightness store must be a regular file, not a device"),
            ("FIFO at its WAL", {"LEDSIM_STATE": s}, (s + "-wal", "fifo"), 2,
             s + "-wal: brightness store must be a regular file, not a FIFO"),
            ("link at its journal", {"LEDSIM_STATE": s}, (s + "-journal", "link"), 2,
             s + "-journal: brightness store must be a regular file, not a symbolic link"),
            ("hard link at the store", {"LEDSIM_STATE": s}, (s, "hard link"), 2,
             s + ": brightness store must be a regular file, not a hard link"),
            ("hard link at its WAL", {"LEDSIM_STATE": s}, (s + "-wal", "hard link"), 2,
             s + "-wal: brightness store must be a regular file, not a hard link"),
            ("a folder that others may write", *folder("0o777"), 2, self.path("0o777") + OTHERS_WRITE),
            ("a sticky folder, as /tmp is", *folder("0o1777"), 2, self.path("0o1777") + OTHERS_WRITE),
            ("a folder of your group", *folder("0o775"), 2, self.path("0o775") + GROUP_WRITES),
            ("a folder of yours with an ACL for another user", *folder("acl"), 2, self.path("acl") + GROUP_WRITES),
            ("a folder above of your group", *above("0o775"), 2, self.path("0o775 above") + ABOVE_WRITABLE),
            ("a folder above with an ACL for another user", *above("acl"), 2, self.path("acl above") + ABOVE_WRITABLE),
            ("a sticky folder above, as /tmp is", *above("0o1777"), 0, ""),
            ("a folder above of another user's", *above("nobody's"), 2,
             self.path("nobody's above") + ": a folder above the brightness store must be your own or root's, "
                                           "not another user's"),
            ("a name that another run is removing", unlinked, (s + "-shm", "empty"), 0, ""),
            ("another user's folder", *folder("nobody's"), 2,
             self.path("nobody's") + ": the folder of the brightness store must be your own or root's, "
                                     "not another user's"),
            ("another user's shared memory", {"LEDSIM_STATE": s}, (s + "-shm", "foreign") if ROOT else None,
             2 if ROOT else 0, s + "-shm: brightness store must be your own file, not another user's" if ROOT else ""),
            ("a text file", {"LEDSIM_STATE": text}, None, 2, text + ": not a brightness store: file is not a database"),
            ("a cut-off store", {"LEDSIM_STATE": self.path("cut.db")}, None, 2,
             self.path("cut.db") + ": not a brightness store: database disk image is malformed"),
            ("random bytes", {"LEDSIM_STATE": self.path("random.db")}, None, 2,
             self.path("random.db") + ": not a brightness store: file is not a database"),
            ("another program's database", {"LEDSIM_STATE": self.path("other.db")}, None, 2,
             self.path("other.db") + ": not a brightness store: it holds a table 'bookmarks'"),
            ("a read error", {"LEDSIM_STATE": "/proc/self/mem"}, None, 2,
             "/proc/self/mem: cannot use the brightness store: Input/output error"),
            ("a store that cannot be made", {"LEDSIM_STATE": self.path("none/lab.db")}, None, 0,
             "brightness not kept: %s: No such file or directory" % self.path("none/lab.db")),
            ("an empty file is an empty store", {"LEDSIM_STATE": self.write("empty.db", b"")}, None, 0, ""),
            ("a wait limit that is not whole milliseconds", {"LEDSIM_BUSY_WAIT_MS": "0.5"}, None, 2,
             "LEDSIM_BUSY_WAIT_MS must be a number of milliseconds from 0 to 3600000, not '0.5'"),
        ]
        for name, env, plant, status, err in rows:
            with self.subTest(name):
                if plant and plant[1].startswith("nobody's"):
                    needs_root(self, name)
                if plant and plant[0] != "/etc/passwd":
                    plants[plant[1]](plant[0])
                before = snapshot(self.dir)
                code, out, got = run(["w", "green", "9"], env)
                self.assertEqual((status, out if status else self.written, "ledsim: " + err + "\n" if err else ""),
                                 (code, out, got))
                if status:
                    self.assertEqual(before, snapshot(self.dir))
                    self.assertEqual([], [n for n in os.listdir("/dev") if n.startswith("null") and n != "null"])
                for p in [s + n for n in STORE_NAMES] + [self.path("victim")]:
                    if os.path.lexists(p):
                        (os.rmdir if os.path.isdir(p) and not os.path.islink(p) else os.remove)(p)

    def test_store_fixtures(self):
        # A file is a store of the tool's only with this version's stamp and exactly its table, or nothing yet.
        # A refused file without the project's stamp keeps its bytes and its companions; a stamped one is as
        # SQLite's recovery left it, no companion beside it. A store of earlier versions, unstamped, is stamped.
        hand, killed = {"tool": False}, {"kill": True}
        rows = [
            # name, how the file is made, status, and the level read or why it is not a brightness store
            ("a trigger", fixture("CREATE TRIGGER t AFTER UPDATE ON brightness BEGIN DELETE FROM brightness; END"), 2,
             "it holds a trigger 't'"),
            ("a level that is not an integer", fixture("UPDATE brightness SET green = 254.9"), 2,
             "the green level of '%s' is 254.9, not an integer from 0 to 255" % DEVICE),
            ("no CHECKs", fixture("CREATE TABLE brightness (path TEXT PRIMARY KEY, green INT, blue INT, keyback INT)",
                                  **hand), 2, "the table's types, constraints or CHECKs are not the tool's"),
            ("a view", fixture("CREATE VIEW brightness AS SELECT 'A' path, 1 green, 2 blue, 3 keyback", **hand), 2,
             "it holds a view 'brightness'"),
            ("no primary key", fixture("CREATE TABLE brightness (path, green, blue, keyback)", **hand), 2,
             "the table has no primary key"),
            ("an extra column", fixture("CREATE TABLE brightness (path PRIMARY KEY, green, blue, keyback, x NOT NULL)",
                                        **hand), 2,
             "the table has the columns (path, green, blue, keyback, x), not (path, green, blue, keyback)"),
            ("another program's id", fixture("PRAGMA application_id = 0x1234ABCD"), 2,
             "another program's database (application id 0x1234ABCD)"),
            ("another program's -wal, left by a killed writer", fixture(
                "PRAGMA journal_mode = WAL", "CREATE TABLE t (x)", "INSERT INTO t VALUES (1)", **hand, **killed), 2,
             "it holds a table 't'"),
            ("another program's -wal without its -shm", fixture(
                "PRAGMA journal_mode = WAL", "CREATE TABLE t (x)", "INSERT INTO t VALUES (1)", **hand, **killed,
                then=without_shm), 2, "it holds a table 't'"),
            ("another program's hot journal", fixture("CREATE TABLE t (x)", *SPILL, MANY_ROWS + "INSERT INTO t SELECT "
                                                      "randomblob(500) FROM n", **hand, **killed), 2,
             "a hot journal of another database: open it with its own program first"),
            ("its own -wal, left by a killed writer", fixture("UPDATE brightness SET green = 222", **killed), 0, 222),
            ("its own hot journal", fixture("PRAGMA journal_mode = DELETE", "UPDATE brightness SET green = 10", *SPILL,
                                            "UPDATE brightness SET green = 99", MANY_ROWS + "INSERT INTO brightness "
                                            "SELECT i || hex(randomblob(200)), 1, 2, 3 FROM n", **killed), 0, 10),
            ("after ANALYZE, PRAGMA optimize and VACUUM", fixture("ANALYZE", "PRAGMA optimize", "VACUUM"), 0, 5),
            ("a store of earlier versions", fixture(*UNSTAMP), 0, 5),
            ("a store of earlier versions, its -wal without its -shm", fixture(*UNSTAMP, then=fixture(
                "UPDATE brightness SET green = 77", tool=False, kill=True, then=without_shm)), 0, 77),
            ("a newer version's store", fixture("PRAGMA user_version = 2", "CREATE TABLE t (x)"), 2,
             "made by a newer version (schema 2); this one reads schema 1"),
            ("the latest schema there can be", fixture("PRAGMA user_version = 2147483647"), 2,
             "made by a newer version (schema 2147483647); this one reads schema 1"),
            ("the project's id with schema 0", fixture("PRAGMA user_version = 0"), 2,
             "schema 0, which no version makes; this one reads schema 1"),
            ("the project's id with schema -1", fixture("PRAGMA user_version = -1"), 2,
             "schema -1, which no version makes; this one reads schema 1"),
            ("no id, schema 7, nothing in it", fixture("PRAGMA user_version = 7", **hand), 2,
             "another program's database (user_version 7)"),
            ("its own -wal holding a trigger, left by a killed writer", fixture(
                "CREATE TRIGGER t AFTER UPDATE ON brightness BEGIN SELECT 1; END", **killed), 2, "it holds a trigger 't'"),
            ("a database with nothing in it", fixture("CREATE TABLE t (x)", "DROP TABLE t", **hand), 0, 0),
        ]
        for name, make, status, said in rows:
            with self.subTest(name):
                store = os.path.join(tempfile.mkdtemp(dir=self.dir), "lab.db")
                make(store)
                before = snapshot(os.path.dirname(store))
                code, out, err = run(["r", "green"], {"LEDSIM_STATE": store})
                if status:
                    stamped = contents(store)[68:72] == b"LEDS"
                    self.assertEqual((2, b"", "ledsim: %s: not a brightness store: %s\n" % (store, said)),
                                     (code, out, err))
                    after = snapshot(os.path.dirname(store))
                    self.assertEqual([store] if stamped else before, list(after) if stamped else after)
                else:
                    self.assertEqual((0, b"Brightness == %d" % said, ""), (code, out.splitlines()[-1], err))
                    self.assertNotEqual(b"\0" * 4, contents(store)[68:72], "not stamped")
                    self.assertFalse(os.path.exists(store + "-journal"), "a hot journal not rolled back")

    def test_file_size_limit(self):
        trace = self.path("trace")
        rows = [
            # A limit below what SQLite's shared memory takes: the store cannot be used.
            ({"LEDSIM_STATE": self.store}, 4096, 2, b"",
             "ledsim: %s: cannot use the brightness store: File too large\n" % self.store),
            # The trace cut short by the limit is said once; the run goes on.
            ({"LEDSIM_STATE": "", "LEDSIM_TRACE": trace}, 256, 0, self.written,
             "ledsim: trace not written: %s: File too large\n" % trace),
        ]
        for env, limit, status, out, err in rows:
            with self.subTest(limit=limit):
                self.assertEqual((status, out, err), run(["w", "green", "9"], env, {resource.RLIMIT_FSIZE: limit}))


class Kept(Folder):
    """Where the levels are kept, and that they come back."""

    def test_default_store(self):
        home, state, other, file = self.path("home"), self.path("state"), self.path("other"), self.write("file", b"")
        kept = "ledsim: brightness not kept: %s is %s: %s\n"
        rows = [
            ("XDG_STATE_HOME", {"HOME": home, "XDG_STATE_HOME": state}, state + "/ledsim/state.db", ""),
            ("HOME", {"HOME": home}, home + "/.local/state/ledsim/state.db", ""),
            ("XDG_STATE_HOME not absolute", {"HOME": home, "XDG_STATE_HOME": "state"},
             home + "/.local/state/ledsim/state.db", ""),
            ("neither", {"XDG_STATE_HOME": "state"}, None,
             "ledsim: brightness not kept: neither XDG_STATE_HOME nor HOME names a folder\n"),
            ("LEDSIM_STATE empty", {"HOME": home, "LEDSIM_STATE": ""}, None, ""),
            # A home that cannot hold the store is as if there were none.
            ("HOME a file", {"HOME": file}, None, kept % ("HOME", file, file + "/.local: Not a directory")),
            ("XDG_STATE_HOME /dev/null", {"HOME": home, "XDG_STATE_HOME": "/dev/null"}, None,
             kept % ("XDG_STATE_HOME", "/dev/null", "/dev/null/ledsim: Not a directory")),
            ("HOME another user's", {"HOME": other}, None, kept % ("HOME", other, other + ": a folder above the "
                                                                   "brightness store must be your own or root's, "
                                                                   "not another user's")),
        ]
        for name, env, store, said in rows:
            with self.subTest(name):
                if env.get("HOME") == other:
                    needs_root(self, name)
                    os.mkdir(other)
                    os.chown(other, 65534, 65534)
                run(["w", "blue", "128"], env)
                code, out, err = run(["r", "blue"], env)
                self.assertEqual((0, said), (code, err))
                self.assertTrue(out.endswith(b"Brightness == %d\n" % (128 if store else 0)), out)
                if store:
                    self.assertEqual([(DEVICE, 0, 128, 0)], levels(store))
                    folder = os.path.dirname(store)
                    while folder != self.dir:
                        self.assertEqual(0o700, stat.S_IMODE(os.stat(folder).st_mode), folder)
                        folder = os.path.dirname(folder)
                    self.assertEqual(0o600, stat.S_IMODE(os.stat(store).st_mode))
                    self.assertEqual(["state.db"], os.listdir(os.path.dirname(store)))
                    os.remove(store)

    def test_machines_share_a_store(self):
        # A path comes back from the store as the scenario gave it.
        lab_device = "\\\\?\\caf\u00e9\u20ac#\U0001F4A1#A"
        scenario = self.write("lab.scn", ("interface %s green=5 blue=6\n" % lab_device).encode())
        bystanders = [self.write("lab.db.saving-backup", b"mine\n"), self.write("lab.db.lock", b"mine\n")]
        default, lab = {"LEDSIM_STATE": self.store}, {"LEDSIM_STATE": self.store, "LEDSIM_SCENARIO": scenario}
        run(["w", "keyback", "7"], default)
        self.assertTrue(run(["r", "green"], lab)[1].endswith(b"Brightness == 5\n"), "the scenario's level")
        run(["w", "blue", "60"], lab)
        self.assertEqual([(DEVICE, 0, 0, 7), (lab_device, 5, 60, 0)], levels(self.store))
        # A scenario keeps nothing without LEDSIM_STATE, and a kept level wins over its own.
        self.assertTrue(run(["r", "blue"], {"LEDSIM_SCENARIO": scenario})[1].endswith(b"Brightness == 6\n"))
        self.assertTrue(run(["r", "blue"], lab)[1].endswith(b"Brightness == 60\n"))
        for p in bystanders:
            self.assertEqual(b"mine\n", contents(p))

    def test_concurrent_writes_are_all_kept(self):
        # Three writers at once on one store, each to its own channel, round
        # after round: on a store that does not exist yet, on one in rollback
        # mode that each of them switches to WAL, and on one that earlier
        # versions left unstamped, which each of them looks at first.
        writes = [["w", "green", "11"], ["w", "blue", "22"], ["w", "keyback", "33"]]
        # Under the wrapper, one round of each kind: its paths, not its races.
        for round_ in range(3 if WRAPPER else 12):
            with self.subTest(round=round_):
                for name in STORE_NAMES:
                    if os.path.exists(self.store + name):
                        os.remove(self.store + name)
                if round_ % 3:
                    run(["r", "green"], {"LEDSIM_STATE": self.store})
                    with contextlib.closing(sqlite3.connect(self.store)) as db:
                        db.executescript(["", "PRAGMA journal_mode = DELETE", ";".join(UNSTAMP)][round_ % 3])
                runs = [start(w, {"LEDSIM_STATE": self.store}) for w in writes]
                self.assertEqual([(0, "")] * 3, [finish(r)[::2] for r in runs])
                self.assertEqual([(DEVICE, 11, 22, 33)], levels(self.store))

    def test_busy_store(self):
        # Another connection holds the store: at the load the run stops, at
        # the write the level is not kept; each after waiting its limit.
        env = {"LEDSIM_STATE": self.store, "LEDSIM_BUSY_WAIT_MS": "500"}
        run(["w", "green", "1"], env, plain=True)
        rows = [("PRAGMA locking_mode = EXCLUSIVE", 2, b"", "ledsim: %s: %s\n" % (self.store, BUSY_LIMIT)),
                ("SELECT 1", 0, self.written, "ledsim: brightness not kept: %s: database is locked\n" % self.store)]
        for pragma, status, out, err in rows:
            with self.subTest(pragma):
                holder = sqlite3.connect(self.store, isolation_level=None)
                holder.execute(pragma)
                holder.execute("BEGIN EXCLUSIVE")
                started = time.monotonic()
                self.assertEqual((status, out, err), run(["w", "green", "9"], env))
                self.assertGreaterEqual(time.monotonic() - started, 0.5)
                holder.close()
                self.assertEqual([(DEVICE, 1, 0, 0)], levels(self.store))

    def test_store_it_cannot_write(self):
        # Read, and each write says why it is not kept; nothing made or left beside the store.
        needs_root(self, "mounting a file system")
        # The user nobody needs a way to the mount and the tool: the checkout
        # may lie in a folder closed to others, as /root is.
        reachable = tempfile.TemporaryDirectory(dir="/tmp")
        self.addCleanup(reachable.cleanup)
        os.chmod(reachable.name, 0o711)
        tool = shutil.copy(TOOL, reachable.name)
        mount = os.path.join(reachable.name, "mount")
        os.mkdir(mount)
        store, kept = os.path.join(mount, "lab.db"), "ledsim: brightness not kept: %s: %s\n"
        read_only = lambda: subprocess.run(["mount", "-o", "remount,ro", mount], check=True)
        full = lambda: subprocess.run(["dd", "if=/dev/zero", "of=" + mount + "/fill"], stderr=subprocess.DEVNULL)
        rows = [("a read-only mount", read_only, "Read-only file system", store, {}),
                ("a read-only mount, no store yet", read_only, "Read-only file system", mount + "/new.db", {}),
                ("a full disk", full, "No space left on device", store, {}),
                ("no write permission", lambda: os.chmod(store, 0o400), "Permission denied", store,
                 {"user": 65534, "tool": tool}),
                ("a folder without write permission", lambda: os.chmod(mount, 0o555), "Permission denied", store,
                 {"user": 65534, "tool": tool})]
        for name, prepare, reason, path, user in rows:
            with self.subTest(name):
                subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0700", "tmpfs", mount], check=True)
                try:
                    os.chown(mount, user.get("user", 0), -1)
                    run(["w", "green", "42"], {"LEDSIM_STATE": store}, plain=True, **user)
                    prepare()
                    before = snapshot(mount)
                    code, out, err = run(["r", "green"], {"LEDSIM_STATE": path}, **user)
                    self.assertEqual((0, b"Brightness == %d" % (42 if path == store else 0), ""),
                                     (code, out.splitlines()[-1], err))
                    self.assertEqual((0, self.written, kept % (path, reason)),
                                     run(["w", "green", "9"], {"LEDSIM_STATE": path}, **user))
                    self.assertEqual(before, snapshot(mount))
                finally:
                    subprocess.run(["umount", mount], check=True)


class Trace(Folder):
    """The trace: every call a line, never at the cost of the run."""

    def lines(self, scenario_lines, env, reader):
        scenario = self.write("t.scn", "".join("interface \\\\?\\T#%d detail-error=31\n" % i
                                               for i in range(scenario_lines)).encode())
        return run(["r", "green"], {"LEDSIM_STATE": "", "LEDSIM_SCENARIO": scenario, **env}, pass_fds=reader)

    def test_readers_get_every_line(self):
        # A FIFO whose reader starts late: the pipe fills, and the run waits.
        fifo = self.path("trace.fifo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        held = os.open(fifo, os.O_WRONLY)  # No end of file before the run has begun.
        os.set_blocking(reader, True)
        got = []

        def read_late():
            time.sleep(1)
            with os.fdopen(reader, "rb") as f:
                got.append(f.read())

        thread = threading.Thread(target=read_late)
        thread.start()
        code, _, err = self.lines(3000, {"LEDSIM_TRACE": fifo}, ())
        os.close(held)
        thread.join()
        self.assertEqual((0, "", 9004), (code, err, got[0].count(b"\n")))
        # A pipe from the shell's >(...), and standard error, through their links.
        read_end, write_end = os.pipe()
        code, _, err = self.lines(2, {"LEDSIM_TRACE": "/dev/fd/%d" % write_end}, (write_end,))
        os.close(write_end)
        self.assertEqual((0, "", 10), (code, err, os.read(read_end, 65536).count(b"\n")))
        os.close(read_end)
        code, _, err = self.lines(2, {"LEDSIM_TRACE": "/dev/stderr"}, ())
        self.assertEqual((0, 10), (code, err.count("\n")))
        self.assertTrue(err.startswith("CLSIDFromString"), err)

    def test_refused_traces(self):
        fifo, link = self.path("trace.fifo"), self.path("trace.link")
        scenario = self.write("lab.scn", ("interface %s\n" % DEVICE).encode())
        os.symlink(scenario, self.path("scenario.link"))
        os.mkfifo(fifo)
        os.symlink(self.write("victim", b"victim\n"), link)
        if ROOT:  # Only root can make a link another user owns.
            os.lchown(link, 65534, 65534)
        store, default = "trace must not be a file of the brightness store", self.path("h/.local/state/ledsim/state.db")
        keeping_nothing = [{"HOME": self.path("h")}, {"HOME": self.path("h"), "LEDSIM_STATE": ""}]
        rows = [
            (self.path("none/trace"), "No such file or directory", {}),
            (fifo, "a FIFO with no reader", {}),
            ("/dev/full", "No space left on device", {}),
            (self.store, store, {}),
            (self.store + "-wal", store, {}),
            (scenario, "trace must not be the scenario", {}),
            (self.path("scenario.link"), "trace must not be the scenario", {}),
        ] + [(link, "trace must not be another user's symbolic link", {})] * ROOT + [
            # The default store too, whatever the run keeps.
            (default + suffix, store, env) for suffix in ("", "-wal") for env in keeping_nothing]
        for trace, reason, env in rows:
            with self.subTest(trace, **env):
                kept = {"LEDSIM_STATE": self.store} if not env else env
                code, out, err = run(["w", "green", "9"], {**kept, "LEDSIM_TRACE": trace, "LEDSIM_SCENARIO": scenario})
                self.assertEqual((0, self.written, "ledsim: trace not written: %s: %s\n" % (trace, reason)),
                                 (code, out, err))
                if env:
                    self.assertFalse(os.path.exists(trace), "the trace made a file of the default store")
                else:
                    self.assertEqual([(DEVICE, 9, 0, 0)], levels(self.store))
                self.assertEqual((b"victim\n", "interface %s\n" % DEVICE), (contents(self.path("victim")),
                                                                             contents(scenario).decode()))


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    UNLINKED = os.path.abspath(sys.argv.pop(1))
    DEVICE = run(["r", "green"], {"LEDSIM_STATE": ""}, plain=True)[1].decode().splitlines()[2].strip()
    unittest.main()
