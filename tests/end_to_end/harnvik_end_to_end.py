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
              does not implement it): there the last fragments make room for
              the index, and the file ends as an ordinary MP4 all the same.
  no_room     a file system that cannot allocate room ahead (small ext2
              images, mounted through loop devices: root), two runs at once:
              one fills its disk, one meets a file-size limit with SIGXFSZ
              left as it is (natively; under Wine, which cannot tell the
              Windows program the limit, ignored as size_limit does). Both
              exit 0 after the final text; the last fragments make room for
              the index where they must, and each file is an ordinary MP4 on
              whose length the parsers agree.
  full_disks  the writer through a small driver (palvex_record_until_full),
              natively, on small loop-mounted disks of btrfs (which copies
              on write), ext4 and xfs (where their mkfs is installed; btrfs
              must be): for each, one recording keeps room for its index and
              one does not, another program (dd) fills the disk under them,
              and each ends as an ordinary MP4 on whose length ffprobe,
              GStreamer and MediaInfo agree within 0.1 s; on btrfs the file
              is marked to be written in place (lsattr: C).
  ended       two runs at once, ended while they record: one interrupted
              (SIGINT to its process group, as Ctrl-C in a terminal does;
              under Wine the Windows program gets its Ctrl-C), one killed
              (SIGKILL; under Wine that is what ending it from Task Manager
              comes to). Each output ends with a whole line, and each file
              plays its complete fragments, and ffprobe,
              GStreamer's discoverer and MediaInfo agree on its length, from
              the header's length, within one fragment and with the pictures
              it holds.
  blocked     a directory named HelloWorld.m4v makes the open fail: "Error
              recording file.", exit 0. Several runs at once, each with other
              arguments (none, options, non-ASCII, empty, bytes that are not
              UTF-8): arguments change nothing, and every run ends although
              its workers never do.
