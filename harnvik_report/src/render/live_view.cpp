#include "render/live_view.h"

#include <cmath>

#include "render/summary_table.h"

namespace Harnvik::Report {

namespace {

constexpr double k_mega = 1000000.0;
constexpr std::size_t k_notes_shown = 3;
// The width of a line's text after its label, so that the line fits 80.
constexpr std::size_t k_text_columns = 70;

// The words of `text` in lines of at most `columns` bytes; a longer word
// stands alone.
std::vector<std::string> wrap(const std::string& text, std::size_t columns) {
    std::vector<std::string> lines(1);
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t space = text.find(' ', at);
        const std::size_t end = space == std::string::npos ? text.size() : space;
        const std::string word = text.substr(at, end - at);
        if (!lines.back().empty() && lines.back().size() + 1 + word.size() > columns) {
            lines.emplace_back();
        }
        if (!lines.back().empty()) lines.back() += ' ';
        lines.back() += word;
        at = end + 1;
    }
    return lines;
}

// What the soak is doing, by the log: "recording for 1:02:03", or without
// the time "recording".
std::string phase(const live_status& status, bool timed) {
    const std::string time = timed ? format_clock(status.since_start_s) : "";
    if (status.ended) return timed ? "ended after " + time : "ended";
    if (status.started) return timed ? "recording for " + time : "recording";
    if (status.lines == 0) return "waiting for its first line";
    return "in the pause before recording";
}

// The medians before and since the start text, and the drop between them.
std::string medians(const live_status& status) {
    std::string out = format_number(status.median_before, 2) + " GiB/s before the start";
    if (!status.started) return out;
    if (std::isnan(status.median_since)) return out + "; none since yet";
    out += ", " + format_number(status.median_since, 2) + " since";
    if (!std::isnan(status.drop_percent)) {
        append_printf(out, ": a %s of %.1f %%", status.drop_percent < 0 ? "rise" : "drop",
                      std::fabs(status.drop_percent));
    }
    return out;
}

// What the file is, and how much media is safe in it.
std::string file_state(const live_status& status) {
    const recording_sample& recording = status.recording;
    std::string out = status.file_name + ": ";
    switch (recording.state) {
        case e_recording_missing:
            return out + "not there yet, waited for";
        case e_recording_no_header:
            return out + format_bytes(recording.file_bytes) + ", its header not whole yet";
        case e_recording_not_mp4:
            return out + format_bytes(recording.file_bytes) + ", no MP4 file";
        case e_recording_finished:
            return out + "finished, an ordinary MP4 of " + format_bytes(recording.file_bytes);
        case e_recording_fragmented:
            break;
    }
    append_printf(out, "%.3f s of media safe", status.media_s);
    if (status.media_from_header) {
        append_printf(out, ", %lld fragment%s", static_cast<long long>(recording.fragments),
                      recording.fragments == 1 ? "" : "s");
    } else {
        append_printf(out, " by its %lld fragments (its header tells no length)",
                      static_cast<long long>(recording.fragments));
    }
    return out;
}

// Bytes, bit rate and real-time factor; empty unless the file is recorded.
std::string pace(const live_status& status) {
    if (status.recording.state != e_recording_fragmented) return "";
    return format_bytes(status.recording.file_bytes) + " on the disk, " +
           format_number(status.bit_rate / k_mega, 2) + " Mbit/s, real-time factor " +
           format_number(status.real_time_factor, 2);
}

std::string room(const live_status& status) {
    const recording_sample& recording = status.recording;
    if (recording.room_bytes < 0) return "- (the system does not tell the free space)";
    // Whose limit it is: the writer's, or where that cannot be told the
    // follower's own, which may not be the writer's at all.
    const char* const below = recording.limit_owner == e_limit_of_writer
                                  ? " below the writer's file-size limit"
                                  : " below the follower's file-size limit";
    std::string out = format_bytes(recording.room_bytes) +
                      (recording.room_is_limit ? below : " free on its disk");
    if (std::isnan(status.ends_in_s)) return out;
    return out + ": the run ends there in " + format_span(status.ends_in_s);
}

std::string log_state(const live_status& status) {
    std::string out;
    append_printf(out, "%lld lines (%lld foreign)", static_cast<long long>(status.lines),
                  static_cast<long long>(status.foreign_lines));
    if (!std::isnan(status.since_newest_line_s) && !status.ended) {
        out += ", the newest " + format_span(status.since_newest_line_s) + " ago";
    }
    return out;
}

std::string labelled(const char* label, const std::string& text) {
    std::string out;
    append_printf(out, "%-9s%s", label, text.c_str());
    return out;
}

}  // namespace

