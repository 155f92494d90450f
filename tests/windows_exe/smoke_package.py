#!/usr/bin/python3
"""What the workflow does with a package on a real Windows: unpacks it, checks
the SHA-256 of each file against its SHA256SUMS.txt, and runs its exe through
the windows lane of the case table, which has no LED device. Elsewhere the
exe runs through LEDTEST_WRAPPER, such as wine.
    smoke_package.py <package.zip>..."""
import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile

RUNNER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "run_cases.py")


def main():
    failed = False
    for package in sys.argv[1:]:
        with tempfile.TemporaryDirectory() as tmp:
            with zipfile.ZipFile(package) as packed:
                packed.extractall(tmp)
            folder = os.path.join(tmp, os.path.basename(package)[:-len(".zip")])
            with open(os.path.join(folder, "SHA256SUMS.txt")) as sums:
                for line in sums:
                    digest, name = line.rstrip("\n").split("  ", 1)
                    with open(os.path.join(folder, name), "rb") as f:
                        right = hashlib.sha256(f.read()).hexdigest() == digest
                    failed = failed or not right
                    print("%s: %s: %s" % ("ok" if right else "FAIL", package, name))
            exe = os.path.join(folder, "Tovrin_LED_Test.exe")
            failed = subprocess.run([sys.executable, RUNNER, "windows", "--tool", exe]).returncode != 0 or failed
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
