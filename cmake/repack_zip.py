#!/usr/bin/python3
"""Rewrites zips so that their bytes depend only on what they hold: entries in
name order, each dated at one time (seconds since 1970, UTC), with no owner,
and the mode 0755 for an exe and 0644 for the rest.
    repack_zip.py <time> <zip>..."""
import os
import sys
import time
import zipfile

stamp = time.gmtime(int(sys.argv[1]))[:6]
for path in sys.argv[2:]:
    with zipfile.ZipFile(path) as packed:
        entries = sorted((entry.filename, packed.read(entry)) for entry in packed.infolist() if not entry.is_dir())
    with zipfile.ZipFile(path + ".new", "w") as repacked:
        for name, data in entries:
            entry = zipfile.ZipInfo(name, stamp)
            entry.create_system = 3  # Unix, for the modes.
            entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
            repacked.writestr(entry, data, zipfile.ZIP_DEFLATED, 9)
    os.replace(path + ".new", path)
