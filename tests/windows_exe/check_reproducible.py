#!/usr/bin/python3
"""Builds both Windows exes and their packages again, in a copy of the
checkout in another folder, later, with the documented preset commands and
nothing exported, and compares the SHA-256 of each exe and zip with the
first build's. As root the second build runs as another user (nobody), and
always with another umask, as a second builder would.
    check_reproducible.py <checkout> <build tree of the windows preset>"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

NOBODY = 65534


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def as_second_builder():
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)
    os.umask(0o077)


def main():
    source, first = sys.argv[1:3]
    failed = False
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as tmp:
        copy = os.path.join(tmp, "checkout")
        shutil.copytree(source, copy, symlinks=True, ignore=shutil.ignore_patterns("build"))
        if os.geteuid() == 0:
            for folder, names, files in os.walk(tmp):
                for name in [folder] + [os.path.join(folder, n) for n in names + files]:
                    os.lchown(name, NOBODY, NOBODY)
        env = {"PATH": os.environ["PATH"], "HOME": tmp}
        for preset, arch in (("mingw", "x86"), ("mingw-x64", "x64")):
            for command in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset],
                            ["cpack", "--preset", preset]):
                subprocess.run(command, cwd=copy, env=env, preexec_fn=as_second_builder, check=True,
                               stdout=subprocess.DEVNULL)
            second = os.path.join(copy, "build", preset)
            for name in sorted(n for n in os.listdir(second) if n.endswith((".exe", ".zip"))):
                ours, theirs = os.path.join(first, "windows-" + arch, name), os.path.join(second, name)
                same = sha256(ours) == sha256(theirs)
                failed = failed or not same
                print("%s: %s %s" % ("ok" if same else "FAIL", name, "the same bytes" if same else
                                     "differs: %s against %s" % (sha256(theirs), sha256(ours))))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
