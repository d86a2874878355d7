#!/usr/bin/env python3
"""The setup scripts' failure paths, without the network: each failing step
stops its script with a non-zero exit, says what failed and what to do, and
leaves no prefix marked complete.

- windows-deps and ffmpeg4-deps with a Debian archive that cannot be reached
  (a file: URI of a folder that does not exist), in a cache of their own;
- the archive taken from apt's sources in each format: deb822, one-line with
  and without files in sources.list.d, and none at all (Debian's own archive);
- a prefix that a failed build left marked complete but without its
  libraries is noticed and built again (which fails here, as it should);
- setup, when apt-get fails (a stand-in apt-get on the search path), and
  that setup builds no Windows FFmpeg when every package is there.

usage: failure_test.py SCRIPTS_FOLDER SCRATCH_FOLDER
"""
import glob
import os
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, outcome  # noqa: E402

NOWHERE = "file:///nonexistent-karvon-archive"


def run(command, env, timeout=30):
    """Runs a script in a process group of its own, all of which a time-out ends."""
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, text=True, start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        err += f"\n(ended after {timeout} s)"
    return process.returncode, out, err


def completed_prefixes(cache):
    return glob.glob(os.path.join(cache, "**", ".complete"), recursive=True)


def apt_etc(folder, layout, mirror):
    """An apt configuration folder in one of the source formats."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    if layout == "deb822":
        os.makedirs(os.path.join(folder, "sources.list.d"))
        with open(os.path.join(folder, "sources.list.d", "debian.sources"), "w") as f:
            f.write("Types: deb\nURIs: http://disabled.example/debian\nSuites: x\n"
                    "Components: main\nEnabled: no\n\n"
                    f"# the archive\nTypes: deb\nURIs: {mirror}/debian\n"
                    "Suites: bookworm bookworm-updates\nComponents: main\n\n"
                    f"Types: deb\nURIs: {mirror}/debian-security\nSuites: bookworm-security\n"
                    "Components: main\n")
    elif layout in ("one-line", "one-line-empty-parts"):
        with open(os.path.join(folder, "sources.list"), "w") as f:
            f.write("# deb http://commented.example/debian bookworm main\n"
                    f"deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] {mirror}/debian "
                    "bookworm main\n"
                    f"deb {mirror}/debian-security bookworm-security main\n")
        if layout == "one-line-empty-parts":
            os.makedirs(os.path.join(folder, "sources.list.d"))
    elif layout != "none":
        raise ValueError(layout)


def check_deps_failure(name, script, scratch, layout):
    """One run of a dependency script whose archive cannot be reached."""
    cache = os.path.join(scratch, f"{name}-{layout}-cache")
    shutil.rmtree(cache, ignore_errors=True)
    # Where Debian's own archive would be, when apt's sources name none: a
    # second folder that does not exist, so that no run uses the network.
    fallback = "file:///nonexistent-karvon-fallback"
    env = dict(os.environ, KARVON_DEPS_CACHE=cache, KARVON_FFMPEG4_CACHE=cache,
               KARVON_APT_ETC=os.path.join(scratch, f"apt-{layout}"), KARVON_DEBIAN_FALLBACK=fallback)
    env.pop("KARVON_DEBIAN_MIRROR", None)
    env.pop("KARVON_DEBIAN_SECURITY_MIRROR", None)
    apt_etc(env["KARVON_APT_ETC"], layout, NOWHERE)
    archive = fallback if layout == "none" else NOWHERE

    # A prefix that an earlier build left marked complete with nothing in it.
    status, prefix, _ = run([script, "--prefix"], env)
    prefix = prefix.strip()
    check(status == 0 and prefix.startswith(cache), f"{name} --prefix: {prefix!r}")
    os.makedirs(prefix, exist_ok=True)
    open(os.path.join(prefix, ".complete"), "w").close()

    status, out, err = run([script], env)
    label = f"{name} ({layout} sources)"
    print(f"---- {label}: exit {status}\n{err.strip()}")
    check(status != 0, f"{label}: exit status {status}, not an error")
    check(out.strip() == "", f"{label}: printed a prefix although it failed: {out!r}")
    check(f"{name}: {prefix} is incomplete" in err, f"{label}: the empty prefix went unnoticed")
    check(f"{name}: reading the source index of Debian" in err and " failed." in err,
          f"{label}: does not say which step failed")
    check(f"{name}: what to do: check that this machine reaches Debian's archive at "
          f"{archive}/debian and {archive}/debian-security" in err,
          f"{label}: does not say what to do, or names another archive")
    check(completed_prefixes(cache) == [], f"{label}: marked complete: {completed_prefixes(cache)}")
    logs = glob.glob(os.path.join(cache, "build-*.log"))
    later = [log for log in logs if "==== configuring" in open(log).read()]
    check(logs and not later, f"{label}: went on past the failed step ({logs})")


def check_setup_failure(script, scratch):
    """setup with an apt-get that fails and a dpkg-query that finds nothing."""
    bin_folder = os.path.join(scratch, "failing-apt-bin")
    shutil.rmtree(bin_folder, ignore_errors=True)
    os.makedirs(bin_folder)
    for tool, body in (("dpkg-query", "exit 1"),
                       ("apt-get", "echo 'E: stand-in failure' >&2; exit 100"),
                       ("sudo", 'exec "$@"')):
        path = os.path.join(bin_folder, tool)
        with open(path, "w") as f:
            f.write(f"#!/bin/sh\n{body}\n")
        os.chmod(path, 0o755)
    env = dict(os.environ, PATH=bin_folder + os.pathsep + os.environ["PATH"])
    status, _, err = run([script], env)
    print(f"---- setup with a failing apt-get: exit {status}\n{err.strip()}")
    check(status != 0, f"setup: exit status {status}, not an error")
    check("setup: reading apt's package index (apt-get update) failed." in err,
          "setup: does not say which step failed")
    check("setup: what to do: check the network and apt's sources" in err,
          "setup: does not say what to do")


def check_setup_builds_no_windows_ffmpeg(script, scratch):
    """setup with every package installed does nothing more: the Windows
    FFmpeg is built only when a Windows build asks for it, so scripts/run
    never waits for it."""
    bin_folder = os.path.join(scratch, "installed-bin")
    shutil.rmtree(bin_folder, ignore_errors=True)
    os.makedirs(bin_folder)
    for tool, body in (("dpkg-query", "printf 'install ok installed'"),
                       ("apt-get", "echo 'apt-get must not run' >&2; exit 100")):
        path = os.path.join(bin_folder, tool)
        with open(path, "w") as f:
            f.write(f"#!/bin/sh\n{body}\n")
        os.chmod(path, 0o755)
    cache = os.path.join(scratch, "setup-windows-cache")
    shutil.rmtree(cache, ignore_errors=True)
    env = dict(os.environ, PATH=bin_folder + os.pathsep + os.environ["PATH"],
               KARVON_DEPS_CACHE=cache, KARVON_DEBIAN_FALLBACK="file:///nonexistent-karvon-fallback")
    status, _, err = run([script], env)
    check(status == 0, f"setup with every package installed: exit {status}: {err}")
    check(not os.path.exists(cache), "setup went on to build the Windows FFmpeg")


def main():
    scripts, scratch = sys.argv[1], sys.argv[2]
    os.makedirs(scratch, exist_ok=True)
    for layout in ("deb822", "one-line", "one-line-empty-parts", "none"):
        check_deps_failure("windows-deps", os.path.join(scripts, "windows-deps"), scratch, layout)
    check_deps_failure("ffmpeg4-deps", os.path.join(scripts, "ffmpeg4-deps"), scratch, "deb822")
    check_setup_failure(os.path.join(scripts, "setup"), scratch)
    check_setup_builds_no_windows_ffmpeg(os.path.join(scripts, "setup"), scratch)
    return outcome()


if __name__ == "__main__":
    sys.exit(main())
