#!/usr/bin/env python3
"""Runs the real Harnvik in scratch directories and checks what it prints,
how it ends and what it leaves behind.

Cases:
  size_limit  under a file-size limit (SIGXFSZ ignored) the recording ends
              with a write error: all eight workers report, the soak starts
              after the 30 s pause and ends with "Error writing to file.",
              the process exits 0 and the file plays whole: the writer cut
              its torn last fragment off. ffprobe, GStreamer and MediaInfo
              count the same pictures.
  blocked     a directory named HelloWorld.m4v makes the open fail: "Error
              recording file.", exit 0. Several runs at once, each with other
              arguments (none, options, non-ASCII, empty, bytes that are not
              UTF-8): arguments change nothing, and every run ends although
              its workers never do.
"""
import argparse
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, outcome  # noqa: E402

START = "Starting to record to disk using Intel Media SDK ...\n"
OPEN_ERROR = "Error recording file."
WRITE_ERROR = "Error writing to file."
RATE = r"Thread [0-7], memcpy = (?:[0-9]+\.[0-9]{2}|inf)Gb/s\n"


def _starts(pieces):
    """A pattern for every start of the pieces in a row, the empty one too."""
    pattern = ""
    for piece in reversed(pieces):
        pattern = f"(?:{piece}{pattern})?"
    return pattern


# A rate line that the process end cut short (a worker stopped while it
# wrote), up to the whole line without its line end.
_UNIT = _starts(["G", "b", "/", "s"])
CUT_RATE = "T" + _starts([re.escape(c) for c in "hread "] + ["[0-7]"] +
                         [re.escape(c) for c in ", memcpy = "] +
                         [f"(?:[0-9]+{_starts([r'[.]', '[0-9]', '[0-9]' + _UNIT])}"
                          f"|i{_starts(['n', 'f' + _UNIT])})"])
PAUSE_S = 30.0
# Only a hang reaches this: the whole run takes the pause plus a few seconds.
DEADLINE_S = 900


def scratch(root, name):
    path = os.path.join(root, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def start(args, cwd, arguments, file_limit=None):
    command = ([args.runner] if args.runner else []) + [args.program] + arguments

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        if file_limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))

    return subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                            preexec_fn=limit, restore_signals=False)


def finish(process, began, label):
    try:
        out, _ = process.communicate(timeout=DEADLINE_S)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        check(False, f"{label}: still running after {DEADLINE_S} s")
        return None, None, None
    elapsed = time.monotonic() - began
    text = out.decode("utf-8", "replace").replace("\r\n", "\n")  # Windows console line ends
    print(f"--- {label}: exit {process.returncode} after {elapsed:.1f} s, "
          f"{text.count('Thread ')} rate lines; last bytes: {text[-120:]!r}", flush=True)
    return process.returncode, text, elapsed


def last_buffer_once(label, text, final):
    """Under Wine the C runtime can write the last block of standard output
    twice: a worker that the process end stops in the middle of writing the
    block leaves it unmarked as written, and the runtime writes it again as
    the process ends. Returns the text with such a doubled tail once."""
    first = text.find(final)
    if first < 0:
        return text
    for start in range(first, max(first - 65536, -1), -1):
        half = (len(text) - start) // 2
        if (len(text) - start) % 2 == 0 and final in text[start:start + half] and \
                text[start:start + half] == text[start + half:]:
            print(f"{label}: the last {half} bytes of output came twice (the runtime's "
                  "buffer written again as the process ended)")
            return text[:start + half]
    return text


def check_output(label, text, final, runner=""):
    """Rate lines anywhere; the start text once; then the final text. The
    workers run until the process ends, so rate lines may follow the final
    text, the last of them cut short, but nothing else does."""
    if runner:
        text = last_buffer_once(label, text, final)
    shape = re.compile(f"(?:{RATE})*{re.escape(START)}(?:{RATE})*{re.escape(final)}"
                       f"(?:{RATE})*(?:{CUT_RATE})?")
    if not check(shape.fullmatch(text) is not None, f"{label}: output out of shape"):
        print(text[-2000:])
    tail = text[text.rfind(final) + len(final):] if final in text else ""
    if tail:
        print(f"{label}: {tail.count('Thread ')} rate line(s) after the final text "
              "(workers still running at exit)")
        if not tail.endswith("\n"):
            print(f"{label}: the last of them cut short: {tail[tail.rfind('Thread '):]!r}")
    return {int(m) for m in re.findall(r"Thread ([0-7]), memcpy", text)}


# --- The recording ------------------------------------------------------------
# The writer cuts a torn last fragment off when a write fails, so the whole
# file must play. Independent parsers judge it: ffprobe (packets from the index
# and decoded frames), and natively also GStreamer and MediaInfo.

def probe(args, path, entries):
    result = subprocess.run([args.ffprobe, "-v", "error", "-count_frames", "-count_packets",
                             "-show_entries", entries, "-of", "compact=nokey=0", path],
                            capture_output=True, text=True)
    return result.stdout, result.stderr


def gstreamer_video_frames(path):
    """Decoded pictures through qtdemux and the decoders, or None without GStreamer."""
    launch = shutil.which("gst-launch-1.0")
    if launch is None:
        return None
    result = subprocess.run([launch, "-v", "filesrc", f"location={path}", "!", "qtdemux", "name=d",
                             "d.video_0", "!", "queue", "!", "decodebin", "!", "fakesink",
                             "silent=false"], capture_output=True, text=True)
    if result.returncode != 0:
        return -1
    return sum(1 for line in result.stdout.splitlines() if "fakesink0" in line and "chain" in line)


