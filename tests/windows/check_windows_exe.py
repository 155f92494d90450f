#!/usr/bin/python3
"""Checks the cross-built Windows exes, the tool and the checker, as a release
engineer would, from Linux. Each exe, by its name:
32-bit x86 (PE32), console subsystem 6.0 (Vista), system DLL imports only
(its own set), the manifest resource with its three settings, the version
resource (the version CMake gives, its own names, the architecture, and with
--source exactly the
commit text cmake/led_commit.cmake gives for the checkout: under CI a known
commit, and a clean tree when built and now; with --release <tag> --commit
<sha> instead, exactly "Built from commit <tag>-0-g<first 12 hex of sha>", as
the exes of a release must say), printf from the Windows C
runtime (msvcrt.dll) rather than mingw-w64's replacement, its size bound,
and the mitigations a Windows security review checks: ASLR (DYNAMIC_BASE,
with base relocations), DEP (NX_COMPAT), HIGH_ENTROPY_VA on x64, and on x86
either a SafeSEH table or NO_SEH in an image that registers no SEH handler
(no code touches fs:[0], the head of the thread's handler chain;
i686-w64-mingw32-objdump looks).
With --x64: the x64 exe instead (AMD64, PE32+), to the same bounds.
With --static-crt (the MSVC build, CRT linked in): no CRT DLL at all, a
bound that leaves room for the CRT's own code, and "-msvc" in a package's
name.
A path ending in .zip is a package: it must hold exactly the two exes, the
contract header, the text for the target machine (naming the toolchain, and
for a mingw-w64 package the zlib that deflated it) and a right SHA-256 list
of those, and each exe in it must pass, with the version and architecture of
the package's name."""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import zipfile

import pefile

# Each exe by its name: the DLLs it imports (ADVAPI32 seeds the stack
# cookies) and its size bound; with --static-crt (CRT linked in), the same
# without the C runtime's DLLs.
PROGRAMS = {
    "Tovrin_LED_Test": ({"advapi32.dll", "kernel32.dll", "msvcrt.dll", "setupapi.dll", "ole32.dll"}, 24 * 1024),
    "Tovrin_LED_Check": ({"advapi32.dll", "kernel32.dll", "msvcrt.dll", "setupapi.dll"}, 48 * 1024),
}
STATIC_CRT_LEAVES = {"advapi32.dll", "msvcrt.dll"}
STATIC_CRT_SIZE_LIMIT = 256 * 1024
STATIC_CRT = False
RT_MANIFEST = 24

# Machine, optional-header magic and the architecture the version resource
# names, of each kind of exe.
X86 = ("i386", 0x14C, "PE32", 0x10B, "32-bit")
X64 = ("AMD64", 0x8664, "PE32+", 0x20B, "x64")
EXPECTED = X86
VERSION = None  # The version CMake gives, as "1.0".
COMMENTS = None  # What the build step would write for the checkout.
COMMENTS_FROM = "a build of the checkout says"  # Who wants COMMENTS.
WHY_UNKNOWN = ""  # Why git cannot tell the checkout's commit, where it cannot.
PACKAGE_NAME = "Tovrin_LED_Test"
PACKAGE_FILES = {name + ".exe" for name in PROGRAMS} | {"led_interface.h", "README.txt"}
SUMS = "SHA256SUMS.txt"
PACKAGE_SUFFIX = ""  # "-msvc" for the Visual Studio build's packages.


def program(path):
    """The name, imports and size bound of the exe at path."""
    name = os.path.basename(path)[:-len(".exe")]
    if name not in PROGRAMS:
        raise SystemExit("%s: not an exe of this project (%s)" % (path, ", ".join(sorted(PROGRAMS))))
    imports, limit = PROGRAMS[name]
    if STATIC_CRT:
        return name, imports - STATIC_CRT_LEAVES, STATIC_CRT_SIZE_LIMIT
    return name, imports, limit


DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT, NO_SEH = 0x40, 0x20, 0x100, 0x400
RELOCS_STRIPPED = 0x1


def mitigation_problems(pe, data):
    problems = []
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    relocations = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    if not flags & DYNAMIC_BASE or not relocations or pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED:
        problems.append("no ASLR: DYNAMIC_BASE and base relocations are both needed")
    if not flags & NX_COMPAT:
        problems.append("no DEP: NX_COMPAT is not set")
    if EXPECTED is X64 and not flags & HIGH_ENTROPY_VA:
        problems.append("no high-entropy ASLR: HIGH_ENTROPY_VA is not set")
    if EXPECTED is X86:
        config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
        safe_seh = config is not None and getattr(config.struct, "SEHandlerCount", 0) > 0
        if not safe_seh and not flags & NO_SEH:
            problems.append("neither a SafeSEH table nor NO_SEH")
        elif not safe_seh:
            problems += registered_seh_handlers(data)
    return problems


def registered_seh_handlers(data):
    """Code that reads or writes fs:[0], where a thread's chain of SEH
    handlers begins: an image marked NO_SEH must have none."""
    with tempfile.NamedTemporaryFile(suffix=".exe") as exe:
        exe.write(data)
        exe.flush()
        try:
            listing = subprocess.run(["i686-w64-mingw32-objdump", "-d", exe.name], capture_output=True,
                                     text=True, check=True).stdout
        except (OSError, subprocess.CalledProcessError) as error:
            return ["NO_SEH is set, and i686-w64-mingw32-objdump cannot show that no handler is registered: %s"
                    % error]
    return ["NO_SEH is set, but code uses fs:[0]: " + line.strip()
            for line in listing.splitlines() if re.search(r"%fs:0x0\b|%fs:\(", line)]


def manifest_text(pe):
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in resources.entries if resources else []:
        if entry.id != RT_MANIFEST:
            continue
        for name in entry.directory.entries:
            if name.id != 1:
                continue
            for language in name.directory.entries:
                data = language.data.struct
                return pe.get_data(data.OffsetToData, data.Size).decode("utf-8", "replace")
    return None


def version_resource(pe):
    """The fixed file info and the strings of the version resource."""
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [None])[0]
    return fixed, strings


def version_problems(pe, name):
    fixed, strings = version_resource(pe)
    if fixed is None:
        return ["no version resource"]
    problems = []
    numbers = [int(n) for n in VERSION.split(".")] + [0, 0, 0]
    packed = (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3])
    for field in ("File", "Product"):
        found = (getattr(fixed, field + "VersionMS"), getattr(fixed, field + "VersionLS"))
        if found != packed:
            problems.append("%sVersion numbers are 0x%08X 0x%08X, not %s" % ((field,) + found + (VERSION,)))
    expected = {"FileVersion": VERSION, "ProductVersion": VERSION, "ProductName": name,
                "OriginalFilename": name + ".exe"}
    for key, value in expected.items():
        if strings.get(key) != value:
            problems.append("version string %s is %r, not %r" % (key, strings.get(key), value))
    description = strings.get("FileDescription", "")
    arch, other = EXPECTED[4], (X64 if EXPECTED is X86 else X86)[4]
    if arch not in description or other in description:
        problems.append("FileDescription %r does not name the architecture %s" % (description, arch))
    comments = strings.get("Comments", "")
    if COMMENTS is not None and comments != COMMENTS:
        problems.append("Comments %r, not %r as %s" % (comments, COMMENTS, COMMENTS_FROM))
    # Under CI, which releases what it builds: a known commit, and a clean tree.
    if os.environ.get("CI") and (COMMENTS is None or "commit unknown" in COMMENTS):
        problems.append("git cannot tell the checkout's commit: %s" % (WHY_UNKNOWN or "no --source"))
    elif os.environ.get("CI") and COMMENTS.endswith("-dirty"):
        problems.append("the checkout has changed tracked files (git describe --dirty)")
    if os.environ.get("CI") and comments.endswith("-dirty"):
        problems.append("the exe was built from a tree with changed tracked files: Comments %r" % comments)
    return problems


