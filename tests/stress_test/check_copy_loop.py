#!/usr/bin/env python3
"""Checks the compiled copy worker: the source buffer is filled before the
first clock reading (a never-written source may map to one shared zero page
and flatter the rate), and between its two clock readings there is a loop
that calls memcpy, so the compiler kept the copies although nothing reads
the destination.

usage: check_copy_loop.py OBJDUMP OBJECT...
"""
import re
import subprocess
import sys


def main():
    objdump = sys.argv[1]
    objects = [o for arg in sys.argv[2:] for o in arg.split(";") if o]
    worker = [o for o in objects if "copy_worker" in o]
    if len(worker) != 1:
        print(f"no single copy worker object among {objects}")
        return 1
    listing = subprocess.run([objdump, "-dr", "-C", "--no-show-raw-insn", worker[0]],
                             capture_output=True, text=True, check=True).stdout
    body = re.search(r"<Harnvik::run_copy_worker\(int\)>:\n(.*?)(?:\n\n|\Z)", listing, re.S)
    if body is None:
        print("run_copy_worker not found")
        return 1
    lines = body.group(1).splitlines()
    ticks = [i for i, line in enumerate(lines) if "GetTickCount" in line]
    if len(ticks) < 2:
        print("fewer than two clock readings in run_copy_worker")
        print(body.group(1))
        return 1
    filled = any(re.search(r"\bmemset\b", line) for line in lines[:ticks[0]])
    loop = lines[ticks[0]:ticks[1]]
    calls_memcpy = any(re.search(r"memcpy", line) for line in loop)
    # A conditional jump back to an earlier address closes the copy loop.
    addresses = []
    backward = False
    for line in loop:
        # GNU objdump writes the target as "b0", llvm-objdump as "0xb0".
        m = re.match(r"\s*([0-9a-f]+):\s+(j\w+)\s+(?:0x)?([0-9a-f]+)", line)
        if m:
            here, target = int(m.group(1), 16), int(m.group(3), 16)
            backward = backward or (m.group(2) != "jmp" and target < here and
                                    target in addresses)
        m = re.match(r"\s*([0-9a-f]+):", line)
        if m:
            addresses.append(int(m.group(1), 16))
    print("\n".join(loop))
    if not filled:
        print("the source buffer is not filled before the first clock reading")
        return 1
    if not (calls_memcpy and backward):
        print(f"copy loop not found: memcpy call {calls_memcpy}, loop {backward}")
        return 1
    print("the measurement loop calls memcpy")
    return 0


if __name__ == "__main__":
    sys.exit(main())