"""
import argparse
import json
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
from checks import check, list_cases, lower_priority, outcome  # noqa: E402

# What the program prints is read through harnvik_report, which takes the
# format from the one place that defines it (harnvik/output_format.h): the
# outcomes its JSON names.
WRITE_FAILED = "write_failed"
OPEN_FAILED = "open_failed"
CUT_OFF = "cut_off"
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


def start(args, cwd, arguments, file_limit=None, ignore_xfsz=True):
    """Starts the program in a process group of its own, as a shell starts
    a command line; a write past the file-size limit fails, or, where
    SIGXFSZ is not ignored, ends the process."""
    command = ([args.runner] if args.runner else []) + [args.program] + arguments

    def limit():
        os.setpgid(0, 0)
        lower_priority()
        if ignore_xfsz:
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
          f"{len(text.splitlines())} lines; last bytes: {text[-120:]!r}", flush=True)
    return process.returncode, text, elapsed


def read_output(args, label, text):
    """What harnvik_report makes of the captured output, or None."""
    log = os.path.join(args.scratch, label.replace(" ", "_").replace("/", "_")[:40] + ".log")
    facts = log + ".json"
    with open(log, "wb") as f:
        f.write(text.encode("utf-8", "surrogateescape"))
    if os.path.exists(facts):
        os.remove(facts)
    command = ([args.runner] if args.runner else []) + [args.report, log, "--json", facts]
    result = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if not check(result.returncode == 0 and os.path.exists(facts),
                 f"{label}: the report cannot read the output: {result.stderr.strip()[:500]}"):
        return None
    with open(facts) as f:
        return json.load(f)


def check_output(args, label, text, outcome):
    """Rate lines anywhere; the start text once; then the final text of
    `outcome` (or none, for a run ended from outside). The workers run until
    the process ends, so rate lines may follow the final text, but nothing
    else does. Each text goes out in one write as it is printed, so however
    the process ends, its output ends with a whole line and holds nothing
    twice. Returns the workers that printed rate lines."""
    facts = read_output(args, label, text)
    if facts is None:
        return set()
    log, recording = facts["log"], facts["recording"]
    if not check(log["foreign_count"] == 0, f"{label}: output out of shape: lines that are not "
                                           f"the program's: {log['foreign']}"):
        print(text[-2000:])
    check(recording["outcome"] == outcome,
          f"{label}: the output ends {recording['outcome']}, not {outcome}")
    check(recording["start_line"] > 0 and (outcome == CUT_OFF or
                                           recording["end_line"] > recording["start_line"]),
          f"{label}: the start text at line {recording['start_line']}, the final text at line "
          f"{recording['end_line']}")
    check(log["repeated_tail_bytes"] == 0,
          f"{label}: the last {log['repeated_tail_bytes']} bytes of output came twice")
    check(not log["cut_last_line"], f"{label}: the output ends inside a line: {log['cut_last_line']}")
    return {w["worker"] for w in facts["workers"] if w["lines"] > 0}


# --- The recording ------------------------------------------------------------
# Independent parsers judge the file: ffprobe (packets from the index and
# decoded frames), and natively also GStreamer (its decoders and its
# discoverer, which players use for the length) and MediaInfo.

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


def check_recording(args, label, path, seen, room_limit, no_room_ahead=False):
    """What a recording that ended at a write error leaves: one picture
    stream and one sound stream that decode without a message, and an
    ordinary MP4 within `room_limit` bytes, made of whole fragments, on which
    the parsers agree. It holds every fragment that was ever complete in the
    file, unless no room could be kept ahead for the index (`no_room_ahead`):
    then the last ones may have made room for it."""
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
    check([b[0] for b in boxes] == ["ftyp", "mdat", "moov"],
          f"{label}: not an ordinary MP4: top-level boxes {[b[0] for b in boxes][:8]}")
    check(size <= room_limit, f"{label}: {size} bytes, more than the {room_limit} it had")
    count, whole = fragments_inside_media(path, boxes)
    check(whole, f"{label}: the media data is not whole fragments")
    # Where no room could be kept ahead (Wine, a file system without it),
    # the last fragments may have made room for the index: one, or two when
    # the disk filled while the last complete one was being made.
    given_up = max(0, seen.most - count)
    if given_up:
        print(f"{label}: {given_up} fragment(s) gave their room to the index")
    check(given_up <= (2 if no_room_ahead else 0),
          f"{label}: {seen.most} fragments were complete, {count} are kept")
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
    workers = check_output(args, "size_limit", text, WRITE_FAILED)
    check(workers <= set(range(8)) and len(workers) >= args.min_workers,
          f"size_limit: rate lines only from workers {sorted(workers)}")
    # The Windows build under Wine keeps no room ahead and reads no size limit.
    check_recording(args, "size_limit", path, seen, args.file_limit, no_room_ahead=bool(args.runner))


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
    # moof (written as free until the fragment is on the disk), maybe an
    # mdat header, the rest cut short; never bytes of room.
    check(len(tail) <= 2 and all(kind in ("free", "moof", "mdat", "?") for kind, _, _ in tail),
          f"{label}: after the whole fragments: {tail}")
    with open(path, "rb") as f:
        f.seek(end)
        rest = f.read()
    check(rest[4:8] in (b"free", b"moof", b"") or len(rest) < 8,
          f"{label}: the tail starts {rest[:8]!r}")
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
            check_output(args, name, text, WRITE_FAILED)
            room = size if name == "full_disk" else size - os.path.getsize(path + ".filler")
            check_recording(args, name, path, seen, room, no_room_ahead=bool(args.runner))
    finally:
        for directory in mounts:
            unmount(directory)
    return outcome()


FILE_SYSTEMS = (("btrfs", 128 << 20, ["mkfs.btrfs", "-q", "-f"]),
                ("ext4", 128 << 20, ["mkfs.ext4", "-q", "-F"]),
                ("xfs", 320 << 20, ["mkfs.xfs", "-q", "-f"]))


def mount_image(directory, size, mkfs):
    """A loop-mounted image of `size` bytes made by `mkfs` at `directory`;
    the image's path, or None and why."""
    image = directory + ".img"
    with open(image, "wb") as f:
        f.truncate(size)
    made = subprocess.run(mkfs + [image], capture_output=True, text=True)
    mounted = made.returncode == 0 and subprocess.run(
        ["mount", "-o", "loop", image, directory], capture_output=True, text=True).returncode == 0
    if not mounted:
        os.remove(image)
        return None, made.stderr.strip()
    os.chmod(directory, 0o777)
    return image, ""


