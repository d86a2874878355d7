#!/usr/bin/env python3
"""Unpacks a package the way a user would, into an empty folder, checks what
it holds and, with --soak, runs a bounded soak of the unpacked Harnvik from
there, with nothing of the build tree on any search path.

Kinds:
  zip  the Windows package: Harnvik.exe, our DLLs and exactly the FFmpeg DLLs
       they import, import libraries, headers, the CMake packages, README,
       LICENSE, the manual pages as text and the bundled sources' licences
       with their versions.
  deb  the Debian package, unpacked with dpkg -x; its Depends come from
       dpkg-shlibdeps; the manual pages gzip-compressed; lintian (where it is
       installed) finds no error and no program without a manual page.
  tgz  the same files as the Debian package, in a tarball.
"""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, failures, outcome  # noqa: E402

HEADERS = [
    "include/karvon/threads/critical_section.h", "include/karvon/threads/read_write_lock.h",
    "include/karvon/threads/export.h", "include/karvon/work/wait_item.h",
    "include/karvon/work/export.h", "include/karvon/wendrix/video_message.h",
    "include/karvon/wendrix/audio_message.h", "include/karvon/wendrix/export.h",
    "include/selmet/palvex/mp4.h", "include/selmet/palvex/export.h",
    "include/tovrel/ffmpeg/ffmpeg_registration.h", "include/tovrel/ffmpeg/export.h",
    "include/platform/platform.h", "include/platform/wide_char.h", "include/platform/wide_text.h",
]
PACKAGES = [f"lib/cmake/{p}/{p}{suffix}.cmake" for p in ("Karvon", "Tovrel", "Selmet")
            for suffix in ("Config", "ConfigVersion", "Targets")]
LIBRARIES = ["Karvon.Threads.x64", "Karvon.Work.x64", "Karvon.Wendrix.x64", "Selmet.Palvex.x64",
             "Tovrel.ffmpeg.x64"]
# DLLs of Windows itself, which a package never carries.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "bcrypt.dll",
               "ws2_32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "gdi32.dll",
               "secur32.dll", "shlwapi.dll", "version.dll", "ntdll.dll", "psapi.dll",
               "crypt32.dll"}
MANUAL_PAGES = ["Harnvik", "harnvik_report"]
# The alerting rules for a lab of soaks.
RULES = ["share/harnvik/prometheus/harnvik.rules.yml"]
TEST_ONLY = re.compile(r"test|bench|double|old_api|hook|gtest|gmock", re.IGNORECASE)

def unpack(kind, package, into):
    shutil.rmtree(into, ignore_errors=True)
    os.makedirs(into)
    if kind == "zip":
        with zipfile.ZipFile(package) as archive:
            archive.extractall(into)
    elif kind == "deb":
        subprocess.run(["dpkg", "-x", package, into], check=True)
    else:
        with tarfile.open(package) as archive:
            archive.extractall(into)
    tops = os.listdir(into)
    if kind == "deb":
        return os.path.join(into, "usr")
    check(len(tops) == 1, f"the archive has {len(tops)} top-level entries: {tops}")
    return os.path.join(into, tops[0])


