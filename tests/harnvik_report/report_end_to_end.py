#!/usr/bin/env python3
"""A real, bounded Harnvik run piped into harnvik_report: under a file-size
limit (SIGXFSZ ignored) the recording ends with a write error. The report
must find every worker, the write failure and, from the file, as many video
frames as ffprobe counts; its JSON and its picture are checked too.

With --follow, Harnvik writes into a log file and two followers watch the
run instead: one reads the log as it grows on its standard input, the other
the log file itself, both with the file. Both must show the media while it
is recorded and, at the run's natural end, give the report (table and JSON)
that the tool gives afterwards of the same log and file. With --strace,
Harnvik's writes are counted: one a text. With --prometheus, both followers
write metrics into node_exporter's textfile folder, which Prometheus scrapes
every second: its API must show the media safe rising while the run records
and, at the end, the figures of the report's JSON."""
import argparse
import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, lower_priority, outcome  # noqa: E402
from report_checks import metrics_disagree, parse_metrics, png_size, promtool_refusal  # noqa: E402

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
    parser.add_argument("--strace", action="store_true",
                        help="with --follow: count Harnvik's writes to its output")
    parser.add_argument("--prometheus", default="",
                        help="with --follow: Prometheus, to gather the followers' metrics")
    parser.add_argument("--node-exporter", default="", help="node_exporter, for Prometheus")
    parser.add_argument("--promtool", default="", help="lints the metrics files")
    parser.add_argument("--rules", default="", help="the alerting rules Prometheus loads")
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


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as answer:
        return answer.read()


class lab:
    """Prometheus scraping node_exporter every second, whose textfile
    collector reads the metrics folder: both started here as plain
    processes, on free local ports, with the shipped alerting rules."""

    def __init__(self, args, directory):
        self.folder = os.path.join(directory, "textfile")
        os.makedirs(self.folder)
        self.processes = []
        exporter_port, prometheus_port = free_port(), free_port()
        self.processes.append(subprocess.Popen(
            [args.node_exporter, f"--web.listen-address=127.0.0.1:{exporter_port}",
             "--collector.disable-defaults", "--collector.textfile",
             f"--collector.textfile.directory={self.folder}"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(directory, "exporter.log"), "w")))
        configuration = os.path.join(directory, "prometheus.yml")
        with open(configuration, "w") as f:
            f.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                    f"rule_files: ['{os.path.abspath(args.rules)}']\n"
                    "scrape_configs:\n  - job_name: soak\n"
                    f"    static_configs: [{{targets: ['127.0.0.1:{exporter_port}']}}]\n")
        self.processes.append(subprocess.Popen(
            [args.prometheus, f"--config.file={configuration}",
             f"--storage.tsdb.path={os.path.join(directory, 'tsdb')}",
             f"--web.listen-address=127.0.0.1:{prometheus_port}", "--log.level=warn"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(directory, "prometheus.log"), "w")))
        self.api = f"http://127.0.0.1:{prometheus_port}/api/v1/"
        self.ready = self.wait_for(f"http://127.0.0.1:{prometheus_port}/-/ready") and \
            self.wait_for(f"http://127.0.0.1:{exporter_port}/metrics")

    def wait_for(self, url):
        ending = time.monotonic() + 60
        while time.monotonic() < ending:
            try:
                get(url)
                return True
            except OSError:
                time.sleep(0.2)
        return False

    def query(self, expression, **more):
        """The result of a query: [(labels, value or [(time, value)...])]."""
        kind = "query_range" if "start" in more else "query"
        url = self.api + kind + "?" + urllib.parse.urlencode(dict(query=expression, **more))
        answer = json.loads(get(url))
        found = []
        for series in answer["data"]["result"]:
            labels = {k: v for k, v in series["metric"].items() if k not in ("instance", "job")}
            if "values" in series:
                found.append((labels, [(t, float(v)) for t, v in series["values"]]))
            else:
                found.append((labels, float(series["value"][1])))
        return found

    def samples(self, selector):
        """{(name, labels): value} of every harnvik_ metric of the selector now."""
        return {(labels.pop("__name__"), tuple(sorted(labels.items()))): value
                for labels, value in self.query('{__name__=~"harnvik_.*",%s}' % selector)}

    def stop(self):
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()


def count_writes(trace, log):
    """From strace's record of Harnvik's writes: the writes to its standard
    output, and those that are not one whole text (a line, or the final text
    without a line end)."""
    writes = re.findall(r'write\(1, "((?:[^"\\]|\\.)*)"(\.\.\.)?, \d+', trace)
    not_one = [text for text, cut in writes
               if cut or not (text.endswith("\\n") and text.count("\\n") == 1 or
                              text in ("Error writing to file.", "Error recording file."))]
    # Each line ends with its line end, the final text has none.
    texts = log.count(b"\n") + log.count(b"Error writing to file.") + \
        log.count(b"Error recording file.")
    return len(writes), texts, not_one


