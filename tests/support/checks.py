"""What the Python test scripts share: checks that collect failures instead of
stopping at the first, and the exit status that sums them up.

A script beside tests/ takes it with
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
    from checks import check, failures, outcome
"""
import os
import sys

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def outcome():
    """The test's exit status, after a line that sums the checks up."""
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all checks passed")
    return 0


# Harnvik keeps every processor busy with its eight copy workers. Its runs
# in the tests start at a lower priority, so that what runs beside them (the
# probes of their files, the builds and packages of other tests) does not
# wait behind the copies. Among the runs themselves nothing changes.
LOAD_NICENESS = 10


def lower_priority():
    """For a preexec_fn: the process about to start runs at LOAD_NICENESS."""
    os.nice(LOAD_NICENESS)


def list_cases(cases, native_only=(), runs=None):
    """A harness's cases are declared once, in its own dict: CMake asks for
    them with `--list [--windows]` and declares a test for each it prints,
    one a line ("name", or "name runs" where `runs` tells how many runs of
    the real program a case makes at once, a function of the build). True
    when it was asked, and printed them."""
    arguments = sys.argv[1:]
    if "--list" not in arguments:
        return False
    windows = "--windows" in arguments
    for name in cases:
        if windows and name in native_only:
            continue
        print(name if runs is None else f"{name} {runs(name, windows)}")
    return True

