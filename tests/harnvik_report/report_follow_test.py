#!/usr/bin/env python3
"""harnvik_report --follow on logs written here while it follows them.

Cases:
  plain     a log file that grows, then is replaced by another: plain lines
            at the interval without control sequences, a note of the
            replacement, and at the end the report the tool makes of the
            new log afterwards
  odd       through standard input: a log that is not Harnvik's (a note while
            following, exit 2 at its end), and one cut after the start text
            (read, not refused)
  metrics   --metrics at an interval of 0.1 s while this script reads the
            file in a loop (the Windows build under Wine: a Linux reader):
            every read is a whole metrics file, never a part; the folder
            gone for a while is noted once and the follow goes on; at the
            end the report's figures
  terminal  on a pseudo-terminal: the block drawn again in place, drawn anew
            after a resize within the new width, and Ctrl-C: the report so
            far, then the end of an interrupted program
"""
import argparse
import fcntl
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, list_cases, outcome  # noqa: E402
from report_checks import parse_metrics, promtool_refusal  # noqa: E402

START = "Starting to record to disk using Intel Media SDK ...\n"
DEADLINE_S = 60


def rates(first, count):
    return "".join(f"Thread {n % 8}, memcpy = {4 + n % 5}.{n % 100:02d}Gb/s\n"
                   for n in range(first, first + count))


def command(args, arguments):
    return ([args.runner] if args.runner else []) + [args.program] + arguments


def report_of(args, log):
    """The table the tool makes of a log afterwards."""
    return subprocess.run(command(args, [log]), capture_output=True, timeout=DEADLINE_S).stdout


