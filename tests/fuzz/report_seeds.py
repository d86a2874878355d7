#!/usr/bin/env python3
"""Writes the seed corpora of the log reader's and the text conversions' fuzz
targets from real Harnvik logs (its standard output, saved as it came):

    tests/fuzz/report_seeds.py tests/fuzz/corpus soak_linux.log soak_wine.log ...

For each log, the log reader gets it in the blocks a pipe delivers (about
4 KiB at a time), in small odd blocks with CR LF line ends, cut inside its
last line, and with its last buffer written a second time (what Wine's C
runtime does now and then). The text conversions get its first and last
lines, with file names beyond ASCII, as UTF-8, as UTF-16 with an unpaired
surrogate and as scalar values."""
import os
import sys

FINAL_TEXTS = (b"Error writing to file.", b"Error recording file.")
NAMES = "HelloWorld.m4v gr\u00fc\u00df \u6587\u5b57 \U0001f3a5.m4v"


def blocks(*sizes, sixteen=False):
    """The log reader's first bytes: how the fuzz target cuts the log."""
    assert len(sizes) < 8 and all(0 <= s < 256 for s in sizes)
    return bytes([len(sizes) | (8 if sixteen else 0), *sizes])


def put(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def log_seeds(corpus, name, log):
    folder = os.path.join(corpus, "log_reader")
    lf = log.replace(b"\r\n", b"\n")
    crlf = lf.replace(b"\n", b"\r\n")
    put(folder, f"{name}_pipe_blocks", blocks(255, 1, sixteen=True) + log)
    put(folder, f"{name}_crlf", blocks(7, 200, 0, 31) + crlf)
    # Cut inside its last line, as a log read while it is still written.
    last = lf.rstrip(b"\n").rfind(b"\n") + 1
    put(folder, f"{name}_cut", blocks(64, 3) + lf[:last + (len(lf) - last) // 2])
    # The runtime's last buffer again, from some bytes before the final text.
    final = max(lf.rfind(text) for text in FINAL_TEXTS)
    if final >= 0:
        put(folder, f"{name}_twice", blocks(100, sixteen=True) + lf + lf[max(final - 40, 0):])


def text_seeds(corpus, name, log):
    folder = os.path.join(corpus, "wide_text")
    lines = log.splitlines()
    text = (lines[0] + b"\n" + lines[-1]).decode("utf-8", "replace") + "\n" + NAMES
    utf8 = text.encode("utf-8")
    put(folder, f"{name}_utf8", b"\x00" + utf8)
    # Cut inside its last character: a sequence that ends too soon.
    put(folder, f"{name}_utf8_cut", b"\x00" + utf8[:-1])
    units = text.encode("utf-16-le")
    lone = units[:8] + "\ud83c".encode("utf-16-le", "surrogatepass") + units[8:]
    put(folder, f"{name}_utf16", b"\x01" + lone)
    scalars = b"".join((ord(c) - (0x800 if ord(c) >= 0xE000 else 0)).to_bytes(3, "big")
                       for c in text)
    put(folder, f"{name}_scalars", b"\x02" + scalars)


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    corpus = sys.argv[1]
    for path in sys.argv[2:]:
        with open(path, "rb") as log_file:
            log = log_file.read()
        name = os.path.splitext(os.path.basename(path))[0]
        log_seeds(corpus, name, log)
        text_seeds(corpus, name, log)
        lines = log.count(b"\n")
        print(f"{path}: {len(log)} bytes, {lines} lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