std::vector<std::string> live_block(const live_status& status) {
    std::vector<std::string> lines;
    lines.push_back("Harnvik soak " + phase(status, true) + "; log: " + status.log_name);
    std::string workers = "worker   ";
    std::string rates = "GiB/s    ";
    for (std::size_t worker = 0; worker < status.latest.size(); ++worker) {
        append_printf(workers, "%8d", static_cast<int>(worker));
        append_printf(rates, "%8s", format_number(status.latest[worker], 2).c_str());
    }
    lines.push_back(workers);
    lines.push_back(rates);
    lines.push_back(labelled("median", medians(status)));
    if (status.has_file) {
        lines.push_back(labelled("file", file_state(status)));
        const std::string figures = pace(status);
        if (!figures.empty()) lines.push_back(labelled("", figures));
        if (status.recording.state == e_recording_fragmented) {
            lines.push_back(labelled("room", room(status)));
        }
    }
    lines.push_back(labelled("log", log_state(status)));
    const std::size_t first =
        status.notes.size() > k_notes_shown ? status.notes.size() - k_notes_shown : 0;
    for (std::size_t note = first; note < status.notes.size(); ++note) {
        const char* label = "note";
        for (const std::string& part : wrap(status.notes[note], k_text_columns)) {
            lines.push_back(labelled(label, part));
            label = "";
        }
    }
    return lines;
}

std::string live_line(const live_status& status) {
    std::string out =
        "[" + format_clock(status.since_start_s) + "] " + phase(status, false) + "; GiB/s";
    for (const double rate : status.latest) out += " " + format_number(rate, 2);
    out += "; median " + medians(status);
    if (status.has_file) {
        out += "; " + file_state(status);
        const std::string figures = pace(status);
        if (!figures.empty()) out += ", " + figures + "; room " + room(status);
    }
    return out;
}

std::string format_clock(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) return "-:--:--";
    const auto whole = static_cast<long long>(seconds);
    const long long days = whole / 86400;
    std::string out;
    if (days > 0) {
        append_printf(out, "%lld d %02lld:", days, whole / 3600 % 24);
    } else {
        append_printf(out, "%lld:", whole / 3600);
    }
    append_printf(out, "%02lld:%02lld", whole / 60 % 60, whole % 60);
    return out;
}

std::string format_span(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) return "-";
    const auto whole = static_cast<long long>(seconds);
    std::string out;
    if (whole < 60) {
        append_printf(out, "%lld s", whole);
    } else if (whole < 3600) {
        append_printf(out, "about %lld min", whole / 60);
    } else if (whole < 86400) {
        append_printf(out, "about %lld h %lld min", whole / 3600, whole / 60 % 60);
    } else {
        append_printf(out, "about %lld d %lld h", whole / 86400, whole / 3600 % 24);
    }
    return out;
}

std::string format_bytes(std::int64_t bytes) {
    static const char* const k_units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    std::string out;
    if (bytes < 1024) {
        append_printf(out, "%lld B", static_cast<long long>(bytes));
        return out;
    }
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(k_units)) {
        value /= 1024.0;
        ++unit;
    }
    append_printf(out, "%.2f %s", value, k_units[unit]);
    return out;
}

std::string fit(const std::string& line, int columns) {
    int counted = 0;
    for (std::size_t at = 0; at < line.size(); ++at) {
        // A character starts at every byte that does not continue one.
        if ((static_cast<unsigned char>(line[at]) & 0xC0) == 0x80) continue;
        if (counted++ == columns) return line.substr(0, at);
    }
    return line;
}

void block_painter::draw(const std::vector<std::string>& lines, int columns, int rows) {
    std::string out;
    if (m_drawn > 0 && columns != m_columns) {
        out += "\x1b[H\x1b[2J";  // home, and the whole screen cleared
    } else if (m_drawn > 0) {
        append_printf(out, "\r\x1b[%dA", m_drawn);  // back to the block's first line
    }
    // One column short of the width, so that no terminal wraps a line; the
    // last row left for the cursor.
    const int most = rows > 1 ? rows - 1 : 1;
    int drawn = 0;
    for (const std::string& line : lines) {
        if (drawn == most) break;
        out += fit(line, columns > 1 ? columns - 1 : 1);
        out += "\x1b[K\n";  // the rest of an older, longer line erased
        ++drawn;
    }
    out += "\x1b[J";  // and the lines of an older, taller block below
    std::fwrite(out.data(), 1, out.size(), m_out);
    std::fflush(m_out);
    m_drawn = drawn;
    m_columns = columns;
}

void block_painter::clear() {
    if (m_drawn == 0) return;
    std::fprintf(m_out, "\r\x1b[%dA\x1b[J", m_drawn);
    std::fflush(m_out);
    m_drawn = 0;
}

}  // namespace Harnvik::Report
