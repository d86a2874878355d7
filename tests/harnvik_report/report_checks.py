"""What the report's script tests share beside the checks in
tests/support/checks.py: a look at a PNG's header."""
import struct


def png_size(path):
    """(width, height) of a PNG file, or None when it is not one."""
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])
