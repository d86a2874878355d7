"""What the report's script tests share beside the checks in
tests/support/checks.py: a look at a PNG's header, and the metrics of
--metrics read back and set beside the JSON of the same run."""
import math
import re
import struct
import subprocess

GIB = 2 ** 30
SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)",?')


def png_size(path):
    """(width, height) of a PNG file, or None when it is not one."""
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def parse_metrics(text):
    """{(name, ((label, value), ...)): float} of a metrics text; raises
    ValueError on a line that is neither a comment nor a sample."""
    samples = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        match = SAMPLE.match(line)
        if match is None:
            raise ValueError(f"not a sample: {line!r}")
        labels = tuple(sorted((k, v.replace('\\"', '"').replace("\\n", "\n").replace("\\\\", "\\"))
                              for k, v in LABEL.findall(match.group(2) or "")))
        samples[(match.group(1), labels)] = float(match.group(3))
    return samples


def expected_from_json(facts):
    """The final figures the metrics must show, from the report's JSON of
    the same run: {(name, {own label: value} or {}): value}; None for NaN."""
    def times(value, factor):
        return None if value is None else value * factor
    every = facts["all_workers"]
    media = facts["file"]
    out = {("harnvik_copy_rate_median_bytes_per_second", ("period", "before_start")):
           times(every["median_before_start_gib_s"], GIB),
           ("harnvik_copy_rate_median_bytes_per_second", ("period", "since_start")):
           times(every["median_after_start_gib_s"], GIB),
           ("harnvik_copy_rate_drop_ratio", None): times(every["drop_percent"], 0.01),
           ("harnvik_log_lines_total", None): facts["log"]["lines"],
           ("harnvik_log_foreign_lines_total", None): facts["log"]["foreign_count"],
           ("harnvik_real_time_ratio", None): facts["real_time_factor"],
           ("harnvik_soak_phase", ("phase", "ended")): 1}
    for worker in facts["workers"]:
        out[("harnvik_worker_copy_rate_bytes_per_second", ("worker", str(worker["worker"])))] = \
            times(worker["last_rate_gib_s"], GIB)
    if media is not None:
        out[("harnvik_media_safe_seconds", None)] = media["duration_s"]
        out[("harnvik_file_size_bytes", None)] = media["size_bytes"]
        out[("harnvik_media_rate_bytes_per_second", None)] = times(media["mean_bit_rate"], 1 / 8)
        kind = {"ordinary": "ordinary_mp4", "fragmented": "fragmented"}.get(
            media["layout"]["kind"], "no_file")
        out[("harnvik_soak_outcome", ("outcome", kind))] = 1
    return out


def metrics_disagree(samples, facts, common):
    """What of the metrics `samples` (name and own label to value, the
    labels `common` on every sample) differs from the JSON `facts`."""
    wrong = []
    for (name, own), expected in expected_from_json(facts).items():
        labels = dict(common)
        if own is not None:
            labels[own[0]] = own[1]
        got = samples.get((name, tuple(sorted(labels.items()))))
        if got is None:
            wrong.append(f"{name}{labels} is missing")
        elif expected is None:  # JSON's null: no figure, or an infinite one
            if math.isfinite(got):
                wrong.append(f"{name}{labels} is {got}, not NaN or infinite")
        elif not math.isclose(got, expected, rel_tol=1e-9, abs_tol=1e-9):
            wrong.append(f"{name}{labels} is {got}, not {expected}")
    return wrong


def promtool_refusal(promtool, path):
    """What `promtool check metrics` says against a metrics file; empty when
    it passes (or there is no promtool to ask)."""
    if not promtool:
        return ""
    with open(path, "rb") as f:
        result = subprocess.run([promtool, "check", "metrics"], stdin=f, capture_output=True,
                                timeout=60)
    return "" if result.returncode == 0 else (result.stdout + result.stderr).decode()