def follow(args, directory, runner, limit):
    report = runner + [os.path.abspath(args.report)]
    file_arguments = [] if args.no_file else ["--file", "HelloWorld.m4v"]
    watching = lab(args, directory) if args.prometheus else None
    if watching is not None and not check(watching.ready, "Prometheus or node_exporter not ready"):
        watching.stop()
        return outcome()
    metrics = {}
    for name in ("log", "stdin"):
        if watching is not None:
            metrics[name] = ["--metrics", os.path.join(watching.folder, f"{name}.prom"),
                             "--metrics-label", f"follower={name}"]
        else:
            metrics[name] = []
    # Harnvik writes straight into the log, a line at a time; strace counts
    # its writes where it is given.
    traced = ["strace", "-f", "-qq", "--seccomp-bpf", "-e", "trace=write", "-e", "signal=none",
              "-s", "256", "-o", os.path.join(directory, "strace.txt")] if args.strace else []
    log_name = os.path.join(directory, "soak.log")
    began = time.time()
    with open(log_name, "wb") as log:
        harnvik = subprocess.Popen(traced + runner + [os.path.abspath(args.harnvik)],
                                   cwd=directory, stdin=subprocess.DEVNULL, stdout=log,
                                   preexec_fn=limit, restore_signals=False)
    followers = {
        "standard input": subprocess.Popen(
            report + ["--follow", "--interval", "1", "--json", "stdin.json"] + file_arguments +
            metrics["stdin"], cwd=directory, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE),
        "soak.log": subprocess.Popen(
            report + ["--follow", "soak.log", "--interval", "1", "--json", "log.json"] +
            file_arguments + metrics["log"], cwd=directory, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE),
    }
    outputs = {}

    def collect(name, follower):
        outputs[name] = follower.communicate(timeout=DEADLINE_S)

    collectors = [threading.Thread(target=collect, args=(name, follower))
                  for name, follower in followers.items() if name != "standard input"]
    for collector in collectors:
        collector.start()
    # The log goes on, as tail -f would carry it, to the first follower.
    reading = followers["standard input"]
    stdin_output = threading.Thread(target=lambda: outputs.__setitem__(
        "standard input", (reading.stdout.read(), reading.stderr.read())))
    stdin_output.start()
    with open(log_name, "rb") as log:
        while True:
            ended = harnvik.poll() is not None
            block = log.read()
            if block:
                reading.stdin.write(block)
                reading.stdin.flush()
            elif ended:
                break
            else:
                time.sleep(0.1)
    reading.stdin.close()
    # The followers end soon after the run: standard input's with its input,
    # the log's once the log has been quiet after the final text for one and
    # a half of a worker's measurements. One that goes on is stopped.
    ending = time.monotonic() + FOLLOWERS_END_S
    for thread in [stdin_output] + collectors:
        thread.join(timeout=max(0.0, ending - time.monotonic()))
    # A follower that has closed its output may still be ending.
    stuck = []
    for name, follower in followers.items():
        try:
            follower.wait(timeout=max(1.0, ending - time.monotonic()))
        except subprocess.TimeoutExpired:
            stuck.append(name)
    for name in stuck:
        followers[name].kill()
    for thread in [stdin_output] + collectors:
        thread.join(timeout=10)
    check(harnvik.returncode == 0, f"Harnvik exit status {harnvik.returncode}")
    check(not stuck, f"following {', '.join(stuck)}: still running {FOLLOWERS_END_S} s after "
          "Harnvik ended")
    if stuck or harnvik.returncode != 0:
        if watching is not None:
            watching.stop()
        return outcome()

    with open(log_name, "rb") as f:
        written = f.read()
    if args.strace:
        with open(os.path.join(directory, "strace.txt"), errors="replace") as f:
            writes, texts, not_one = count_writes(f.read(), written)
        print(f"strace: {writes} writes to standard output for {texts} texts")
        check(writes == texts and not not_one,
              f"{writes} writes for {texts} texts; not one whole text: {not_one[:5]}")

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
    if watching is not None:
        check_lab(args, watching, facts, began)
        watching.stop()
    return outcome()


def check_lab(args, watching, facts, began):
    """What Prometheus gathered of the two followers' metrics: the media
    safe rising while the run recorded, and at the end the figures of the
    report's JSON; the files pass promtool; no alert for a soak that ended
    well."""
    for name in ("log", "stdin"):
        path = os.path.join(watching.folder, f"{name}.prom")
        refusal = promtool_refusal(args.promtool, path)
        check(not refusal, f"promtool check metrics {name}.prom: {refusal}")
        with open(path, encoding="utf-8") as f:
            written = parse_metrics(f.read())
        stamp = [v for k, v in written.items() if k[0] == "harnvik_metrics_updated_timestamp_seconds"]
        # The final file, once Prometheus has scraped it.
        ending = time.monotonic() + 60
        while time.monotonic() < ending:
            now = watching.query(
                f'harnvik_metrics_updated_timestamp_seconds{{follower="{name}"}}')
            if now and stamp and now[0][1] == stamp[0]:
                break
            time.sleep(0.5)
        else:
            check(False, f"{name}: Prometheus never scraped the final metrics")
            continue
        common = {"follower": name}
        if not args.no_file:
            common["file"] = "HelloWorld.m4v"
        for wrong in metrics_disagree(watching.samples(f'follower="{name}"'), facts, common):
            check(False, f"Prometheus, following {name}: {wrong}")
        if args.no_file:
            continue
        history = watching.query(
            f'harnvik_media_safe_seconds{{follower="{name}"}} and ignoring(phase) '
            f'harnvik_soak_phase{{follower="{name}",phase="recording"}} == 1',
            start=began, end=time.time(), step="1")
        values = [v for _, v in history[0][1] if v == v] if history else []  # v == v: not NaN
        rising = [v for a, v in zip(values, values[1:]) if v > a]
        print(f"Prometheus, following {name}: media safe while recording {values}")
        check(len(rising) >= 2 and values == sorted(values),
              f"following {name}: the media safe did not rise while recording: {values}")
    alerts = watching.query('ALERTS{alertname="HarnvikSoakEndedBadly"}')
    check(not alerts, f"an alert for a soak that ended well: {alerts}")


if __name__ == "__main__":
    sys.exit(main())
