#!/usr/bin/python3
"""What the workflow does with the packages on a real Windows: unpacks them,
checks the SHA-256 of each file against its SHA256SUMS.txt, and runs each
exe through the windows lane of the case table, which has no LED device.
With --swdevice, the exes run together through the windows-swdevice lane
instead, each run under that helper (led_swdevice.exe), which gives Windows
a software LED device for it; --report keeps what they printed. Elsewhere
the exe, or the helper, runs through LEDTEST_WRAPPER, such as wine.
    smoke_package.py [--swdevice <led_swdevice.exe> [--report <folder>]] <package.zip>..."""
import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile

RUNNER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "run_cases.py")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--swdevice", help="led_swdevice.exe: run the windows-swdevice lane under it")
    parser.add_argument("--report", help="a folder for what the windows-swdevice runs printed")
    parser.add_argument("packages", nargs="+")
    args = parser.parse_args()
    failed = False
    exes = []
    with tempfile.TemporaryDirectory() as tmp:
        for package in args.packages:
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
            exes.append(os.path.join(folder, "Tovrin_LED_Test.exe"))
        if args.swdevice:
            lanes = [["windows-swdevice", "--helper", os.path.abspath(args.swdevice)] +
                     (["--report", args.report] if args.report else []) + [a for exe in exes for a in ("--tool", exe)]]
        else:
            lanes = [["windows", "--tool", exe] for exe in exes]
        for lane in lanes:
            sys.stdout.flush()  # The lines above before the lane's, into a pipe too.
            failed = subprocess.run([sys.executable, RUNNER] + lane).returncode != 0 or failed
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
