#include "json_output.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "statistics.h"

namespace Harnvik::Report {

namespace {

// Length of the valid UTF-8 sequence at the start of `text`; 0 if it is not one.
std::size_t utf8_sequence(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) return 0;
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

class json_writer {
  public:
    std::string take() { return std::move(m_out); }

    void open(char bracket) {
        comma();
        m_out += bracket;
        m_first = true;
    }
    void close(char bracket) {
        m_out += bracket;
        m_first = false;
    }
    void key(std::string_view name) {
        comma();
        m_out += json_string(name);
        m_out += ':';
        m_first = true;
    }
    void value(double number) {
        comma();
        if (!std::isfinite(number)) {
            m_out += "null";
            return;
        }
        char digits[64];
        const auto result = std::to_chars(digits, digits + sizeof(digits), number);
        m_out.append(digits, result.ptr);
    }
    void value(std::int64_t number) {
        comma();
        m_out += std::to_string(number);
    }
    void value(std::int32_t number) { value(std::int64_t(number)); }
    void value(bool truth) {
        comma();
        m_out += truth ? "true" : "false";
    }
    void value(std::string_view text) {
        comma();
        m_out += json_string(text);
    }
    void value(const char* text) { value(std::string_view(text)); }
    void null() {
        comma();
        m_out += "null";
    }

    // key: value
    template <typename value_type>
    void field(std::string_view name, const value_type& item) {
        key(name);
        value(item);
    }

  private:
    void comma() {
        if (!m_first) m_out += ',';
        m_first = false;
    }

    std::string m_out;
    bool m_first = true;
};

void write_line(json_writer& json, const foreign_line& line) {
    json.open('{');
    json.field("line", line.line);
    json.field("text", std::string_view(line.text));
    json.close('}');
}

void write_worker(json_writer& json, const worker_summary& worker) {
    json.field("lines", worker.lines);
    json.field("infinite_lines", worker.infinite_lines);
    json.field("lines_after_start", worker.lines_after_start);
    json.field("min_rate_gib_s", worker.min_rate);
    json.field("median_rate_gib_s", worker.median_rate);
    json.field("max_rate_gib_s", worker.max_rate);
    json.field("last_rate_gib_s", worker.last_rate);
    json.field("median_before_start_gib_s", worker.median_before);
    json.field("median_after_start_gib_s", worker.median_after);
    json.field("drop_percent", worker.drop_percent);
}

void write_log(json_writer& json, const report& run) {
    const log_facts& log = run.log;
    json.key("log");
    json.open('{');
    json.field("name", std::string_view(run.log_name));
    json.field("lines", log.lines);
    json.field("rate_lines", log.rate_lines());
    json.field("crlf_lines", log.crlf_lines);
    json.field("foreign_count", log.foreign_count);
    json.key("foreign");
    json.open('[');
    for (const foreign_line& line : log.foreign) write_line(json, line);
    json.close(']');
    json.key("cut_last_line");
    if (log.cut_last_line) {
        write_line(json, log.cut_line);
    } else {
        json.null();
    }
    json.field("repeated_tail_bytes", log.repeated_tail_bytes);
    json.close('}');

    json.key("recording");
    json.open('{');
    json.field("outcome", outcome_name(log.outcome));
    json.field("start_line", log.start_line);
    json.field("end_line", log.end_line);
    json.close('}');

    const log_summary& summary = run.summary;
    json.key("workers");
    json.open('[');
    for (const worker_summary& worker : summary.workers) {
        json.open('{');
        json.field("worker", worker.worker);
        write_worker(json, worker);
        json.field("covered_s", worker.covered_s);
        json.field("covered_while_recording_s", worker.covered_recording_s);
        json.field("start_at_s", worker.start_at_s);
        json.close('}');
    }
    json.close(']');
    json.key("all_workers");
    json.open('{');
    write_worker(json, summary.all);
    json.close('}');
    json.field("workers_reporting", summary.workers_reporting);
    json.field("workers_after_start", summary.workers_after_start);
    json.field("workers_while_recording", summary.workers_recording);
    json.field("recording_worker_s", summary.recording_worker_s);
    json.field("measurement_s", summary.measurement_s);
}

// A member that is an object when the facts exist and null when they do not.
template <typename fields>
void object_or_null(json_writer& json, const char* key, bool present, const fields& write) {
    json.key(key);
    if (!present) {
        json.null();
        return;
    }
    json.open('{');
    write();
    json.close('}');
}

void write_media(json_writer& json, const media_facts& media) {
    json.open('{');
    json.field("name", std::string_view(media.file));
    json.field("size_bytes", media.file_size);
    json.field("container", std::string_view(media.container));
    object_or_null(json, "video", media.has_video, [&] {
        json.field("codec", std::string_view(media.video_codec));
        json.field("width", media.width);
        json.field("height", media.height);
        json.field("frames", media.video_frames);
        json.field("duration_s", media.video_duration_s);
    });
    object_or_null(json, "audio", media.has_audio, [&] {
        json.field("codec", std::string_view(media.audio_codec));
        json.field("sample_rate", media.sample_rate);
        json.field("channels", media.channels);
        json.field("packets", media.audio_packets);
        json.field("samples", media.audio_samples);
        json.field("duration_s", media.audio_duration_s);
    });
    json.field("duration_s", media.duration_s);
    json.field("media_bytes", media.media_bytes);
    json.field("mean_bit_rate", media.mean_bit_rate);
    json.key("bits_per_second");
    json.open('[');
    for (const std::int64_t bytes : media.bytes_per_second) json.value(bytes * 8);
    json.close(']');
    json.field("tail_bytes", media.tail_bytes);
    json.field("corrupt_packets", media.corrupt_packets);
    json.field("read_error", std::string_view(media.read_error));
    json.field("read_error_messages", media.demuxer_messages);
    json.field("decoded", media.decoded);
    json.key("decode");
    if (media.decoded) {
        json.open('{');
        json.field("video_frames", media.decoded_video_frames);
        json.field("audio_frames", media.decoded_audio_frames);
        json.field("audio_samples", media.decoded_audio_samples);
        json.field("errors", media.decode_errors);
        json.close('}');
    } else {
        json.null();
    }
    json.key("messages");
    json.open('[');
    for (const std::string& message : media.messages) json.value(message);
    json.close(']');
    json.field("plays_to_end", media.plays_to_end());
    json.close('}');
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const std::size_t length = utf8_sequence(text);
        const char c = text[0];
        if (length == 0) {
            out += "\\ufffd";
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    out += '"';
    return out;
}

std::string format_json(const report& run) {
    json_writer json;
    json.open('{');
    write_log(json, run);
    json.key("file");
    if (run.has_media) {
        write_media(json, run.media);
    } else {
        json.null();
    }
    json.field("real_time_factor", run.real_time_factor);
    json.close('}');
    std::string out = json.take();
    out += '\n';
    return out;
}

}  // namespace Harnvik::Report
