#!/usr/bin/python3
"""led_swdevice.exe where cfgmgr32.dll has none of the SwDevice functions, as
in Wine 8: it must name them and exit with 3 without running its command,
here the x64 tool, which would print its discovery lines, given as the
windows-swdevice lane gives it, waits included. It runs on Wine's 64-bit
loader, in a prefix of its own.
    swdevice_wine.py <the windows preset's x64 build folder>"""
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.dirname(HERE), os.path.join(os.path.dirname(HERE), "wine")]
import wine_session  # noqa: E402
import windows_lanes  # noqa: E402

MISSING = "cfgmgr32.dll lacks SwDeviceCreate SwDeviceInterfaceRegister SwMemFree SwDeviceClose"


def main():
    folder = sys.argv[1]
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as tmp:
        session = wine_session.open_session(tmp, "win64", loader64=True)
        try:
            helper = os.path.join(folder, "tests", "windows", "led_swdevice.exe")
            command = windows_lanes.swdevice_command(helper, [os.path.join(folder, "Tovrin_LED_Test.exe"), "r", "green"])
            status, output = wine_session.wine(session, *command)
        finally:
            wine_session.close(session)
    print(output, end="")
    ran = "Successfully created device information set." in output
    ok = status == 3 and MISSING in output and not ran
    print("%s: status %d (3), the missing functions %s, the command %s" % (
        "ok" if ok else "FAIL", status, "named" if MISSING in output else "NOT NAMED", "RAN" if ran else "not run"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