def files_below(root):
    found = []
    for folder, _, names in os.walk(root):
        for name in names:
            found.append(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"))
    return sorted(found)


def imports(objdump, path):
    out = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    return [m.lower() for m in re.findall(r"DLL Name: (\S+)", out)]


def stripped(objdump, path):
    out = subprocess.run([objdump, "-h", "-t", path], capture_output=True, text=True).stdout
    # GNU objdump says "no symbols"; llvm-objdump (clang's binutils) lists none.
    table = out.partition("SYMBOL TABLE:")[2].split()
    return ".debug_" not in out and (table == [] or table == ["no", "symbols"])


def check_zip(root, files, objdump):
    expected = (["bin/Harnvik.exe", "bin/harnvik_report.exe", "README.md", "LICENSE", "licenses/VERSIONS",
                 "licenses/ffmpeg/COPYING.GPLv2", "licenses/ffmpeg/copyright",
                 "licenses/x264/COPYING", "licenses/x264/copyright"] + HEADERS + PACKAGES + RULES +
                [f"bin/{name}.dll" for name in LIBRARIES] +
                [f"lib/{name}.dll.a" for name in LIBRARIES])
    for name in expected:
        check(name in files, f"{name} is missing")
    for page in MANUAL_PAGES:
        name = f"man/{page}.txt"
        if check(name in files, f"{name} is missing"):
            text = open(os.path.join(root, name), "rb").read()
            check(b"SYNOPSIS" in text and b"EXIT STATUS" in text, f"{name} is no manual page")
            check(b"\x1b" not in text and b"\x08" not in text, f"{name} holds terminal codes")
    versions = open(os.path.join(root, "licenses/VERSIONS")).read()
    print("licenses/VERSIONS:\n" + versions.strip())
    for source in ("ffmpeg", "x264"):
        check(re.search(rf"^{source} \S+$", versions, re.MULTILINE) is not None,
              f"no Debian source version of {source}")
    binaries = [f for f in files if f.lower().endswith((".exe", ".dll"))]
    shipped = {os.path.basename(f).lower() for f in binaries}
    ours = {"harnvik.exe", "harnvik_report.exe"} | {f"{name}.dll".lower() for name in LIBRARIES}
    imported = set()
    for binary in binaries:
        names = imports(objdump, os.path.join(root, binary))
        print(f"{binary}: {' '.join(names)}")
        imported.update(names)
        for name in names:
            check(name in shipped or name in SYSTEM_DLLS,
                  f"{binary} imports {name}, which is neither in the package nor a Windows DLL")
        if os.path.basename(binary).lower() in ours:
            check(stripped(objdump, os.path.join(root, binary)), f"{binary} is not stripped")
    for extra in sorted(shipped - ours - imported):
        check(False, f"{extra} is in the package but nothing imports it")
    check(any(n.startswith("avcodec-") for n in shipped - ours), "no FFmpeg DLL in the package")
    return os.path.join(root, "bin", "Harnvik.exe")


def check_linux(kind, root, files, package, objdump):
    doc = "share/doc/harnvik"
    expected = (["bin/Harnvik", "bin/harnvik_report", "lib/Karvon.Platform.x64.so", f"{doc}/README.md",
                 f"{doc}/LICENSE"] + HEADERS + PACKAGES + RULES + [f"lib/{n}.so" for n in LIBRARIES])
    for name in expected:
        check(name in files, f"{name} is missing")
    for page in MANUAL_PAGES:
        name = f"share/man/man1/{page}.1.gz"
        if check(name in files, f"{name} is missing"):
            with gzip.open(os.path.join(root, name)) as source:
                check(source.read().startswith(b".TH "), f"{name} is no manual page")
    for binary in ["bin/Harnvik", "bin/harnvik_report"] + [f for f in files if f.endswith(".so")]:
        check(stripped(objdump, os.path.join(root, binary)), f"{binary} is not stripped")
    if kind == "deb":
        depends = subprocess.run(["dpkg-deb", "-f", package, "Depends"], capture_output=True,
                                 text=True, check=True).stdout.strip()
        print(f"Depends: {depends}")
        for library in ("libavcodec", "libavformat", "libavutil", "libc6", "libstdc++6"):
            check(library in depends, f"Depends lacks {library}")
        run_lintian(package)
    return os.path.join(root, "bin", "Harnvik")


def run_lintian(package):
    if shutil.which("lintian") is None:
        print("lintian is not installed: not run")
        return
    result = subprocess.run(["lintian", "--tag-display-limit", "0", package], capture_output=True,
                            text=True, timeout=600)
    print("lintian:\n" + result.stdout.strip())
    tags = result.stdout.splitlines()
    errors = [line for line in tags if line.startswith("E:")]
    check(not errors, f"lintian finds errors: {errors}")
    check(not any("no-manual-page" in line for line in tags), "lintian: a program has no manual page")
    check(not any("manpage" in line for line in tags), "lintian finds fault with a manual page")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["zip", "deb", "tgz"])
    parser.add_argument("--package", required=True)
    parser.add_argument("--into", required=True, help="an empty folder is made here")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--soak", help="the end-to-end script, to run a bounded soak")
    parser.add_argument("--runner", default="", help="how to start the unpacked program")
    parser.add_argument("--ffprobe", default="ffprobe")
    args = parser.parse_args()

    root = unpack(args.kind, args.package, args.into)
    files = files_below(root)
    print(f"{len(files)} files in {os.path.basename(args.package)}")
    for name in files:
        check(not TEST_ONLY.search(name), f"{name} is test-only")
    if args.kind == "zip":
        program = check_zip(root, files, args.objdump)
    else:
        program = check_linux(args.kind, root, files, args.package, args.objdump)

    # The Windows package's Wine prefix is made afresh before this runs, by
    # the test's fixture (tests/install/CMakeLists.txt).
    if args.soak and not failures:
        soak(args, program)
    return outcome()


def soak(args, program):
    environment = dict(os.environ)
    for variable in ("LD_LIBRARY_PATH", "WINEPATH", "KARVON_WINEPATH"):
        environment.pop(variable, None)
    # Set, and empty: the runner puts nothing on the DLL path.
    environment["KARVON_WINEPATH"] = ""
    # The program's output is read by the report that the package brings.
    report = os.path.join(os.path.dirname(program),
                          "harnvik_report" + (".exe" if program.endswith(".exe") else ""))
    result = subprocess.run(
        [sys.executable, args.soak, "size_limit", "--program", program, "--report", report,
         "--runner", args.runner, "--ffprobe", args.ffprobe, "--scratch", args.into + "-soak"],
        env=environment)
    check(result.returncode == 0, "the bounded soak of the unpacked program failed")


if __name__ == "__main__":
    sys.exit(main())
