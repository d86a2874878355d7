#include "render/summary_table.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace Harnvik::Report {

namespace {

constexpr double k_mebi = 1048576.0;
constexpr double k_mega = 1000000.0;

// A line of the log as it can be shown on a terminal: control characters
// as \xNN.
std::string shown(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            append_printf(out, "\\x%02X", byte);
        } else {
            out += c;
        }
    }
    return out;
}

const char* outcome_text(e_outcome outcome) {
    switch (outcome) {
        case e_outcome_not_started:
            return "not started: the log ends before the start text";
        case e_outcome_open_failed:
            return "the file could not be opened";
        case e_outcome_write_failed:
            return "recorded until a write failed";
        case e_outcome_cut_off:
            return "cut off: the log ends without a final text";
    }
    return "unknown";
}

void add_worker_row(std::string& out, const char* name, const worker_summary& worker) {
    append_printf(
        out, "%-7s %7lld %6lld %8s %8s %8s %8s %9s %8s %8s %7s\n", name,
        static_cast<long long>(worker.lines), static_cast<long long>(worker.lines_after_start),
        format_number(worker.min_rate, 2).c_str(), format_number(worker.median_rate, 2).c_str(),
        format_number(worker.max_rate, 2).c_str(), format_number(worker.last_rate, 2).c_str(),
        format_number(worker.covered_s, 1).c_str(), format_number(worker.median_before, 2).c_str(),
        format_number(worker.median_after, 2).c_str(),
        format_number(worker.drop_percent, 1).c_str());
}

void add_log(std::string& out, const report& run) {
    const log_facts& log = run.log;
    const log_summary& summary = run.summary;
    append_printf(out, "Harnvik run: %s\n", run.log_name.c_str());
    append_printf(
        out, "log        %lld lines: %lld rate lines, %lld foreign, %lld with CR LF ends\n",
        static_cast<long long>(log.lines), static_cast<long long>(log.rate_lines()),
        static_cast<long long>(log.foreign_count), static_cast<long long>(log.crlf_lines));
    for (const foreign_line& line : log.foreign) {
        append_printf(out, "  foreign line %lld: %s\n", static_cast<long long>(line.line),
                      shown(line.text).c_str());
    }
    if (log.foreign_count > static_cast<std::int64_t>(log.foreign.size())) {
        append_printf(out, "  ... and %lld more foreign lines\n",
                      static_cast<long long>(log.foreign_count -
                                             static_cast<std::int64_t>(log.foreign.size())));
    }
    if (log.repeated_tail_bytes != 0) {
        append_printf(out,
                      "  the last %lld bytes came twice (the runtime wrote its buffer again as the "
                      "process ended): read once\n",
                      static_cast<long long>(log.repeated_tail_bytes));
    }
    if (log.cut_last_line) {
        append_printf(out, "  last line %lld cut short: %s\n",
                      static_cast<long long>(log.cut_line.line), shown(log.cut_line.text).c_str());
    }
    append_printf(out, "recording  %s", outcome_text(log.outcome));
    if (log.start_line != 0)
        append_printf(out, "; start text at line %lld", static_cast<long long>(log.start_line));
    if (log.end_line != 0)
        append_printf(out, ", final text at line %lld", static_cast<long long>(log.end_line));
    out += "\n\n";

    append_printf(out, "%-7s %7s %6s %8s %8s %8s %8s %9s %8s %8s %7s\n", "worker", "lines", "after",
                  "min", "median", "max", "last", "covered", "before", "after", "drop");
    append_printf(out, "%-7s %7s %6s %8s %8s %8s %8s %9s %8s %8s %7s\n", "", "", "start", "GiB/s",
                  "GiB/s", "GiB/s", "GiB/s", "s", "GiB/s", "GiB/s", "%");
    for (const worker_summary& worker : summary.workers) {
        char name[16];
        std::snprintf(name, sizeof(name), "%d", worker.worker);
        add_worker_row(out, name, worker);
    }
    add_worker_row(out, "all", summary.all);
    append_printf(
        out,
        "\n%d of %d workers printed rate lines, %d of %d after the start text.\n"
        "GiB/s is the program's Gb/s: 2^30 bytes per second. covered: the seconds of the\n"
        "worker's measurements (10000 MiB / rate each; an inf line, 0 ms measured, counts 0 s).\n"
        "before/after: medians of the lines printed before and after the start text.\n",
        summary.workers_reporting, k_worker_count, summary.workers_after_start, k_worker_count);
}

// What kind of MP4 file it is, from its top-level boxes.
void add_layout(std::string& out, const box_layout& layout) {
    if (!layout.read) return;
    out += "layout     ";
    switch (layout.kind) {
        case e_layout_ordinary:
            out += "ordinary MP4: one index (moov) of every sample, no fragments";
            break;
        case e_layout_fragmented:
            append_printf(
                out, "fragmented MP4: an index of the tracks, then %lld fragment%s (moof + mdat)",
                static_cast<long long>(layout.fragments), layout.fragments == 1 ? "" : "s");
            break;
        case e_layout_no_index:
            out += "no index (moov) among its boxes";
            break;
    }
    if (!layout.problem.empty()) append_printf(out, "; %s", shown(layout.problem).c_str());
    out += "\n";
}