def plain(args, scratch):
    log = os.path.join(scratch, "soak.log")
    follower = subprocess.Popen(command(args, ["--follow", log, "--interval", "0.5"]),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(1)  # the log is not there yet
    with open(log, "w") as f:
        for block in range(6):
            f.write(rates(block * 10, 10) + (START if block == 2 else ""))
            f.flush()
            time.sleep(0.4)
    # Another run's log in its place, which ends with the final text.
    with open(log + ".new", "w") as f:
        f.write(rates(0, 20) + START + rates(20, 20) + "Error writing to file." + rates(40, 1))
    os.replace(log + ".new", log)
    out, err = follower.communicate(timeout=DEADLINE_S)
    text = out.decode().replace("\r\n", "\n")  # the Windows build's line ends
    print(text, err.decode())
    check(follower.returncode == 0, f"exit status {follower.returncode}")
    live, _, table = text.partition("\n\nHarnvik run:")
    lines = live.splitlines()
    check("\x1b" not in live, "control sequences in the plain lines")
    check(any("waiting for the log" in line for line in lines), "no word of the missing log")
    check(any(f"the log {log} was replaced" in line for line in lines), "no word of the replacement")
    timed = [line for line in lines if line.startswith("[")]
    check(len(timed) >= 5, f"{len(timed)} plain lines in about 4 s at an interval of 0.5 s")
    check(any("] recording;" in line and "before the start" in line for line in timed),
          "no plain line while recording")
    check("Harnvik run:" + table == report_of(args, log).decode().replace("\r\n", "\n"),
          "the final report is not the report of the log afterwards")


def odd(args, scratch):
    foreign = "".join(f"make[1]: line {n}\n" for n in range(150)).encode()
    result = subprocess.run(command(args, ["--follow"]), input=foreign, capture_output=True,
                            timeout=DEADLINE_S)
    out, err = result.stdout.decode(), result.stderr.decode()
    check("150 lines and none of them Harnvik's" in out, f"no doubt said: {out!r}")
    check(result.returncode == 2 and "no rate lines in standard input" in err,
          f"a foreign log: exit {result.returncode}, {err!r}")
    result = subprocess.run(command(args, ["--follow"]), input=START.encode(),
                            capture_output=True, timeout=DEADLINE_S)
    out = result.stdout.decode()
    check(result.returncode == 0 and "cut off: the log ends without a final text" in out,
          f"a log cut after the start text: exit {result.returncode}, {out!r}")


def metrics(args, scratch):
    log = os.path.join(scratch, "soak.log")
    folder = os.path.join(scratch, "textfile")
    os.makedirs(folder)
    prom = os.path.join(folder, "soak.prom")
    with open(log, "w") as f:
        f.write(rates(0, 16) + START)
    follower = subprocess.Popen(
        command(args, ["--follow", log, "--interval", "0.1", "--metrics", prom,
                       "--metrics-label", "role=test"]),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reads, versions, torn = 0, set(), []
    began = time.monotonic()
    last = ""
    gone = False
    while time.monotonic() - began < 6:
        elapsed = time.monotonic() - began
        if 2 <= elapsed < 3 and not gone:
            shutil.rmtree(folder)  # the writes fail for a second
            gone = True
        if elapsed >= 3 and not os.path.exists(folder):
            os.makedirs(folder)
        with open(log, "a") as f:
            f.write(rates(int(elapsed * 100), 1))
        try:
            with open(prom, encoding="utf-8") as f:
                text = f.read()
        except OSError:
            continue
        reads += 1
        try:
            samples = parse_metrics(text)
        except ValueError as error:
            torn.append(str(error))
            continue
        if not (text.startswith("# HELP harnvik_") and text.endswith("\n") and
                any(key[0] == "harnvik_metrics_updated_timestamp_seconds" for key in samples)):
            torn.append(text[-80:])
        versions.add(text)
        last = text
    with open(log, "a") as f:
        f.write("Error writing to file.")
    out, err = follower.communicate(timeout=DEADLINE_S)
    text = out.decode().replace("\r\n", "\n")
    print(f"{reads} reads, {len(versions)} versions of the file seen")
    check(follower.returncode == 0, f"exit status {follower.returncode}: {err.decode()}")
    check(not torn, f"reads of a file written in part: {torn[:3]}")
    check(len(versions) >= 10, f"{len(versions)} versions seen in 6 s at an interval of 0.1 s")
    noted = [line for line in text.splitlines() if "(tried again at each update)" in line]
    check(len(noted) == 1, f"the folder gone: {len(noted)} notes, not one: {noted}")
    seen = os.path.join(scratch, "seen.prom")
    with open(seen, "w") as f:
        f.write(last)
    for name in (seen, prom):
        refusal = promtool_refusal(args.promtool, name)
        check(not refusal, f"promtool check metrics {name}: {refusal}")
    with open(prom, encoding="utf-8") as f:
        final = parse_metrics(f.read())
    ended = [dict(key[1]).get("phase") for key, value in final.items()
             if key[0] == "harnvik_soak_phase" and value == 1]
    check(ended == ["ended"], f"the final figures' phase: {ended}")
    check(all(dict(key[1]).get("role") == "test" for key in final), "a sample without its label")


def set_size(descriptor, columns, rows):
    fcntl.ioctl(descriptor, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))


def terminal(args, scratch):
    log = os.path.join(scratch, "soak.log")
    with open(log, "w") as f:
        f.write(rates(0, 30) + START)
    main, side = os.openpty()
    set_size(side, 100, 30)
    follower = subprocess.Popen(command(args, ["--follow", log]), stdin=side, stdout=side,
                                stderr=subprocess.PIPE, start_new_session=True)
    os.close(side)
    screen = b""

    def read_for(seconds):
        nonlocal screen
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if select.select([main], [], [], 0.1)[0]:
                try:
                    screen += os.read(main, 65536)
                except OSError:
                    return

    with open(log, "a") as f:
        for block in range(3):
            f.write(rates(30 + block * 8, 8))
            f.flush()
            read_for(1.5)
    drawn = screen
    check(re.search(rb"\r\x1b\[\d+A", drawn) is not None, "the block is not drawn again in place")
    check(b"recording for" in drawn, "no block while recording")
    set_size(main, 50, 30)
    with open(log, "a") as f:
        f.write(rates(60, 8))
    read_for(3)
    resized = screen[len(drawn):]
    check(b"\x1b[2J" in resized, "the screen is not drawn anew after the resize")
    after = resized[resized.rfind(b"\x1b[2J"):]
    widths = [len(re.sub(rb"\x1b\[[0-9;]*[A-Za-z]|\r", b"", line).decode("utf-8", "replace"))
              for line in after.split(b"\n")]
    check(max(widths) <= 49, f"lines of {max(widths)} columns on a terminal of 50")
    follower.send_signal(signal.SIGINT)
    read_for(3)
    follower.wait(timeout=DEADLINE_S)
    os.close(main)
    check(follower.returncode == -signal.SIGINT,
          f"after Ctrl-C: exit status {follower.returncode}, not killed by SIGINT")
    check(b"Harnvik run: " + log.encode() in screen[len(drawn):] and
          b"cut off: the log ends without a final text" in screen,
          "no report of the run so far after Ctrl-C")


CASES = {"plain": plain, "odd": odd, "metrics": metrics, "terminal": terminal}
# A pseudo-terminal is Linux's.
NATIVE_ONLY = {"terminal"}


def main():
    if list_cases(CASES, NATIVE_ONLY):
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=CASES)
    parser.add_argument("--program", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("--promtool", default="", help="lints the metrics files where given")
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="harnvik_report_follow_")
    try:
        CASES[args.case](args, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return outcome()


if __name__ == "__main__":
    sys.exit(main())
