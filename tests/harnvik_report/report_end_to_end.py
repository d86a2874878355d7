#!/usr/bin/env python3
"""A real, bounded Harnvik run piped into harnvik_report: under a file-size
limit (SIGXFSZ ignored) the recording ends with a write error. The report
must find every worker, the write failure and, from the file, as many video
frames as ffprobe counts; its JSON and its picture are checked too.

With --follow, two followers watch the run instead: one reads Harnvik's
output on its standard input, the other the log that the output is written
to, both with the file. Both must show the media while it is recorded and,
at the run's natural end, give the report (table and JSON) that the tool
gives afterwards of the same log and file."""
import argparse
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, lower_priority, outcome  # noqa: E402
from report_checks import png_size  # noqa: E402

WORKERS = 8
DEADLINE_S = 900  # only a hang reaches this: the run takes the 30 s pause and a few seconds
FOLLOWERS_END_S = 300  # a quiet log after the final text, then a report, under a sanitizer too


def ffprobe_counts(ffprobe, path):
    """Video packets and decoded video frames, as ffprobe counts them."""
    out = subprocess.run([ffprobe, "-v", "error", "-select_streams", "v:0", "-count_packets",
                          "-count_frames", "-show_entries", "stream=nb_read_packets,nb_read_frames",
                          "-of", "json", path], capture_output=True, text=True, check=True).stdout
    stream = json.loads(out)["streams"][0]
    return int(stream["nb_read_packets"]), int(stream["nb_read_frames"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--harnvik", required=True)
    parser.add_argument("--report", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("--ffprobe", default="ffprobe")
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--file-limit", type=int, default=4 * 1024 * 1024)
    parser.add_argument("--no-file", action="store_true",
                        help="the build's FFmpeg cannot read MP4: report on the log only")
    parser.add_argument("--plot", action="store_true", help="gnuplot is there: draw the picture")
    parser.add_argument("--follow", action="store_true", help="follow the run while it goes")
    args = parser.parse_args()

    directory = args.scratch
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    runner = [args.runner] if args.runner else []

    def limit():
        lower_priority()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (args.file_limit, args.file_limit))

    if args.follow:
        return follow(args, directory, runner, limit)

    report_arguments = ["-", "--json", "report.json"]
    if not args.no_file:
        report_arguments += ["--file", "HelloWorld.m4v", "--decode"]
    if args.plot:
        report_arguments += ["--plot", "report.png"]
    began = time.monotonic()
    harnvik = subprocess.Popen(runner + [os.path.abspath(args.harnvik)], cwd=directory,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               preexec_fn=limit, restore_signals=False)
    # The report reads the log until Harnvik ends, then reads the file.
    report = subprocess.Popen(runner + [os.path.abspath(args.report)] + report_arguments,
                              cwd=directory, stdin=harnvik.stdout, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    harnvik.stdout.close()
    try:
        out, err = report.communicate(timeout=DEADLINE_S)
        harnvik.wait(timeout=60)
    except subprocess.TimeoutExpired:
        harnvik.kill()
        report.kill()
        print(f"FAIL: still running after {DEADLINE_S} s")
        return 1
    print(f"--- Harnvik exit {harnvik.returncode}, report exit {report.returncode} after "
          f"{time.monotonic() - began:.1f} s")
    print(out.decode("utf-8", "replace"))
    print(err.decode("utf-8", "replace"))
    check(harnvik.returncode == 0, f"Harnvik exit status {harnvik.returncode}")
    if not check(report.returncode == 0, f"report exit status {report.returncode}"):
        return 1

    with open(os.path.join(directory, "report.json"), encoding="utf-8") as f:
        facts = json.load(f)
    check(facts["recording"]["outcome"] == "write_failed",
          f"outcome {facts['recording']['outcome']}")
    check(facts["log"]["foreign_count"] == 0, f"foreign lines {facts['log']['foreign']}")
    reporting = facts["workers_reporting"]
    check(reporting == WORKERS, f"{reporting} of the {WORKERS} workers reporting")
    check(facts["log"]["rate_lines"] == sum(w["lines"] for w in facts["workers"]),
          "rate lines and the workers' lines disagree")
    if not args.no_file:
        media = facts["file"]
        packets, frames = ffprobe_counts(args.ffprobe, os.path.join(directory, "HelloWorld.m4v"))
        print(f"ffprobe: {packets} video packets, {frames} decoded frames; report: "
              f"{media['video']['frames']} frames, {media['decode']['video_frames']} decoded")
        check(media["video"]["frames"] >= 25, "less than a second of video")
        check(media["video"]["frames"] == packets,
              f"report counts {media['video']['frames']} frames, ffprobe {packets}")
        check(media["decode"]["video_frames"] == frames,
              f"report decodes {media['decode']['video_frames']} frames, ffprobe {frames}")
        check(media["video"]["codec"] == "h264" and media["video"]["width"] == 1920 and
              media["video"]["height"] == 1080, f"video {media['video']}")
        check(media["audio"]["sample_rate"] == 48000 and media["audio"]["channels"] == 4,
              f"audio {media['audio']}")
        check(media["plays_to_end"], "the file does not play to its end")
        check(abs(media["duration_s"] - media["video"]["frames"] / 25.0) < 0.2,
              f"duration {media['duration_s']} s for {media['video']['frames']} frames")
        # A finished file tells no length in a header; one left in fragments
        # (no room could be kept for its index) tells the length of them all.
        layout = media["layout"]
        if layout["kind"] == "fragmented":
            check(layout["header_agrees"] is True,
                  f"the header's length and the fragments disagree: {layout}")
        else:
            check(layout["header_length_s"] is None and layout["header_agrees"] is None,
                  f"a length in the header of a file that is not fragmented: {layout}")
        if facts["workers_while_recording"] > 0:
            check(facts["real_time_factor"] is not None and facts["real_time_factor"] > 0,
                  f"real-time factor {facts['real_time_factor']}")
    if args.plot:
        size = png_size(os.path.join(directory, "report.png"))
        check(size == (1200, 900), f"picture: a PNG of 1200x900, not {size}")

    return outcome()


def follow(args, directory, runner, limit):
    report = runner + [os.path.abspath(args.report)]
    file_arguments = [] if args.no_file else ["--file", "HelloWorld.m4v"]
    # Into a pipe Harnvik's lines come in 4 KiB blocks, which under the thread
    # sanitizer may hold the whole run: each line at once, as the manual says.
    # stdbuf preloads a library, which the address sanitizer allows when told.
    line_buffered = ["stdbuf", "-oL"] if not runner and shutil.which("stdbuf") else []
    environment = dict(os.environ)
    environment["ASAN_OPTIONS"] = ":".join(
        filter(None, [environment.get("ASAN_OPTIONS", ""), "verify_asan_link_order=0"]))
    harnvik = subprocess.Popen(line_buffered + runner + [os.path.abspath(args.harnvik)],
                               cwd=directory, env=environment,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               preexec_fn=limit, restore_signals=False)
    followers = {
        "standard input": subprocess.Popen(
            report + ["--follow", "--interval", "2", "--json", "stdin.json"] + file_arguments,
            cwd=directory, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE),
        "soak.log": subprocess.Popen(
            report + ["--follow", "soak.log", "--interval", "2", "--json", "log.json"] +
            file_arguments, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.PIPE),
    }
    outputs = {}

    def collect(name, follower):
        outputs[name] = follower.communicate(timeout=DEADLINE_S)

    collectors = [threading.Thread(target=collect, args=(name, follower))
                  for name, follower in followers.items() if name != "standard input"]
    for collector in collectors:
        collector.start()
    # The output goes on, as a tee would, to the log and to the first follower.
    reading = followers["standard input"]
    stdin_output = threading.Thread(target=lambda: outputs.__setitem__(
        "standard input", (reading.stdout.read(), reading.stderr.read())))
    stdin_output.start()
    with open(os.path.join(directory, "soak.log"), "wb") as log:
        for block in iter(lambda: harnvik.stdout.read1(65536), b""):
            log.write(block)
            log.flush()
            reading.stdin.write(block)
            reading.stdin.flush()
    reading.stdin.close()
    harnvik.wait(timeout=60)
    # The followers end soon after the run: standard input's with its input,
    # the log's once the log has been quiet after the final text for one and
    # a half of a worker's measurements. One that goes on is stopped.
    ending = time.monotonic() + FOLLOWERS_END_S
    for thread in [stdin_output] + collectors:
        thread.join(timeout=max(0.0, ending - time.monotonic()))
    stuck = [name for name, follower in followers.items() if follower.poll() is None]
    for name in stuck:
        followers[name].kill()
    for thread in [stdin_output] + collectors:
        thread.join(timeout=10)
    check(harnvik.returncode == 0, f"Harnvik exit status {harnvik.returncode}")
    check(not stuck, f"following {', '.join(stuck)}: still running {FOLLOWERS_END_S} s after "
          "Harnvik ended")
    if stuck or harnvik.returncode != 0:
        return outcome()

    afterwards = subprocess.run(report + ["soak.log", "--json", "after.json"] + file_arguments,
                                cwd=directory, capture_output=True, timeout=DEADLINE_S)
    table = afterwards.stdout.decode().replace("\r\n", "\n")
    check(afterwards.returncode == 0, f"the report afterwards: exit {afterwards.returncode}")
    with open(os.path.join(directory, "after.json"), encoding="utf-8") as f:
        facts = json.load(f)
    for name, follower in followers.items():
        out, err = (part.decode("utf-8", "replace").replace("\r\n", "\n")
                    for part in outputs.get(name, (b"", b"")))
        print(f"--- following {name}: exit {follower.returncode}\n{out}{err}")
        check(follower.returncode == 0, f"following {name}: exit status {follower.returncode}")
        live, _, final = out.partition("\n\nHarnvik run: ")
        expected = table.replace("Harnvik run: soak.log", "Harnvik run: " + name, 1)
        check("Harnvik run: " + final == expected,
              f"following {name}: the final report is not the report afterwards")
        with open(os.path.join(directory, "stdin.json" if name == "standard input" else
                               "log.json"), encoding="utf-8") as f:
            followed = json.load(f)
        followed["log"]["name"] = "soak.log"
        check(followed == facts, f"following {name}: its JSON is not the JSON afterwards")
        media = [float(seconds) for seconds in re.findall(r"([0-9.]+) s of media safe", live)]
        if not args.no_file:
            check(any(0 < seconds for seconds in media),
                  f"following {name}: no line showed media while it was recorded")
        check(any("recording" in line for line in live.splitlines()),
              f"following {name}: no line while recording")
    return outcome()


if __name__ == "__main__":
    sys.exit(main())
