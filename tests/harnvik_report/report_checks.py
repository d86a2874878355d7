"""What the report's script tests share: checks that collect failures instead
of stopping at the first, and a look at a PNG's header."""
import struct

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


def png_size(path):
    """(width, height) of a PNG file, or None when it is not one."""
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])