def mount_ext2(directory, size):
    """A loop-mounted ext2 image of `size` bytes at `directory`; the image's
    path, or None (and why) where it cannot be made here."""
    return mount_image(directory, size, ["mkfs.ext2", "-q", "-F"])


def no_room(args):
    if os.geteuid() != 0:
        print("no_room: mounting a disk image needs root; not run")
        return SKIP
    # ext2 keeps no room ahead: fallocate fails as it does on such file
    # systems (EOPNOTSUPP).
    runs = {}
    images = []
    try:
        cases = (("no_room", 8 << 20, None), ("no_room_limit", 16 << 20, args.file_limit))
        for name, size, _ in cases:
            directory = scratch(args.scratch, name)
            image, why = mount_ext2(directory, size)
            if image is None:
                print(f"{name}: cannot make and mount an ext2 image here: {why}; not run")
                return SKIP
            images.append((directory, image))
        for (name, _, file_limit), (directory, _) in zip(cases, images):
            path = os.path.join(directory, "HelloWorld.m4v")
            facts = os.statvfs(directory)
            room = facts.f_bfree * facts.f_frsize  # root may use the reserved blocks too
            if file_limit is not None:
                room = min(room, file_limit)
            process = start(args, directory, [], file_limit=file_limit,
                            ignore_xfsz=file_limit is None or bool(args.runner))
            runs[name] = (path, room, time.monotonic(), process, watch(path))
        for name, (path, room, began, process, seen) in runs.items():
            status, text, elapsed = finish(process, began, name)
            seen.done()
            if text is None:
                continue
            check(status == 0, f"{name}: exit status {status}" +
                  (" (SIGXFSZ: a write passed the limit)" if status == -signal.SIGXFSZ else ""))
            check_output(args, name, text, WRITE_FAILED)
            check_recording(args, name, path, seen, room, no_room_ahead=True)
    finally:
        for directory, image in images:
            unmount(directory)
            os.remove(image)
    return outcome()


def check_full_disk_run(args, label, path, room, out):
    """A recording the disk filled under: error()'s text after close() says
    it stopped and that the file is finished, and the file is an ordinary
    MP4 on whose length and pictures the parsers agree."""
    text = out.strip().splitlines()[-1] if out.strip() else ""
    print(f"{label}: {out.strip()}")
    stop = ("Recording stopped: the disk is full; " if room else
            "Write failed: No space left on device; no room was kept for the index")
    check(text.startswith(stop), f"{label}: stopped otherwise: {text!r}")
    check(re.search(r"; the file is finished, with(out its last [\d.]+ s of media, which made "
                    r"room for the index| all of its media)$", text) is not None,
          f"{label}: not finished: {text!r}")
    if room:
        check(text.endswith("; the file is finished, with all of its media"),
              f"{label}: media given up though room was kept")
    boxes = top_boxes(path)
    check([b[0] for b in boxes] == ["ftyp", "mdat", "moov"],
          f"{label}: not an ordinary MP4: top-level boxes {[b[0] for b in boxes][:8]}")
    probed, err = probe(args, path, "stream=codec_type,nb_read_packets")
    check(err.strip() == "", f"{label}: ffprobe reports errors: {err.strip()[:500]}")
    video = [line for line in probed.splitlines() if "codec_type=video" in line]
    pictures = int(video[0].split("nb_read_packets=")[1]) if video else -1
    check(pictures >= 25, f"{label}: {pictures} pictures")
    gst = gstreamer_video_frames(path)
    check(gst is None or gst == pictures, f"{label}: GStreamer decodes {gst} pictures, ffprobe {pictures}")
    info = mediainfo_counts(path)
    check(info is None or info[0] == pictures,
          f"{label}: MediaInfo counts {info and info[0]} pictures, ffprobe {pictures}")
    found = lengths(args, path)
    print(f"{label}: {pictures} pictures, lengths {found}")
    known = [t for t in found.values() if t is not None]
    check(len(known) == len(found), f"{label}: a parser gives no length: {found}")
    check(known and max(known) - min(known) <= 0.1, f"{label}: the parsers disagree on the length")


