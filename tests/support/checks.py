"""What the Python test scripts share: checks that collect failures instead of
stopping at the first, and the exit status that sums them up.

A script beside tests/ takes it with
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
    from checks import check, failures, outcome
"""
import os

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
