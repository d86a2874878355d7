#!/usr/bin/env python3
"""Runs harnvik_report as a user does, on logs made here, and checks its exit
status, its table and its JSON.

Cases:
  refusals    what cannot give a report exits with 2 and says why; --help and
              --version
  report      a log through standard input, CRLF line ends, foreign lines with
              any bytes, a log name beyond ASCII; the JSON is valid and holds
              the facts; with gnuplot, the picture is a PNG of 1200x900
  no_gnuplot  --plot where there is no gnuplot: exit 2 and a clear message
  metrics     --metrics: refused at start where it cannot be written, with a
              bad label, or a label without =; a finished run's figures
              once, equal to its JSON, labelled, and linted by promtool; an
              open that failed is the soak's outcome even when the file
              cannot be read
  length      a fragmented file (made by ffmpeg) whose header tells no length,
              then the same file with a movie extends header telling its
              length, less, more: the table's length line and the JSON
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, list_cases, outcome  # noqa: E402
from report_checks import metrics_disagree, parse_metrics, png_size, promtool_refusal  # noqa: E402

START = "Starting to record to disk using Intel Media SDK ...\n"


def run(args, arguments, stdin=b"", env=None, cwd=None):
    command = ([args.runner] if args.runner else []) + [args.program] + arguments
    result = subprocess.run(command, input=stdin, capture_output=True, env=env, cwd=cwd,
                            timeout=120)
    return result.returncode, result.stdout.decode("utf-8", "replace"), \
        result.stderr.decode("utf-8", "replace")


def rate(worker, value, end="\n"):
    return f"Thread {worker}, memcpy = {value}Gb/s{end}"


def refusals(args, scratch):
    empty = os.path.join(scratch, "empty.log")
    open(empty, "wb").close()
    foreign = os.path.join(scratch, "foreign.log")
    with open(foreign, "w") as f:
        f.write("make: nothing to be done\nThread 9, memcpy = 1.00Gb/s\n")
    good = os.path.join(scratch, "good.log")
    with open(good, "w") as f:
        f.write(rate(0, "5.00"))
    cases = [
        ([empty], "no rate lines"),
        ([foreign], "no rate lines"),
        ([os.path.join(scratch, "missing.log")], "cannot open"),
        ([scratch], "directory"),
        ([good, "--frobnicate"], "unknown option --frobnicate"),
        ([good, "--decode"], "--decode needs --file"),
        ([good, "--plot", "run.jpg"], ".png or .svg"),
        ([good, "--file"], "--file: 1 required FILE missing"),
        ([good, "--json", ""], "--json needs a file name"),
        ([good, "--file", good], "as media"),
        ([good, "--json", os.path.join(scratch, "no", "such", "dir.json")], "cannot write"),
    ]
    for arguments, reason in cases:
        status, out, err = run(args, arguments)
        label = " ".join(os.path.basename(a) for a in arguments)
        check(status == 2, f"{label}: exit status {status}, not 2")
        check(reason in err, f"{label}: stderr does not say '{reason}': {err!r}")
    status, out, err = run(args, [], stdin=b"")
    check(status == 2 and "standard input" in err, f"empty standard input: {status} {err!r}")
    # A run that ended before any worker reported is Harnvik's all the same.
    quiet = os.path.join(scratch, "quiet.json")
    status, out, err = run(args, ["-", "--json", quiet],
                           stdin=(START + "Error writing to file.").encode())
    if check(status == 0, f"a log of the texts alone: exit status {status}: {err!r}"):
        with open(quiet) as f:
            facts = json.load(f)
        check(facts["recording"] == {"outcome": "write_failed", "start_line": 1, "end_line": 2} and
              facts["log"]["rate_lines"] == 0 and facts["workers_reporting"] == 0,
              f"a log of the texts alone: {facts['recording']}, {facts['log']}")
    status, out, err = run(args, ["--help"])
    check(status == 0 and "Usage: harnvik_report" in out, f"--help: {status} {out!r}")
    status, out, err = run(args, ["--version"])
    check(status == 0 and out.strip() == f"harnvik_report {args.version}",
          f"--version: {status} {out!r}, not version {args.version}")


def made_log():
    """Worker 6 silent, worker 2 with an inf line; CRLF ends, a foreign line
    holding a Ctrl-Z, a NUL and bytes that are not UTF-8, the final text
    followed by rate lines, and a cut last line."""
    lines = []
    for round in range(3):
        for worker in range(8):
            if worker != 6:
                lines.append(rate(worker, f"{10 + round}.00", "\r\n"))
    lines.append("warning: \x1a\x00 \xff\xfe odd\r\n")
    lines.append(START.replace("\n", "\r\n"))
    for worker in range(8):
        if worker != 6:
            lines.append(rate(worker, "inf" if worker == 2 else "5.50", "\r\n"))
    lines.append("Error writing to file." + rate(3, "4.00", "\r\n"))
    lines.append("Thread 4, memcpy = 4.")
    return "".join(lines).encode("latin-1")


def report(args, scratch):
    name = os.path.join(scratch, "s\u00f8ak \u6587.log")
    with open(name, "wb") as f:
        f.write(made_log())
    out_json = os.path.join(scratch, "report.json")
    arguments = ["-", "--json", out_json]
    plot = None
    if args.plot:
        plot = os.path.join(scratch, "report.png")
        arguments += ["--plot", plot]
    status, out, err = run(args, arguments, stdin=made_log())
    print(out)
    if not check(status == 0, f"report: exit status {status}: {err}"):
        return
    check("log        32 lines: 29 rate lines, 1 foreign, 31 with CR LF ends" in out,
          "report: the log's line counts")
    check("last line 32 cut short: Thread 4, memcpy = 4." in out, "report: the cut line")
    with open(out_json, encoding="utf-8") as f:
        facts = json.load(f)  # fails the test on invalid JSON
    log = facts["log"]
    check(log["name"] == "standard input", f"log name {log['name']}")
    check(log["foreign_count"] == 1 and log["foreign"][0]["line"] == 22,
          f"foreign lines {log['foreign']}")
    check(log["foreign"][0]["text"] == "warning: \x1a\x00 \ufffd\ufffd odd",
          f"foreign text {log['foreign'][0]['text']!r}")
    check(log["cut_last_line"] == {"line": 32, "text": "Thread 4, memcpy = 4."},
          f"cut line {log['cut_last_line']}")
    check(facts["recording"] == {"outcome": "write_failed", "start_line": 23, "end_line": 31},
          f"recording {facts['recording']}")
    workers = facts["workers"]
    check(facts["workers_reporting"] == 7, f"workers reporting {facts['workers_reporting']}")
    check(workers[6]["lines"] == 0 and workers[6]["median_rate_gib_s"] is None,
          f"silent worker {workers[6]}")
    check(workers[2]["infinite_lines"] == 1 and workers[2]["max_rate_gib_s"] is None,
          f"worker with an inf line {workers[2]}")
    check(workers[0]["drop_percent"] == 50.0, f"worker 0 drop {workers[0]['drop_percent']}")
    check(workers[3]["lines"] == 5 and workers[3]["last_rate_gib_s"] == 4.0,
          f"worker 3 {workers[3]}")
    check(facts["file"] is None and facts["real_time_factor"] is None, "no file, no factor")

    # The same log from a file with a name beyond ASCII: the same facts.
    status, out_named, err = run(args, [name, "--json", out_json])
    check(status == 0, f"named log: exit status {status}: {err}")
    with open(out_json, encoding="utf-8") as f:
        named = json.load(f)
    check(named["log"]["name"] == name, f"named log: name {named['log']['name']!r}")
    named["log"]["name"] = "standard input"
    check(named == facts, "named log: other facts than from standard input")

    if plot:
        size = png_size(plot)
        check(size == (1200, 900), f"plot: a PNG of 1200x900, not {size}")


def metrics(args, scratch):
    log = os.path.join(scratch, "soak.log")
    with open(log, "wb") as f:
        f.write(made_log())
    prom = os.path.join(scratch, "soak.prom")
    refused = [
        (["--metrics", os.path.join(scratch, "no", "soak.prom")],
         "--metrics: cannot write a file beside"),
        (["--metrics", prom, "--metrics-label", "role"], "takes NAME=VALUE, not role"),
        (["--metrics", prom, "--metrics-label", "__name__=x"], "are Prometheus' own"),
        (["--metrics", prom, "--metrics-label", "1st=x"], "does not start with a letter"),
        (["--metrics-label", "role=x"], "--metrics-label needs --metrics"),
    ]
    if not args.runner:
        refused.append((["--metrics", "/proc/harnvik.prom"], "--metrics: cannot write a file beside"))
    for arguments, reason in refused:
        status, out, err = run(args, [log, "--json", os.path.join(scratch, "r.json")] + arguments)
        label = " ".join(arguments)
        check(status == 2 and reason in err, f"{label}: exit {status}, {err!r}, not 2 and {reason!r}")
        check(out == "" and not os.path.exists(os.path.join(scratch, "r.json")),
              f"{label}: a report before the refusal")
    check(not os.path.exists(prom), "a metrics file from a refused command line")

    # A finished run's figures, once: the values of its JSON, every sample labelled.
    report_json = os.path.join(scratch, "report.json")
    labels = {"role": 'gen "3"\\', "build": "a\nb"}
    arguments = [log, "--json", report_json, "--metrics", prom]
    for name, value in labels.items():
        arguments += ["--metrics-label", f"{name}={value}"]
    status, out, err = run(args, arguments)
    if not check(status == 0, f"metrics: exit {status}: {err}"):
        return
    with open(report_json, encoding="utf-8") as f:
        facts = json.load(f)
    with open(prom, encoding="utf-8") as f:
        text = f.read()
    samples = parse_metrics(text)
    for wrong in metrics_disagree(samples, facts, labels):
        check(False, f"metrics: {wrong}")
    check(all(dict(key[1]).items() >= labels.items() for key in samples),
          "metrics: a sample without the lab's labels")
    refusal = promtool_refusal(args.promtool, prom)
    check(not refusal, f"promtool check metrics: {refusal}")
    check(sorted(os.listdir(scratch)) == ["report.json", "soak.log", "soak.prom"],
          f"files beside the metrics: {sorted(os.listdir(scratch))}")

    # The open failed: that is the outcome, though the file cannot be read.
    status, out, err = run(args, ["-", "--file", os.path.join(scratch, "HelloWorld.m4v"),
                                  "--metrics", prom],
                           stdin=(START + "Error recording file.").encode())
    check(status == 2, f"an open that failed, its file missing: exit {status}")
    with open(prom, encoding="utf-8") as f:
        samples = parse_metrics(f.read())
    failed = [dict(key[1])["outcome"] for key, value in samples.items()
              if key[0] == "harnvik_soak_outcome" and value == 1]
    check(failed == ["open_failed"], f"an open that failed: outcome {failed}")
    refusal = promtool_refusal(args.promtool, prom)
    check(not refusal, f"promtool check metrics: {refusal}")


def no_gnuplot(args, scratch):
    log = os.path.join(scratch, "good.log")
    with open(log, "w") as f:
        f.write(rate(0, "5.00"))
    env = dict(os.environ)
    if not args.runner:
        # Under Wine the Windows search path never holds a gnuplot; here it
        # is left out of the search path.
        empty = os.path.join(scratch, "empty_bin")
        os.makedirs(empty, exist_ok=True)
        env["PATH"] = empty
    plot = os.path.join(scratch, "plot.png")
    status, out, err = run(args, [log, "--plot", plot], env=env)
    check(status == 2, f"no gnuplot: exit status {status}")
    check("--plot needs the gnuplot program" in err and "gnuplot-nox" in err,
          f"no gnuplot: message {err!r}")
    check(not os.path.exists(plot), "no gnuplot: a picture file was left")


def top_boxes(data, start, end):
    """(offset, size, type) of the boxes with 32-bit sizes from start to end."""
    at = start
    while at + 8 <= end:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        if size < 8 or at + size > end:
            return
        yield at, size, kind
        at += size


def with_length_box(data, version, ticks):
    """The file with a movie extends header (mehd) telling `ticks` as the
    first child of moov/mvex. The fragments' offsets count from their own
    moof, so moving them keeps them whole."""
    moov = next(b for b in top_boxes(data, 0, len(data)) if b[2] == b"moov")
    mvex = next(b for b in top_boxes(data, moov[0] + 8, moov[0] + moov[1]) if b[2] == b"mvex")
    field = struct.pack(">Q" if version == 1 else ">I", ticks)
    mehd = struct.pack(">I4sB3s", 12 + len(field), b"mehd", version, b"\0\0\0") + field
    out = bytearray(data[:mvex[0] + 8] + mehd + data[mvex[0] + 8:])
    for at, size in ((moov[0], moov[1]), (mvex[0], mvex[1])):
        struct.pack_into(">I", out, at, size + len(mehd))
    return bytes(out)


def length(args, scratch):
    made = os.path.join(scratch, "made.mp4")
    # Three seconds at 25 frames per second, a fragment per second; the
    # fragments count their data from their own moof.
    subprocess.run([args.ffmpeg, "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=160x120:rate=25", "-t", "3", "-c:v", "mpeg4", "-g", "25",
                    "-movflags", "frag_keyframe+empty_moov+default_base_moof", made],
                   check=True, timeout=120)
    with open(made, "rb") as f:
        data = f.read()
    # What is left after the last fragment (an index of the fragments) goes,
    # as from a file whose writer was killed.
    boxes = list(top_boxes(data, 0, len(data)))
    last_mdat = max(b for b in boxes if b[2] == b"mdat")
    data = data[:last_mdat[0] + last_mdat[1]]
    log = os.path.join(scratch, "run.log")
    with open(log, "w") as f:
        f.write(rate(0, "5.00"))
    hold = "its fragments hold 3.000 s"
    cases = [
        ("none", data, "the header tells none (no movie extends header (mehd) in the "
         "fragments' header (mvex) at byte ", None, None),
        ("version 1", with_length_box(data, 1, 3000), f"the header tells 3.000 s; {hold}\n",
         3.0, True),
        ("version 0", with_length_box(data, 0, 3000), f"the header tells 3.000 s; {hold}\n",
         3.0, True),
        ("shorter", with_length_box(data, 1, 2000), f"the header tells 2.000 s; {hold}: it "
         "tells 1.000 s less (a fragment completed as power was lost?)\n", 2.0, False),
        ("longer", with_length_box(data, 0, 4000), f"the header tells 4.000 s; {hold}: it "
         "tells 1.000 s more, which is never right\n", 4.0, False),
    ]
    for label, content, line, length_s, agrees in cases:
        name = os.path.join(scratch, "fragmented.mp4")
        with open(name, "wb") as f:
            f.write(content)
        out_json = os.path.join(scratch, "length.json")
        status, out, err = run(args, [log, "--file", name, "--json", out_json])
        if not check(status == 0, f"{label}: exit status {status}: {err}"):
            continue
        print(f"{label}: " + "".join(l for l in out.splitlines(True) if l.startswith("length")),
              end="")
        check("\nlayout     fragmented MP4: an index of the tracks, then 3 fragments" in out,
              f"{label}: the layout line: {out!r}")
        check("\nlength     " + line in out, f"{label}: no line 'length     {line}' in {out!r}")
        with open(out_json, encoding="utf-8") as f:
            layout = json.load(f)["file"]["layout"]
        check(layout["header_length_s"] == length_s and layout["header_agrees"] is agrees,
              f"{label}: JSON layout {layout}")
        check((layout["header_length_note"] is None) == (length_s is not None),
              f"{label}: JSON note {layout['header_length_note']!r}")


CASES = {"refusals": refusals, "report": report, "metrics": metrics, "no_gnuplot": no_gnuplot,
         "length": length}
# The Windows build's FFmpeg writes MP4 but does not read what ffmpeg makes.
NATIVE_ONLY = {"length"}


def main():
    if list_cases(CASES, NATIVE_ONLY):
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=CASES)
    parser.add_argument("--program", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--plot", action="store_true", help="gnuplot is there: check --plot")
    parser.add_argument("--ffmpeg", default="ffmpeg", help="the ffmpeg program, for 'length'")
    parser.add_argument("--promtool", default="", help="lints the metrics files where given")
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="harnvik_report_cli_")
    try:
        CASES[args.case](args, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return outcome()


if __name__ == "__main__":
    sys.exit(main())
