#!/usr/bin/env python3
"""Runs the real Harnvik in scratch directories and checks what it prints,
how it ends and what it leaves behind.

Cases:
  size_limit  under a file-size limit (SIGXFSZ ignored) the recording ends
              with a write error: all eight workers report, the soak starts
              after the 30 s pause and ends with "Error writing to file.",
              the process exits 0 and the file plays up to its last complete
              fragment.
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
import struct
import subprocess
import sys
import time

START = "Starting to record to disk using Intel Media SDK ...\n"
OPEN_ERROR = "Error recording file."
WRITE_ERROR = "Error writing to file."
RATE = r"Thread [0-7], memcpy = (?:[0-9]+\.[0-9]{2}|inf)Gb/s\n"
PAUSE_S = 30.0
# Only a hang reaches this: the whole run takes the pause plus a few seconds.
DEADLINE_S = 900

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


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


def check_output(label, text, final):
    """Rate lines anywhere; the start text once; then the final text. The
    workers run until the process ends, so whole rate lines may follow the
    final text, but nothing else does."""
    shape = re.compile(f"(?:{RATE})*{re.escape(START)}(?:{RATE})*{re.escape(final)}(?:{RATE})*")
    if not check(shape.fullmatch(text) is not None, f"{label}: output out of shape"):
        print(text[-2000:])
    tail = text[text.rfind(final) + len(final):] if final in text else ""
    if tail:
        print(f"{label}: {tail.count('Thread ')} rate line(s) after the final text "
              "(workers still running at exit)")
    return {int(m) for m in re.findall(r"Thread ([0-7]), memcpy", text)}


# --- MP4 boxes --------------------------------------------------------------

def boxes(data, start, end):
    offset = start
    while offset + 8 <= end:
        size, kind = struct.unpack(">I4s", data[offset:offset + 8])
        header = 8
        if size == 1:
            size = struct.unpack(">Q", data[offset + 8:offset + 16])[0]
            header = 16
        elif size == 0:
            size = end - offset
        yield kind.decode("latin-1"), offset, offset + header, offset + size
        offset += size


def child(data, start, end, kind):
    for k, _, body, stop in boxes(data, start, end):
        if k == kind:
            return body, stop
    return None


def track_handlers(data, moov):
    handlers = {}
    for kind, _, body, stop in boxes(data, *moov):
        if kind != "trak":
            continue
        tkhd = child(data, body, stop, "tkhd")
        version = data[tkhd[0]]
        track_id = struct.unpack(">I", data[tkhd[0] + (20 if version == 1 else 12):][:4])[0]
        mdia = child(data, body, stop, "mdia")
        hdlr = child(data, *mdia, "hdlr")
        handlers[track_id] = data[hdlr[0] + 8:hdlr[0] + 12].decode("latin-1")
    return handlers


def complete_fragments(data):
    """Returns (end of the last complete fragment, samples per handler type)."""
    top = list(boxes(data, 0, len(data)))
    moov = next(((b, s) for k, _, b, s in top if k == "moov"), None)
    if moov is None or moov[1] > len(data):
        return 0, {}
    handlers = track_handlers(data, moov)
    samples = {}
    end_of_complete = moov[1]
    for i, (kind, offset, body, stop) in enumerate(top):
        if kind != "moof" or i + 1 >= len(top):
            continue
        mdat = top[i + 1]
        if stop > len(data) or mdat[0] != "mdat" or mdat[3] > len(data):
            break
        for k, _, traf, traf_end in boxes(data, body, stop):
            if k != "traf":
                continue
            tfhd = child(data, traf, traf_end, "tfhd")
            track_id = struct.unpack(">I", data[tfhd[0] + 4:tfhd[0] + 8])[0]
            for k2, _, trun, _ in boxes(data, traf, traf_end):
                if k2 == "trun":
                    count = struct.unpack(">I", data[trun + 4:trun + 8])[0]
                    handler = handlers.get(track_id, "?")
                    samples[handler] = samples.get(handler, 0) + count
        end_of_complete = mdat[3]
    return end_of_complete, samples


def probe(args, path, entries):
    result = subprocess.run([args.ffprobe, "-v", "error", "-count_frames", "-show_entries",
                             entries, "-of", "compact=nokey=0", path],
                            capture_output=True, text=True)
    return result.stdout, result.stderr


def check_recording(args, directory):
    path = os.path.join(directory, "HelloWorld.m4v")
    if not check(os.path.isfile(path), "size_limit: no HelloWorld.m4v"):
        return
    data = open(path, "rb").read()
    end, samples = complete_fragments(data)
    print(f"file {len(data)} bytes, complete fragments end at {end}, samples {samples}")
    check(samples.get("vide", 0) >= 25, "size_limit: less than one second of video recorded")
    check(samples.get("soun", 0) > 0, "size_limit: no audio recorded")
    # What a player gets up to the last complete fragment: every frame decodes.
    complete = os.path.join(directory, "complete.m4v")
    with open(complete, "wb") as f:
        f.write(data[:end])
    out, err = probe(args, complete,
                     "stream=codec_type,codec_name,width,height,r_frame_rate,sample_rate,"
                     "nb_read_frames")
    print(out.strip())
    check(err.strip() == "", f"size_limit: ffprobe reports errors: {err.strip()[:500]}")
    streams = [dict(item.split("=", 1) for item in line.split("|")[1:])
               for line in out.strip().splitlines()]
    video = [s for s in streams if s.get("codec_type") == "video"]
    audio = [s for s in streams if s.get("codec_type") == "audio"]
    if check(len(video) == 1 and len(audio) == 1, "size_limit: not one video and one audio stream"):
        v, a = video[0], audio[0]
        check(v["codec_name"] == "h264", f"video codec {v['codec_name']}")
        check((v["width"], v["height"]) == ("1920", "1080"), f"frame {v['width']}x{v['height']}")
        check(v["r_frame_rate"] == "25/1", f"frame rate {v['r_frame_rate']}")
        check(int(v["nb_read_frames"]) == samples.get("vide"),
              f"decoded {v['nb_read_frames']} video frames of {samples.get('vide')}")
        check(a["codec_name"] == "aac", f"audio codec {a['codec_name']}")
        check(a["sample_rate"] == "48000", f"sample rate {a['sample_rate']}")
        check(int(a["nb_read_frames"]) == samples.get("soun"),
              f"decoded {a['nb_read_frames']} audio frames of {samples.get('soun')}")


def size_limit(args):
    directory = scratch(args.scratch, "size_limit")
    began = time.monotonic()
    process = start(args, directory, [], file_limit=args.file_limit)
    status, text, elapsed = finish(process, began, "size_limit")
    if text is None:
        return
    check(status == 0, f"size_limit: exit status {status}")
    check(elapsed >= PAUSE_S - 1, f"size_limit: ended after {elapsed:.1f} s, before the pause")
    workers = check_output("size_limit", text, WRITE_ERROR)
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
        check_output(label, text, OPEN_ERROR)
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
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