def mediainfo_counts(path):
    """(video frames, audio frames) as MediaInfo reads them, or None without it."""
    program = shutil.which("mediainfo")
    if program is None:
        return None
    counts = []
    for inform in ("Video;%FrameCount%", "Audio;%FrameCount%"):
        result = subprocess.run([program, f"--Inform={inform}", path], capture_output=True, text=True)
        counts.append(int(result.stdout.strip() or -1))
    return tuple(counts)


def check_recording(args, directory):
    path = os.path.join(directory, "HelloWorld.m4v")
    if not check(os.path.isfile(path), "size_limit: no HelloWorld.m4v"):
        return
    out, err = probe(args, path,
                     "stream=codec_type,codec_name,width,height,r_frame_rate,sample_rate,"
                     "nb_read_frames,nb_read_packets")
    print(f"file {os.path.getsize(path)} bytes\n{out.strip()}")
    check(err.strip() == "", f"size_limit: ffprobe reports errors: {err.strip()[:500]}")
    streams = [dict(item.split("=", 1) for item in line.split("|")[1:])
               for line in out.strip().splitlines()]
    video = [s for s in streams if s.get("codec_type") == "video"]
    audio = [s for s in streams if s.get("codec_type") == "audio"]
    if not check(len(video) == 1 and len(audio) == 1,
                 "size_limit: not one video and one audio stream"):
        return
    v, a = video[0], audio[0]
    check(v["codec_name"] == "h264", f"video codec {v['codec_name']}")
    check((v["width"], v["height"]) == ("1920", "1080"), f"frame {v['width']}x{v['height']}")
    check(v["r_frame_rate"] == "25/1", f"frame rate {v['r_frame_rate']}")
    pictures = int(v["nb_read_packets"])
    check(pictures >= 25, "size_limit: less than one second of video recorded")
    check(pictures % 25 == 0, f"size_limit: {pictures} pictures are not whole fragments")
    check(int(v["nb_read_frames"]) == pictures,
          f"decoded {v['nb_read_frames']} video frames of {pictures}")
    check(a["codec_name"] == "aac", f"audio codec {a['codec_name']}")
    check(a["sample_rate"] == "48000", f"sample rate {a['sample_rate']}")
    check(int(a["nb_read_packets"]) > 0, "size_limit: no audio recorded")
    check(int(a["nb_read_frames"]) == int(a["nb_read_packets"]),
          f"decoded {a['nb_read_frames']} audio frames of {a['nb_read_packets']}")
    if args.runner:
        return  # the parsers below are native programs beside a native build
    gst = gstreamer_video_frames(path)
    if gst is not None:
        check(gst == pictures, f"GStreamer decodes {gst} pictures, ffprobe {pictures}")
    info = mediainfo_counts(path)
    if info is not None:
        check(info[0] == pictures, f"MediaInfo counts {info[0]} pictures, ffprobe {pictures}")


def size_limit(args):
    directory = scratch(args.scratch, "size_limit")
    began = time.monotonic()
    process = start(args, directory, [], file_limit=args.file_limit)
    status, text, elapsed = finish(process, began, "size_limit")
    if text is None:
        return
    check(status == 0, f"size_limit: exit status {status}")
    check(elapsed >= PAUSE_S - 1, f"size_limit: ended after {elapsed:.1f} s, before the pause")
    workers = check_output("size_limit", text, WRITE_ERROR, args.runner)
    check(workers <= set(range(8)) and len(workers) >= args.min_workers,
          f"size_limit: rate lines only from workers {sorted(workers)}")
    check_recording(args, directory)


def blocked(args):
    argument_sets = [
        [],
        ["--help", "-o", "other.m4v", "HelloWorld.m4v"],
        ["\u00fcn\u00efc\u00f8d\u00e9 \u6587\u5b57", "", "  "],
    ]
    if not args.runner:
        argument_sets.append([b"\xff\xfe not UTF-8", b"\xc3"])
    runs = []
    for i, arguments in enumerate(argument_sets):
        directory = scratch(args.scratch, f"blocked_{i}")
        os.mkdir(os.path.join(directory, "HelloWorld.m4v"))
        runs.append((directory, arguments, time.monotonic(), start(args, directory, arguments)))
    for directory, arguments, began, process in runs:
        label = f"blocked {arguments!r}"
        status, text, elapsed = finish(process, began, label)
        if text is None:
            continue
        check(status == 0, f"{label}: exit status {status}")
        check(elapsed >= PAUSE_S - 1, f"{label}: ended after {elapsed:.1f} s, before the pause")
        check_output(label, text, OPEN_ERROR, args.runner)
        check(WRITE_ERROR not in text, f"{label}: a write error after a failed open")
        check(sorted(os.listdir(directory)) == ["HelloWorld.m4v"],
              f"{label}: left {sorted(os.listdir(directory))}")
        check(os.path.isdir(os.path.join(directory, "HelloWorld.m4v")) and
              not os.listdir(os.path.join(directory, "HelloWorld.m4v")),
              f"{label}: the directory in the way was changed")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["size_limit", "blocked"])
    parser.add_argument("--program", required=True)
    parser.add_argument("--runner", default="", help="e.g. the build's wine-run")
    parser.add_argument("--ffprobe", default="ffprobe")
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--file-limit", type=int, default=2 * 1024 * 1024)
    parser.add_argument("--min-workers", type=int, default=8,
                        help="how many workers must have printed a rate line")
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    {"size_limit": size_limit, "blocked": blocked}[args.case](args)
    return outcome()


if __name__ == "__main__":
    sys.exit(main())
