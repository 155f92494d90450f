#!/usr/bin/python3
"""Builds both Windows exes and their packages from two fresh clones of the
checkout's HEAD with the documented preset commands and nothing exported, as
two builders of a release's tag would, and compares the SHA-256 of each exe
and zip (and the stage's own, where it names the same commit text, as on a
release). BUILDERS says how the two differ: the second's folder is under
/tmp, within reach wherever the checkout lies. Then the commit check of
check_windows_exe.py on the tagged packages, the release job's included
(NAMED_COMMITS).
    check_reproducible.py <checkout> <build tree of the windows preset> <version>"""
import concurrent.futures
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import limited_run  # noqa: E402

NOBODY = 65534
PRESETS = (("mingw", "windows-x86"), ("mingw-x64", "windows-x64"))
STEP_LIMIT = 120  # Seconds for one clone or build step, about 5 on 2 idle cores.
# Each builder: its clone's options, its tag command, where its folder lies,
# and whether it is another user (as root) with umask 077.
BUILDERS = (("the lightweight tag's clone", [], ["tag"], os.environ.get("TMPDIR"), False),
            ("the annotated tag's clone", ["-c", "core.autocrlf=true"], ["tag", "-a", "-m", "tag"], "/tmp", True))
CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_windows_exe.py")
# check_windows_exe.py on both packages of the lightweight tag's clone, whose
# exes name the tag and HEAD: given a release's tag and commit, as the
# release job gives them, or a source folder. Each row: what, the arguments,
# and whether it passes; one that fails must fail on the Comments.
NAMED_COMMITS = (("the tag and its commit", ["--release", "{tag}", "--commit", "{head}"], True),
                 ("another commit", ["--release", "{tag}", "--commit", "f" * 40], False),
                 ("another version's tag", ["--release", "{tag}.1", "--commit", "{head}"], False),
                 ("the clone as the source", ["--source", "{clone}"], True),
                 ("an export inside the clone as the source", ["--source", "{clone}/export"], False))


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def clone_and_build(source, tag, folder, options, tag_command, other):
    """A fresh clone of the checkout's HEAD with one tag, and both presets'
    configure, build and pack in it; their build folders."""
    checkout, trust = os.path.join(folder, "checkout"), os.path.join(folder, "trust.gitconfig")
    # The checkout may belong to another user (CI's runner): reading it is
    # what this test is for.
    with open(trust, "w") as f:
        f.write("[safe]\n\tdirectory = *\n")
    user = NOBODY if other and os.geteuid() == 0 else None
    steps = [(["git", "-c", "advice.detachedHead=false", "clone", "--quiet", "--no-local", "--no-tags"] + options
              + [source, checkout], {"env": dict(os.environ, GIT_CONFIG_GLOBAL=trust)}),
             (["git", "-C", checkout, "-c", "user.name=check", "-c", "user.email=check@localhost"] + tag_command
              + [tag], {})]
    steps += [(["chown", "-R", "%d:%d" % (user, user), folder], {})] if user else []
    for preset, _ in PRESETS:
        steps += [(command, {"cwd": checkout, "env": {"PATH": os.environ["PATH"], "HOME": folder}, "user": user,
                             "group": user, "extra_groups": [] if user else None, "umask": 0o077 if other else -1})
                  for command in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset],
                                  ["cpack", "--preset", preset])]
    for command, options in steps:
        run = limited_run.run(command, STEP_LIMIT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              **options)
        if run.returncode != 0:
            raise RuntimeError("%s in %s failed:\n%s" % (" ".join(command), folder, run.stdout))
    return {preset: os.path.join(checkout, "build", preset) for preset, _ in PRESETS}


def check_named_commits(builds, version):
    """The rows of NAMED_COMMITS on the clone of builds; whether each went as
    it says."""
    checkout = os.path.dirname(os.path.dirname(builds["mingw"]))
    head = subprocess.run(["git", "-C", checkout, "rev-parse", "HEAD"], capture_output=True, text=True, check=True)
    values = {"tag": "v" + version, "head": head.stdout.strip(), "clone": checkout}
    # All that the check reads of an export is the script that names the commit.
    shutil.copytree(os.path.join(checkout, "cmake"), os.path.join(checkout, "export", "cmake"))
    ok = True
    for what, arguments, passes in NAMED_COMMITS:
        for (preset, _), machine in zip(PRESETS, ([], ["--x64"])):
            run = limited_run.run([sys.executable, CHECK, "--version", version] + machine
                                  + [a.format(**values) for a in arguments] + glob.glob(builds[preset] + "/*.zip"),
                                  STEP_LIMIT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            right = (run.returncode == 0) == passes and (passes or "Comments" in run.stdout)
            ok = ok and right
            print("%s: %s, %s: %s" % ("ok" if right else "FAIL", preset, what, "passes" if passes else "fails")
                  + ("" if right else ", not so:\n" + run.stdout))
    return ok


def main():
    source, stage, version = sys.argv[1:4]
    failed = False
    with tempfile.TemporaryDirectory(dir=BUILDERS[0][3]) as near, tempfile.TemporaryDirectory(dir="/tmp") as far:
        # One builder a core.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            runs = {name: pool.submit(clone_and_build, source, "v" + version, folder, options, command, other)
                    for (name, options, command, _, other), folder in zip(BUILDERS, (near, far))}
            builds = {name: run.result() for name, run in runs.items()}
        header = os.path.join("generated", "led_commit.h")
        for preset, folder in PRESETS:
            folders = {name: found[preset] for name, found in builds.items()}
            ours = os.path.join(stage, folder)
            with open(os.path.join(ours, header)) as a, open(os.path.join(folders[BUILDERS[0][0]], header)) as b:
                if a.read() == b.read():
                    folders["the stage's build"] = ours
            for name in sorted(n for n in os.listdir(folders[BUILDERS[0][0]]) if n.endswith((".exe", ".zip"))):
                sums = {who: sha256(os.path.join(path, name)) for who, path in folders.items()}
                same = len(set(sums.values())) == 1
                failed = failed or not same
                found = ("the same bytes from " + ", ".join(folders) if same else
                         "; ".join("%s from %s" % (digest, who) for who, digest in sums.items()))
                print("%s: %s %s: %s" % ("ok" if same else "FAIL", preset, name, found))
        failed = not check_named_commits(builds[BUILDERS[0][0]], version) or failed
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