// A fragmented file's length as its header tells it, beside what its
// fragments hold.
void add_header_length(std::string& out, const media_facts& media) {
    const box_layout& layout = media.layout;
    if (!layout.read || layout.kind != e_layout_fragmented) return;
    if (!layout.has_header_length) {
        append_printf(out, "length     the header tells none (%s); its fragments hold %.3f s\n",
                      shown(layout.header_length_note).c_str(), media.duration_s);
        return;
    }
    append_printf(out, "length     the header tells %.3f s; its fragments hold %.3f s",
                  layout.header_length_s, media.duration_s);
    const double difference = layout.header_length_s - media.duration_s;
    switch (header_fit(media)) {
        case e_header_fit_none:
        case e_header_fit_agrees:
            break;
        case e_header_fit_shorter:
            append_printf(out, ": it tells %.3f s less (a fragment completed as power was lost?)",
                          -difference);
            break;
        case e_header_fit_longer:
            append_printf(out, ": it tells %.3f s more, which is never right", difference);
            break;
    }
    out += "\n";
}

void add_media(std::string& out, const report& run) {
    const media_facts& media = run.media;
    append_printf(out, "\nfile       %s: %lld bytes (%s)\n", media.file.c_str(),
                  static_cast<long long>(media.file_size), media.container.c_str());
    add_layout(out, media.layout);
    add_header_length(out, media);
    if (media.has_video) {
        append_printf(out, "video      %s %dx%d, %lld frames in %.3f s\n",
                      media.video_codec.c_str(), media.width, media.height,
                      static_cast<long long>(media.video_frames), media.video_duration_s);
    }
    if (media.has_audio) {
        append_printf(out,
                      "audio      %s %d Hz x %d channels, %lld packets, %lld samples in %.3f s\n",
                      media.audio_codec.c_str(), media.sample_rate, media.channels,
                      static_cast<long long>(media.audio_packets),
                      static_cast<long long>(media.audio_samples), media.audio_duration_s);
    }
    const bit_rate_spread spread = spread_of(media.bytes_per_second, media.duration_s);
    append_printf(
        out,
        "media      %.3f s, %.2f MiB of packets, mean %s Mbit/s; per second min %s, median %s, "
        "max %s Mbit/s\n",
        media.duration_s, static_cast<double>(media.media_bytes) / k_mebi,
        format_number(media.mean_bit_rate / k_mega, 2).c_str(),
        format_number(spread.min / k_mega, 2).c_str(),
        format_number(spread.median / k_mega, 2).c_str(),
        format_number(spread.max / k_mega, 2).c_str());
    append_printf(out, "plays      to its end: %s", media.plays_to_end() ? "yes" : "no");
    if (!media.read_error.empty())
        append_printf(out, "; reading stopped: %s", media.read_error.c_str());
    if (media.corrupt_packets > 0) {
        append_printf(out, "; %lld damaged packets", static_cast<long long>(media.corrupt_packets));
    }
    if (media.demuxer_messages > 0) {
        append_printf(out, "; %lld read errors", static_cast<long long>(media.demuxer_messages));
    }
    if (media.tail_bytes > 0) {
        append_printf(out, "; %lld bytes after the last packet (a fragment cut short, or an index)",
                      static_cast<long long>(media.tail_bytes));
    }
    out += "\n";
    if (media.decoded) {
        append_printf(
            out, "decode     %lld video frames, %lld audio frames (%lld samples), %lld errors\n",
            static_cast<long long>(media.decoded_video_frames),
            static_cast<long long>(media.decoded_audio_frames),
            static_cast<long long>(media.decoded_audio_samples),
            static_cast<long long>(media.decode_errors));
    } else {
        out += "decode     not run (--decode decodes every frame)\n";
    }
    for (const std::string& message : media.messages) {
        append_printf(out, "  FFmpeg: %s\n", shown(message).c_str());
    }
}

void add_real_time(std::string& out, const report& run) {
    out += "\nreal-time  ";
    if (!run.has_media) {
        out += "- (no file given)\n";
    } else if (std::isnan(run.real_time_factor)) {
        out += "- (no worker printed a rate line while recording)\n";
    } else {
        append_printf(out,
                      "%.2f: %.3f s of media in %.1f s of worker time while recording\n"
                      "           (median over %d workers; one measurement takes about %.1f s)\n",
                      run.real_time_factor, run.media.duration_s, run.summary.recording_worker_s,
                      run.summary.workers_recording, run.summary.measurement_s);
    }
}

}  // namespace

void append_printf(std::string& out, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    char text[256];
    const int length = std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof(text)) {
        out.append(text, static_cast<std::size_t>(length));
    } else if (length > 0) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(out.data() + at, static_cast<std::size_t>(length) + 1, format, again);
        out.pop_back();
    }
    va_end(again);
}

std::string format_number(double value, int decimals) {
    if (std::isnan(value)) return "-";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string format_table(const report& run) {
    std::string out;
    add_log(out, run);
    if (run.has_media) add_media(out, run);
    if (run.log.start_line != 0) add_real_time(out, run);
    return out;
}

}  // namespace Harnvik::Report
