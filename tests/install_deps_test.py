#!/usr/bin/env python3
"""scripts/install-deps.sh against a fake apt-get: what it does when a mirror
is in mid-sync, and when a package truly cannot be installed."""
import os
import pathlib
import subprocess
import tempfile
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "install-deps.sh"
SECURITY_I386 = ("http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz")
MAIN_I386 = "http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz"

# The fakes: every package missing, root, and an apt-get whose update fails
# the first FAIL_UPDATES times for the index INDEX, and whose install fails
# the first FAIL_INSTALLS times. Each apt-get call is logged.
FAKES = {
    "dpkg-query": "exit 1",
    "dpkg": "echo i386",
    "id": "echo 0",
    "sleep": "exit 0",
    "apt-get": """
echo "$*" >>"$FAKE_LOG"
case "$*" in
*update*)
    if [ "$(grep -c update "$FAKE_LOG")" -le "$FAIL_UPDATES" ]; then
        echo "E: Failed to fetch $INDEX  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
        exit 100
    fi ;;
*install*)
    if [ "$(grep -c install "$FAKE_LOG")" -le "$FAIL_INSTALLS" ]; then
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100
    fi ;;
esac
""",
}


class MirrorInMidSync(unittest.TestCase):
    # failing updates, index, failing installs -> status, apt-get calls, stderr says
    CASES = [
        ("update passes", 0, MAIN_I386, 0, 0, ["update", "install"], []),
        ("update passes on the third try", 2, MAIN_I386, 0, 0, ["update"] * 3 + ["install"], []),
        ("an index stays missing, the install goes on", 9, SECURITY_I386, 0, 0, ["update"] * 3 + ["install"],
         ["apt-get update failed 3 times", SECURITY_I386]),
        ("security's index missing: one retry with it pinned below main", 9, SECURITY_I386, 1, 0,
         ["update"] * 3 + ["install", "install pinned"], ["retrying with bookworm-security below main"]),
        ("a package that cannot be installed stops it, with apt's reason", 9, SECURITY_I386, 2, 1,
         ["update"] * 3 + ["install", "install pinned"], ["held broken packages"]),
        ("no pinning when the missing index is not security's", 9, MAIN_I386, 1, 1,
         ["update"] * 3 + ["install"], ["held broken packages"]),
        ("no pinning when every index came", 0, MAIN_I386, 1, 1, ["update", "install"], ["held broken packages"]),
    ]

    def test_cases(self):
        for name, fail_updates, index, fail_installs, status, calls, says in self.CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                fakes = pathlib.Path(tmp)
                for fake, body in FAKES.items():
                    (fakes / fake).write_text("#!/bin/sh\n" + body)
                    (fakes / fake).chmod(0o755)
                log = fakes / "apt-get.log"
                env = dict(os.environ, PATH=f"{fakes}:{os.environ['PATH']}", FAKE_LOG=str(log), INDEX=index,
                           FAIL_UPDATES=str(fail_updates), FAIL_INSTALLS=str(fail_installs))
                run = subprocess.run(["bash", str(SCRIPT), "build"], env=env, capture_output=True, text=True,
                                     timeout=60, check=False)
                made = ["install pinned" if "preferences" in line else line.split()[0]
                        for line in log.read_text().splitlines()]
                self.assertEqual((run.returncode, made), (status, calls), run.stderr)
                for text in says:
                    self.assertIn(text, run.stderr)
                if not says:
                    self.assertEqual(run.stderr, "")


if __name__ == "__main__":
    unittest.main()