def full_disks(args):
    if args.runner:
        print("full_disks: the Windows build does not write to these file systems; not run")
        return SKIP
    if os.geteuid() != 0:
        print("full_disks: mounting a disk image needs root; not run")
        return SKIP
    ran = []
    for name, size, mkfs in FILE_SYSTEMS:
        if shutil.which(mkfs[0]) is None:
            check(name != "btrfs", f"{name}: {mkfs[0]} is missing (scripts/setup test installs it)")
            print(f"{name}: {mkfs[0]} is missing; not run")
            continue
        runs = {}
        try:
            for room in (True, False):
                label = f"{name}, room {'kept' if room else 'not kept'}"
                directory = scratch(args.scratch, f"full_{name}_{'room' if room else 'no_room'}")
                image, why = mount_image(directory, size, mkfs)
                if not check(image is not None, f"{label}: cannot make and mount the image: {why}"):
                    continue
                path = os.path.join(directory, "HelloWorld.m4v")
                process = subprocess.Popen([args.driver, path, "room" if room else "no-room"],
                                           stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                           preexec_fn=lower_priority)
                runs[label] = (directory, image, path, room, process)
            for label, (directory, _, path, room, process) in runs.items():
                # Another program fills the disk while the recording goes on.
                if wait_for_size(path, 3 << 20, process):
                    subprocess.run(["dd", "if=/dev/zero", f"of={directory}/filler", "bs=64k"],
                                   capture_output=True)
                try:
                    out, _ = process.communicate(timeout=DEADLINE_S)
                except subprocess.TimeoutExpired:
                    process.kill()
                    out, _ = process.communicate()
                    check(False, f"{label}: still recording after {DEADLINE_S} s")
                check(process.returncode == 0, f"{label}: exit status {process.returncode}")
                check_full_disk_run(args, label, path, room, out.decode("utf-8", "replace"))
                if name == "btrfs":
                    attributes = subprocess.run(["lsattr", path], capture_output=True, text=True)
                    check("C" in attributes.stdout.split(" ")[0],
                          f"{label}: not marked to be written in place: {attributes.stdout.strip()}")
        finally:
            for directory, image, _, _, process in runs.values():
                if process.poll() is None:
                    process.kill()
                    process.wait()
                unmount(directory)
                os.remove(image)
        ran.append(name)
    print(f"full_disks: ran on {', '.join(ran)}")
    return outcome()


def header_length(path):
    """The length the first moov's movie extends header tells, in seconds,
    or None."""
    with open(path, "rb") as f:
        data = f.read(1 << 16)
    at = data.find(b"mehd")
    if at < 4 or data.find(b"mvhd") < 0:
        return None
    version = data[at + 4]
    value = struct.unpack(">Q" if version == 1 else ">I",
                          data[at + 8:at + 16 if version == 1 else at + 12])[0]
    mvhd = data.find(b"mvhd")
    scale_at = mvhd + 4 + 4 + (16 if data[mvhd + 4] == 1 else 8)
    scale = struct.unpack(">I", data[scale_at:scale_at + 4])[0]
    return value / scale if scale else None