def attribute(text, element, name):
    match = re.search(r"<(?:\w+:)?%s\b[^>]*\b%s=\"([^\"]*)\"" % (element, name), text)
    return match.group(1) if match else None


def check(path, data=None):
    exe_name, allowed_imports, size_limit = program(path)
    problems = []
    if data is None:
        with open(path, "rb") as f:
            data = f.read()
    size = len(data)
    pe = pefile.PE(data=data)

    machine_name, machine, format_name, magic, arch = EXPECTED
    if pe.FILE_HEADER.Machine != machine:
        problems.append("machine is 0x%X, not %s (0x%X)" % (pe.FILE_HEADER.Machine, machine_name, machine))
    header = pe.OPTIONAL_HEADER
    if header.Magic != magic:
        problems.append("optional header magic is 0x%X, not %s (0x%X)" % (header.Magic, format_name, magic))
    if header.Subsystem != 3:
        problems.append("subsystem is %d, not console (3)" % header.Subsystem)
    subsystem = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
    if subsystem != (6, 0):
        problems.append("subsystem version is %d.%d, not 6.0" % subsystem)
    os_version = (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion)
    if os_version != (6, 0):
        problems.append("OS version is %d.%d, not 6.0" % os_version)

    imports = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    if imports != allowed_imports:
        extra = sorted(imports - allowed_imports)
        missing = sorted(allowed_imports - imports)
        problems.append("imports differ: extra %s, missing %s" % (extra, missing))

    if "msvcrt.dll" in allowed_imports:
        crt_imports = {imported.name.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
                       if entry.dll.decode().lower() == "msvcrt.dll" for imported in entry.imports if imported.name}
        if "printf" not in crt_imports:
            problems.append("printf is not imported from msvcrt.dll")
        # The C runtime's startup imports printf too; what gives the replacement
        # away is its float formatting, which the tool never uses.
        if b"Infinity" in data:
            problems.append("mingw-w64's printf replacement is linked in (its float texts are there)")

    text = manifest_text(pe)
    if text is None:
        problems.append("no manifest resource (type 24, id 1)")
    else:
        expected = [("requestedExecutionLevel", "level", "asInvoker"),
                    ("requestedExecutionLevel", "uiAccess", "false")]
        for element, name, value in expected:
            found = attribute(text, element, name)
            if found != value:
                problems.append("manifest %s %s is %r, not %r" % (element, name, found, value))
        dpi = re.search(r"<(?:\w+:)?dpiAware\b[^>]*>\s*([^<]*?)\s*<", text)
        if not dpi or dpi.group(1).lower() != "true":
            problems.append("manifest dpiAware is %r, not 'true'" % (dpi.group(1) if dpi else None))

    problems += version_problems(pe, exe_name)
    problems += mitigation_problems(pe, data)

    if size > size_limit:
        problems.append("size is %d bytes, over %d" % (size, size_limit))

    for problem in problems:
        print("FAIL: %s: %s" % (path, problem))
    if not problems:
        print("ok: %s: %s %s, console 6.0, OS 6.0, imports %s, manifest, version %s %s, %r, %d bytes"
              % (path, machine_name, format_name, ", ".join(sorted(imports)), VERSION, arch,
                 version_resource(pe)[1].get("Comments"), size))
    return not problems


