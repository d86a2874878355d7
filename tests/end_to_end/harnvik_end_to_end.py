#!/usr/bin/env python3
"""Runs the real Harnvik in scratch directories and checks what it prints,
how it ends and what it leaves behind.

Cases:
  size_limit  under a file-size limit (SIGXFSZ ignored) the recording ends
              with a write error: all eight workers report, the soak starts
              after the 30 s pause and ends with "Error writing to file.",
              the process exits 0 and the file is an ordinary MP4 within the
              limit that holds every fragment that was ever complete in it.
              ffprobe, GStreamer and MediaInfo count the same pictures and
              give the same length.
  disk        three runs at once, each in a small tmpfs of its own (mounting
              needs root): one fills its disk, in one another program fills
              the disk while it records, and one is killed (SIGKILL) while it
              records. The first two end as size_limit does; the killed one
              leaves its fragments, whole up to the last complete one, and
              nothing after them but the fragment it was writing: the room
              kept for the index adds nothing to the file's size.
              The Windows build under Wine cannot allocate room ahead (Wine
              does not implement it), so there the file is left fragmented,
              cut back to its last complete fragment; the checks say so.
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
import threading
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
    # A run that was killed may have left its tmpfs mounted here.
    if os.path.ismount(path):
        unmount(path)
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
# Independent parsers judge the file: ffprobe (packets from the index and
# decoded frames), and natively also GStreamer (its decoders and its
# discoverer, which players use for the length) and MediaInfo.

ALLOCATES_AHEAD_NOTE = ("the Windows build under Wine: Wine cannot allocate room ahead, so the "
                        "writer leaves the file fragmented, cut back to its last complete fragment")


def top_boxes(path):
    """The top-level boxes as (type, position, size); a box cut short is
    ('?', position, bytes left)."""
    boxes = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        at = 0
        while size - at >= 8:
            f.seek(at)
            head = f.read(16)
            length, kind = struct.unpack(">I4s", head[:8])
            header = 8
            if length == 1 and len(head) == 16:
                length, header = struct.unpack(">Q", head[8:16])[0], 16
            elif length == 0:
                length = size - at
            if length < header or at + length > size:
                boxes.append(("?", at, size - at))
                break
            boxes.append((kind.decode("latin-1"), at, length))
            at += length
    return boxes


def complete_fragments(boxes):
    """Fragments (a moof and the whole mdat after it) and where the last ends."""
    count, end = 0, 0
    for (kind, _, _), (after, position, length) in zip(boxes, boxes[1:]):
        if kind == "moof" and after == "mdat":
            count, end = count + 1, position + length
    return count, end


def fragments_inside_media(path, boxes):
    """In a finished file the fragments stand whole inside its one mdat, which
    begins where the first index was: counts them, and whether they fill it."""
    media = [b for b in boxes if b[0] == "mdat"]
    if len(media) != 1:
        return 0, False
    _, position, length = media[0]
    with open(path, "rb") as f:
        f.seek(position)
        data = f.read(length)
    first = next((i - 4 for i in range(4, len(data) - 12)
                  if data[i:i + 4] == b"moof" and data[i + 8:i + 12] == b"mfhd"), -1)
    if first < 0:
        return 0, False
    count, at = 0, first
    while len(data) - at >= 8:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        if size < 8 or kind not in (b"moof", b"mdat"):
            return count, False
        count += kind == b"moof"
        at += size
    return count, at == len(data)


class watch:
    """Looks at the file while it is written: the most fragments that were
    ever complete in it, and its largest size."""

    def __init__(self, path):
        self.path, self.most, self.largest = path, 0, 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.wait(0.05):
            try:
                count, _ = complete_fragments(top_boxes(self.path))
                self.largest = max(self.largest, os.path.getsize(self.path))
            except (OSError, struct.error):
                continue
            self.most = max(self.most, count)

    def done(self):
        self.stop.set()
        self.thread.join()
        return self


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


def lengths(args, path):
    """The file's length in seconds as ffprobe, GStreamer's discoverer and
    MediaInfo give it (None where one is missing or says nothing)."""
    out = {}
    result = subprocess.run([args.ffprobe, "-v", "error", "-show_entries", "format=duration",
                             "-of", "default=nokey=1:noprint_wrappers=1", path],
                            capture_output=True, text=True)
    out["ffprobe"] = float(result.stdout.strip()) if result.stdout.strip() else None
    discoverer = shutil.which("gst-discoverer-1.0")
    if discoverer is not None:
        result = subprocess.run([discoverer, path], capture_output=True, text=True)
        found = re.search(r"Duration: (\d+):(\d+):([\d.]+)", result.stdout)
        out["GStreamer"] = (int(found.group(1)) * 3600 + int(found.group(2)) * 60 +
                            float(found.group(3))) if found else None
    program = shutil.which("mediainfo")
    if program is not None:
        result = subprocess.run([program, "--Inform=General;%Duration%", path],
                                capture_output=True, text=True)
        out["MediaInfo"] = float(result.stdout.strip()) / 1000 if result.stdout.strip() else None
    return out


def check_recording(args, label, path, seen, room_limit):
    """What a recording that ended at a write error leaves: one picture
    stream and one sound stream that decode without a message, whole
    fragments only, and every fragment that was ever complete in the file.
    Natively the file is an ordinary MP4 within `room_limit` bytes on which
    the parsers agree; under Wine it is the fragmented file cut back."""
    if not check(os.path.isfile(path), f"{label}: no HelloWorld.m4v"):
        return
    boxes = top_boxes(path)
    size = os.path.getsize(path)
    out, err = probe(args, path,
                     "stream=codec_type,codec_name,width,height,r_frame_rate,sample_rate,"
                     "nb_read_frames,nb_read_packets")
    print(f"{label}: file {size} bytes, boxes {[b[0] for b in boxes][:6]}..., "
          f"{seen.most} fragment(s) seen complete while it was written\n{out.strip()}")
    check(err.strip() == "", f"{label}: ffprobe reports errors: {err.strip()[:500]}")
    streams = [dict(item.split("=", 1) for item in line.split("|")[1:])
               for line in out.strip().splitlines()]
    video = [s for s in streams if s.get("codec_type") == "video"]
    audio = [s for s in streams if s.get("codec_type") == "audio"]
    if not check(len(video) == 1 and len(audio) == 1,
                 f"{label}: not one video and one audio stream"):
        return
    v, a = video[0], audio[0]
    check(v["codec_name"] == "h264", f"{label}: video codec {v['codec_name']}")
    check((v["width"], v["height"]) == ("1920", "1080"), f"{label}: frame {v['width']}x{v['height']}")
    check(v["r_frame_rate"] == "25/1", f"{label}: frame rate {v['r_frame_rate']}")
    pictures = int(v["nb_read_packets"])
    check(pictures >= 25, f"{label}: less than one second of video recorded")
    check(pictures % 25 == 0, f"{label}: {pictures} pictures are not whole fragments")
    check(int(v["nb_read_frames"]) == pictures,
          f"{label}: decoded {v['nb_read_frames']} video frames of {pictures}")
    check(a["codec_name"] == "aac", f"{label}: audio codec {a['codec_name']}")
    check(a["sample_rate"] == "48000", f"{label}: sample rate {a['sample_rate']}")
    check(int(a["nb_read_packets"]) > 0, f"{label}: no audio recorded")
    # An ordinary file's edit skips the encoder's priming, one whole AAC
    # frame that is read but not presented.
    primed = 0 if any(b[0] == "moof" for b in boxes) else 1
    check(int(a["nb_read_frames"]) == int(a["nb_read_packets"]) - primed,
          f"{label}: decoded {a['nb_read_frames']} audio frames of {a['nb_read_packets']}")
    if args.runner:
        print(f"{label}: {ALLOCATES_AHEAD_NOTE}")
        count, end = complete_fragments(boxes)
        check(pictures == 25 * count, f"{label}: {pictures} pictures in {count} fragments")
        check(count >= seen.most, f"{label}: {seen.most} fragments were complete, {count} are left")
        check(all(b[0] != "?" for b in boxes), f"{label}: a box cut short: {boxes[-1]}")
        return  # the parsers below are native programs beside a native build
    check([b[0] for b in boxes] == ["ftyp", "mdat", "moov"],
          f"{label}: not an ordinary MP4: top-level boxes {[b[0] for b in boxes][:8]}")
    check(size <= room_limit, f"{label}: {size} bytes, more than the {room_limit} it had")
    count, whole = fragments_inside_media(path, boxes)
    check(whole, f"{label}: the media data is not whole fragments")
    check(count >= seen.most, f"{label}: {seen.most} fragments were complete, {count} are kept")
    check(pictures == 25 * count, f"{label}: {pictures} pictures indexed of {count} fragments")
    gst = gstreamer_video_frames(path)
    if gst is not None:
        check(gst == pictures, f"{label}: GStreamer decodes {gst} pictures, ffprobe {pictures}")
    info = mediainfo_counts(path)
    if info is not None:
        check(info[0] == pictures, f"{label}: MediaInfo counts {info[0]} pictures, ffprobe {pictures}")
    found = lengths(args, path)
    print(f"{label}: lengths {found}")
    known = [t for t in found.values() if t is not None]
    check(len(known) == len(found), f"{label}: a parser gives no length: {found}")
    check(known and max(known) - min(known) <= 0.1, f"{label}: the parsers disagree on the length")
    check(known and abs(known[0] - pictures / 25) <= 0.1,
          f"{label}: {known[0] if known else None} s for {pictures} pictures")


def size_limit(args):
    directory = scratch(args.scratch, "size_limit")
    path = os.path.join(directory, "HelloWorld.m4v")
    began = time.monotonic()
    process = start(args, directory, [], file_limit=args.file_limit)
    seen = watch(path)
    status, text, elapsed = finish(process, began, "size_limit")
    seen.done()
    if text is None:
        return
    check(status == 0, f"size_limit: exit status {status}")
    check(elapsed >= PAUSE_S - 1, f"size_limit: ended after {elapsed:.1f} s, before the pause")
    workers = check_output("size_limit", text, WRITE_ERROR, args.runner)
    check(workers <= set(range(8)) and len(workers) >= args.min_workers,
          f"size_limit: rate lines only from workers {sorted(workers)}")
    check_recording(args, "size_limit", path, seen, args.file_limit)


# --- Small disks ----------------------------------------------------------------

SKIP = 77  # CTest's skip status for this script


def mount_tmpfs(path, size):
    os.makedirs(path, exist_ok=True)
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0777", "tmpfs", path],
                            capture_output=True, text=True)
    return result.returncode == 0, result.stderr.strip()


def unmount(path):
    subprocess.run(["umount", "-l", path], capture_output=True)


def wait_for_size(path, size, process, deadline_s=DEADLINE_S):
    """Until the file has `size` bytes; False when the process ended first."""
    end = time.monotonic() + deadline_s
    while time.monotonic() < end and process.poll() is None:
        if os.path.exists(path) and os.path.getsize(path) >= size:
            return True
        time.sleep(0.05)
    return False


def killed_run_check(label, path, seen):
    """A killed writer leaves its header, whole fragments, and at most the
    fragment it was writing, cut short: nothing of the room for the index."""
    boxes = top_boxes(path)
    size = os.path.getsize(path)
    count, end = complete_fragments(boxes)
    kinds = [b[0] for b in boxes]
    print(f"{label}: {size} bytes after the kill, {count} whole fragments ending at {end}, "
          f"then {kinds[2 + 2 * count:]}")
    check(kinds[:2] == ["ftyp", "moov"], f"{label}: starts with {kinds[:2]}")
    check(count >= 1 and count >= seen.most,
          f"{label}: {count} whole fragments, {seen.most} seen")
    tail = boxes[2 + 2 * count:]
    # What follows the last whole fragment is the start of the next: its
    # moof, maybe an mdat header, the rest cut short; never bytes of room.
    check(len(tail) <= 2 and all(kind in ("moof", "mdat", "?") for kind, _, _ in tail),
          f"{label}: after the whole fragments: {tail}")
    with open(path, "rb") as f:
        f.seek(end)
        rest = f.read()
    check(rest[4:8] in (b"moof", b"") or len(rest) < 8, f"{label}: the tail starts {rest[:8]!r}")
    check(not rest or rest[-4096:].count(0) < 4096, f"{label}: the tail ends in zeros")
    return count


def disk(args):
    if os.geteuid() != 0:
        print("disk: mounting a tmpfs needs root; not run")
        return SKIP
    runs = {}
    mounts = []
    try:
        for name, size in (("full_disk", 8 << 20), ("disk_filled", 64 << 20), ("killed", 64 << 20)):
            directory = scratch(args.scratch, name)
            ok, why = mount_tmpfs(directory, size)
            if not check(ok, f"{name}: cannot mount a tmpfs: {why}"):
                return outcome()
            mounts.append(directory)
            path = os.path.join(directory, "HelloWorld.m4v")
            runs[name] = (directory, path, size, time.monotonic(), start(args, directory, []),
                          watch(path))
        # Another program fills the disk while the recording goes on.
        _, path, _, _, process, _ = runs["disk_filled"]
        filler = None
        if wait_for_size(path, 3 << 20, process):
            filler = subprocess.run(["dd", "if=/dev/zero", f"of={path}.filler", "bs=64k"],
                                    capture_output=True, text=True)
            print(f"disk_filled: another program filled the disk: {filler.stderr.strip()[-80:]}")
        check(filler is not None and filler.returncode != 0,
              "disk_filled: the recording ended before the disk was filled")
        _, path, _, _, process, seen = runs["killed"]
        if check(wait_for_size(path, 5 << 20, process), "killed: ended before the kill"):
            time.sleep(0.37)
            process.kill()
        for name, (directory, path, size, began, process, seen) in runs.items():
            status, text, elapsed = finish(process, began, name)
            seen.done()
            if text is None:
                continue
            if name == "killed":
                check(status != 0, "killed: exit status 0 after SIGKILL")
                killed_run_check(name, path, seen)
                continue
            check(status == 0, f"{name}: exit status {status}")
            check_output(name, text, WRITE_ERROR, args.runner)
            room = size if name == "full_disk" else size - os.path.getsize(path + ".filler")
            check_recording(args, name, path, seen, room)
    finally:
        for directory in mounts:
            unmount(directory)
    return outcome()


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
    parser.add_argument("case", choices=["size_limit", "disk", "blocked"])
    parser.add_argument("--program", required=True)
    parser.add_argument("--runner", default="", help="e.g. the build's wine-run")
    parser.add_argument("--ffprobe", default="ffprobe")
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--file-limit", type=int, default=2 * 1024 * 1024)
    parser.add_argument("--min-workers", type=int, default=8,
                        help="how many workers must have printed a rate line")
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    status = {"size_limit": size_limit, "disk": disk, "blocked": blocked}[args.case](args)
    return status if status is not None else outcome()


if __name__ == "__main__":
    sys.exit(main())