def ended_run_check(args, label, path, seen):
    """A run ended while it recorded: its complete fragments play, and the
    parsers agree on its length with one another and with its pictures."""
    count = killed_run_check(label, path, seen)
    out, err = probe(args, path, "stream=codec_type,nb_read_frames,nb_read_packets")
    check(err.strip() == "", f"{label}: ffprobe reports errors: {err.strip()[:500]}")
    video = [dict(item.split("=", 1) for item in line.split("|")[1:])
             for line in out.strip().splitlines() if "codec_type=video" in line]
    if not check(len(video) == 1, f"{label}: not one video stream: {out.strip()}"):
        return
    pictures = int(video[0]["nb_read_packets"])
    check(pictures == 25 * count, f"{label}: {pictures} pictures in {count} fragments")
    check(int(video[0]["nb_read_frames"]) == pictures,
          f"{label}: decoded {video[0]['nb_read_frames']} of {pictures} pictures")
    found = lengths(args, path)
    told = header_length(path)
    print(f"{label}: lengths {found}, the header tells {told} s, {pictures} pictures")
    check(told is not None and told <= pictures / 25 + 0.1,
          f"{label}: the header tells {told} s for {pictures} pictures")
    known = [t for t in found.values() if t is not None]
    check(len(known) == len(found), f"{label}: a parser gives no length: {found}")
    check(known and max(known) - min(known) <= 1.1, f"{label}: the parsers disagree on the length")
    check(all(abs(t - pictures / 25) <= 1.1 for t in known),
          f"{label}: lengths {found} for {pictures} pictures")


def program_process(args, process):
    """The process of the program itself in the group started (under Wine
    the Windows program is a process of its own beside its runner's), or
    the one started."""
    name = os.path.basename(args.program)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.getpgid(int(entry)) != process.pid:
                continue
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                first = f.read().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue
        if os.path.basename(first) == name:
            return int(entry)
    return process.pid


def ended(args):
    runs = {}
    for name in ("interrupted", "killed"):
        directory = scratch(args.scratch, "ended_" + name)
        path = os.path.join(directory, "HelloWorld.m4v")
        runs[name] = (path, time.monotonic(), start(args, directory, []), watch(path))
    for name, (path, _, process, _) in runs.items():
        if not check(wait_for_size(path, 3 << 20, process), f"{name}: ended before it was ended"):
            continue
        time.sleep(0.37)
        if name == "interrupted":
            # Ctrl-C in a terminal: SIGINT to the whole process group.
            os.killpg(process.pid, signal.SIGINT)
        else:
            os.kill(program_process(args, process), signal.SIGKILL)
            process.kill()
    for name, (path, began, process, seen) in runs.items():
        status, text, elapsed = finish(process, began, name)
        seen.done()
        if text is None:
            continue
        # Every line printed before the end is there, and whole.
        check_output(args, name, text, CUT_OFF)
        ended_run_check(args, name, path, seen)
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
        check_output(args, label, text, OPEN_FAILED)
        check(sorted(os.listdir(directory)) == ["HelloWorld.m4v"],
              f"{label}: left {sorted(os.listdir(directory))}")
        check(os.path.isdir(os.path.join(directory, "HelloWorld.m4v")) and
              not os.listdir(os.path.join(directory, "HelloWorld.m4v")),
              f"{label}: the directory in the way was changed")


CASES = {"size_limit": size_limit, "disk": disk, "no_room": no_room, "full_disks": full_disks,
         "ended": ended, "blocked": blocked}


def runs_at_once(case, windows):
    """How many runs of the program (or of the driver) a case makes at once:
    the slots it takes (blocked makes one more natively: arguments that are
    not UTF-8)."""
    return {"size_limit": 1, "disk": 3, "no_room": 2, "full_disks": 2, "ended": 2,
            "blocked": 3 if windows else 4}[case]


def main():
    # The Windows build does not write to the file systems of full_disks.
    if list_cases(CASES, native_only={"full_disks"}, runs=runs_at_once):
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=CASES)
    parser.add_argument("--program", required=True)
    parser.add_argument("--runner", default="", help="e.g. the build's wine-run")
    parser.add_argument("--ffprobe", default="ffprobe")
    parser.add_argument("--report", required=True, help="the build's harnvik_report")
    parser.add_argument("--driver", default="", help="the build's palvex_record_until_full")
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--file-limit", type=int, default=2 * 1024 * 1024)
    parser.add_argument("--min-workers", type=int, default=8,
                        help="how many workers must have printed a rate line")
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    args.report = os.path.abspath(args.report)
    status = CASES[args.case](args)
    return status if status is not None else outcome()


if __name__ == "__main__":
    sys.exit(main())
