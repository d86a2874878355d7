#include "render/json_output.h"

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <utility>

namespace Harnvik::Report {

namespace {

// Members in the order they are set, as the document has always had them.
using json = nlohmann::ordered_json;

json number(double value) {
    return std::isfinite(value) ? json(value) : json(nullptr);
}

json line_of(const foreign_line& line) {
    return {{"line", line.line}, {"text", line.text}};
}

void add_worker(json& out, const worker_summary& worker) {
    out["lines"] = worker.lines;
    out["infinite_lines"] = worker.infinite_lines;
    out["lines_after_start"] = worker.lines_after_start;
    out["min_rate_gib_s"] = number(worker.min_rate);
    out["median_rate_gib_s"] = number(worker.median_rate);
    out["max_rate_gib_s"] = number(worker.max_rate);
    out["last_rate_gib_s"] = number(worker.last_rate);
    out["median_before_start_gib_s"] = number(worker.median_before);
    out["median_after_start_gib_s"] = number(worker.median_after);
    out["drop_percent"] = number(worker.drop_percent);
}

void add_log(json& out, const report& run) {
    const log_facts& log = run.log;
    json foreign = json::array();
    for (const foreign_line& line : log.foreign) foreign.push_back(line_of(line));
    out["log"] = {
        {"name", run.log_name},
        {"lines", log.lines},
        {"rate_lines", log.rate_lines()},
        {"crlf_lines", log.crlf_lines},
        {"foreign_count", log.foreign_count},
        {"foreign", foreign},
        {"cut_last_line", log.cut_last_line ? line_of(log.cut_line) : json(nullptr)},
        {"repeated_tail_bytes", log.repeated_tail_bytes},
    };
    out["recording"] = {
        {"outcome", outcome_name(log.outcome)},
        {"start_line", log.start_line},
        {"end_line", log.end_line},
    };

    const log_summary& summary = run.summary;
    json workers = json::array();
    for (const worker_summary& worker : summary.workers) {
        json row = {{"worker", worker.worker}};
        add_worker(row, worker);
        row["covered_s"] = number(worker.covered_s);
        row["covered_while_recording_s"] = number(worker.covered_recording_s);
        row["start_at_s"] = number(worker.start_at_s);
        workers.push_back(row);
    }
    out["workers"] = workers;
    json all = json::object();
    add_worker(all, summary.all);
    out["all_workers"] = all;
    out["workers_reporting"] = summary.workers_reporting;
    out["workers_after_start"] = summary.workers_after_start;
    out["workers_while_recording"] = summary.workers_recording;
    out["recording_worker_s"] = number(summary.recording_worker_s);
    out["measurement_s"] = number(summary.measurement_s);
}

json text_or_null(const std::string& text) {
    return text.empty() ? json(nullptr) : json(text);
}

json layout_of(const media_facts& media) {
    const box_layout& layout = media.layout;
    if (!layout.read) return nullptr;
    const e_header_fit fit = header_fit(media);
    return {
        {"kind", layout_name(layout.kind)},
        {"fragments", layout.fragments},
        {"boxes", layout.boxes},
        {"problem", text_or_null(layout.problem)},
        {"header_length_s", layout.has_header_length ? number(layout.header_length_s) : nullptr},
        {"header_agrees",
         fit == e_header_fit_none ? json(nullptr) : json(fit == e_header_fit_agrees)},
        {"header_length_note", text_or_null(layout.header_length_note)},
    };
}

// The facts as an object when they exist, null when they do not.
json object_or_null(bool present, json facts) {
    return present ? std::move(facts) : json(nullptr);
}

json media_of(const media_facts& media) {
    json out = {{"name", media.file},
                {"size_bytes", media.file_size},
                {"container", media.container},
                {"layout", layout_of(media)}};
    out["video"] =
        object_or_null(media.has_video, {{"codec", media.video_codec},
                                         {"width", media.width},
                                         {"height", media.height},
                                         {"frames", media.video_frames},
                                         {"duration_s", number(media.video_duration_s)}});
    out["audio"] =
        object_or_null(media.has_audio, {{"codec", media.audio_codec},
                                         {"sample_rate", media.sample_rate},
                                         {"channels", media.channels},
                                         {"packets", media.audio_packets},
                                         {"samples", media.audio_samples},
                                         {"duration_s", number(media.audio_duration_s)}});
    out["duration_s"] = number(media.duration_s);
    out["media_bytes"] = media.media_bytes;
    out["mean_bit_rate"] = number(media.mean_bit_rate);
    json bits = json::array();
    for (const std::int64_t bytes : media.bytes_per_second) bits.push_back(bytes * 8);
    out["bits_per_second"] = bits;
    out["tail_bytes"] = media.tail_bytes;
    out["corrupt_packets"] = media.corrupt_packets;
    out["read_error"] = media.read_error;
    out["read_error_messages"] = media.demuxer_messages;
    out["decoded"] = media.decoded;
    out["decode"] = object_or_null(media.decoded, {{"video_frames", media.decoded_video_frames},
                                                   {"audio_frames", media.decoded_audio_frames},
                                                   {"audio_samples", media.decoded_audio_samples},
                                                   {"errors", media.decode_errors}});
    out["messages"] = media.messages;
    out["plays_to_end"] = media.plays_to_end();
    return out;
}

}  // namespace

std::string format_json(const report& run) {
    json document = json::object();
    add_log(document, run);
    document["file"] = run.has_media ? media_of(run.media) : json(nullptr);
    document["real_time_factor"] = number(run.real_time_factor);
    // Compact, UTF-8 kept as it is; bytes that are not UTF-8 become U+FFFD.
    return document.dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
}

}  // namespace Harnvik::Report