def check_package(path):
    problems = []
    arch = "x64" if EXPECTED is X64 else "win32"
    stem = os.path.basename(path)[:-len(".zip")]
    if stem != "%s-%s-%s%s" % (PACKAGE_NAME, VERSION, arch, PACKAGE_SUFFIX):
        problems.append("name is not %s-%s-%s%s.zip" % (PACKAGE_NAME, VERSION, arch, PACKAGE_SUFFIX))
    with zipfile.ZipFile(path) as package:
        files = {name: package.read(name) for name in package.namelist() if not name.endswith("/")}
    # One folder named as the package, so that unpacking makes one folder.
    expected = {"%s/%s" % (stem, name) for name in PACKAGE_FILES | {SUMS}}
    if set(files) != expected:
        problems.append("holds %s, not %s" % (sorted(files), sorted(expected)))
    sums = {}
    for line in files.get("%s/%s" % (stem, SUMS), b"").decode().splitlines():
        digest, _, name = line.partition("  ")
        sums[name] = digest
    if set(sums) != PACKAGE_FILES:
        problems.append("%s lists %s, not %s" % (SUMS, sorted(sums), sorted(PACKAGE_FILES)))
    for name in PACKAGE_FILES & set(sums):
        if hashlib.sha256(files.get("%s/%s" % (stem, name), b"")).hexdigest() != sums[name]:
            problems.append("%s: the SHA-256 of %s is wrong" % (SUMS, name))
    readme = files.get(stem + "/README.txt", b"")
    if b"\n" in readme.replace(b"\r\n", b""):
        problems.append("README.txt has a line that does not end in CR LF")
    # The mingw-w64 packages are repacked with the build's Python: its zlib too.
    zipped = b"" if PACKAGE_SUFFIX else b"; zipped with [^\r]+"
    if not re.search(rb"\r\nBuilt with [^\r]+" + zipped + rb"\.\r\n", readme):
        problems.append("README.txt does not name the toolchain it was built with%s"
                        % ("" if PACKAGE_SUFFIX else ", and the zlib that deflated it"))
    for problem in problems:
        print("FAIL: %s: %s" % (path, problem))
    if not problems:
        print("ok: %s: holds exactly %s; the sums are right" % (path, ", ".join(sorted(PACKAGE_FILES | {SUMS}))))
    # Each exe inside must carry the version and architecture of the name.
    exes = ["%s/%s.exe" % (stem, name) for name in sorted(PROGRAMS)]
    exes_ok = [exe in files and check("%s:%s" % (path, exe), files[exe]) for exe in exes]
    return all(exes_ok) and not problems


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--x64", action="store_true", help="the x64 exe")
    parser.add_argument("--static-crt", action="store_true", help="the MSVC build, CRT linked in")
    parser.add_argument("--version", required=True, help="the project's version, from CMake")
    named = parser.add_mutually_exclusive_group()
    named.add_argument("--source", help="the checkout whose commit the exe must name, as its build would")
    named.add_argument("--release", metavar="TAG", help="the tag being released, which the exe must name")
    parser.add_argument("--commit", help="with --release: the tag's commit, 40 hex digits")
    parser.add_argument("path", nargs="+", help="an exe (by its name, one of PROGRAMS), or a package (.zip)")
    args = parser.parse_args()
    if args.x64:
        EXPECTED = X64
    if args.static_crt:
        STATIC_CRT, PACKAGE_SUFFIX = True, "-msvc"
    VERSION = args.version
    if args.source:
        # The text the build step writes, computed by the same script.
        built = subprocess.run(["cmake", "-DSOURCE_DIR=" + args.source, "-DVERSION=" + VERSION, "-P",
                                os.path.join(args.source, "cmake", "led_commit.cmake")],
                               capture_output=True, text=True, check=True)
        COMMENTS, WHY_UNKNOWN = built.stdout.strip(), built.stderr.strip()
    if bool(args.release) != bool(args.commit) or not re.fullmatch("[0-9a-f]{40}", args.commit or "0" * 40):
        parser.error("--release and --commit go together, and a commit is 40 hex digits")
    if args.release:
        COMMENTS = "Built from commit %s-0-g%s" % (args.release, args.commit[:12])
        COMMENTS_FROM = "the release of %s, commit %s, says" % (args.release, args.commit)
    results = [check_package(p) if p.endswith(".zip") else check(p) for p in args.path]
    sys.exit(0 if all(results) else 1)
