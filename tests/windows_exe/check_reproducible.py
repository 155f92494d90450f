#!/usr/bin/python3
"""Builds both Windows exes and their packages from two fresh clones of the
checkout's HEAD, as two builders of a release's tag would, with the
documented preset commands and nothing exported, and compares the SHA-256
of each exe and zip:
- one clone carries a lightweight tag v<version> (as actions/checkout leaves
  a tag push) and is built by the stage's user, in TMPDIR;
- the other an annotated one, with core.autocrlf=true (Git for Windows'
  default), in a fresh folder under /tmp, so that it is within reach
  wherever the checkout lies; as root it is owned by and built as nobody,
  and always with umask 077.
Where the stage's own build names the same commit text (a tagged checkout,
as on a release), its exes and zips must match too.
    check_reproducible.py <checkout> <build tree of the windows preset> <version>"""
import concurrent.futures
import hashlib
import os
import subprocess
import sys
import tempfile

NOBODY = 65534
PRESETS = (("mingw", "windows-x86"), ("mingw-x64", "windows-x64"))
TAGGER = ["-c", "user.name=check_reproducible", "-c", "user.email=check_reproducible@localhost"]


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def clone(source, folder, options, tag):
    """A fresh clone of the checkout's HEAD in folder/checkout, made with the
    options given, its one tag made by the tag command given."""
    checkout = os.path.join(folder, "checkout")
    # The checkout may belong to another user (CI's runner): reading it is
    # what this test is for.
    trust = os.path.join(folder, "trust.gitconfig")
    with open(trust, "w") as f:
        f.write("[safe]\n\tdirectory = *\n")
    subprocess.run(["git", "-c", "advice.detachedHead=false", "clone", "--quiet", "--no-local", "--no-tags"]
                   + options + [source, checkout], env=dict(os.environ, GIT_CONFIG_GLOBAL=trust), check=True)
    subprocess.run(["git", "-C", checkout] + TAGGER + ["tag"] + tag, check=True)
    os.remove(trust)
    return checkout


def build(checkout, home, user=None, umask=-1):
    """Both presets' configure, build and pack, as the user given."""
    for preset, _ in PRESETS:
        for command in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset],
                        ["cpack", "--preset", preset]):
            run = subprocess.run(command, cwd=checkout, env={"PATH": os.environ["PATH"], "HOME": home},
                                 user=user, group=user, extra_groups=[] if user else None, umask=umask,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if run.returncode != 0:
                raise RuntimeError("%s in %s failed:\n%s" % (" ".join(command), checkout, run.stdout))


def main():
    source, stage, version = sys.argv[1:4]
    tag = "v" + version
    root = os.geteuid() == 0
    failed = False
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as near, \
            tempfile.TemporaryDirectory(dir="/tmp") as far:
        light = clone(source, near, [], [tag])
        annotated = clone(source, far, ["-c", "core.autocrlf=true"], ["-a", "-m", tag, tag])
        if root:
            for folder, names, files in os.walk(far):
                for name in [folder] + [os.path.join(folder, n) for n in names + files]:
                    os.lchown(name, NOBODY, NOBODY)
        # One builder a core.
        with concurrent.futures.ThreadPoolExecutor(2) as builders:
            for done in [builders.submit(build, light, near),
                         builders.submit(build, annotated, far, NOBODY if root else None, 0o077)]:
                done.result()
        for preset, folder in PRESETS:
            builds = {"the lightweight tag's clone": os.path.join(light, "build", preset),
                      "the annotated tag's clone": os.path.join(annotated, "build", preset)}
            header = os.path.join("generated", "led_commit.h")
            ours = os.path.join(stage, folder)
            with open(os.path.join(ours, header)) as a, open(os.path.join(light, "build", preset, header)) as b:
                if a.read() == b.read():
                    builds["the stage's build"] = ours
            for name in sorted(n for n in os.listdir(builds["the lightweight tag's clone"])
                               if n.endswith((".exe", ".zip"))):
                sums = {who: sha256(os.path.join(path, name)) for who, path in builds.items()}
                same = len(set(sums.values())) == 1
                failed = failed or not same
                found = ("the same bytes from " + ", ".join(builds) if same else
                         "; ".join("%s from %s" % (digest, who) for who, digest in sums.items()))
                print("%s: %s %s: %s" % ("ok" if same else "FAIL", preset, name, found))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
