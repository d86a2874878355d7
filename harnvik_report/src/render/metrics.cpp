#include "render/metrics.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace Harnvik::Report {

namespace {

constexpr double k_not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double k_bytes_per_gib = 1073741824.0;
// Doubles below this are whole numbers exactly: 2^53.
constexpr double k_exact_integers = 9007199254740992.0;

// Labels of the metrics' own, which the lab's labels may not take.
constexpr const char* k_own_labels[] = {"file", "worker", "period", "phase", "outcome"};

constexpr const char* k_phase_names[] = {"pause", "recording", "ended"};
constexpr const char* k_outcome_names[] = {"ordinary_mp4", "fragmented", "no_file", "open_failed"};

bool is_label_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// A value as the format reads it: a whole number in digits, any other as
// the shortest decimal that reads back as the same double; NaN, +Inf, -Inf.
std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const std::to_chars_result written =
        std::fabs(value) < k_exact_integers && value == std::trunc(value)
            ? std::to_chars(text, text + sizeof(text), static_cast<std::int64_t>(value))
            : std::to_chars(text, text + sizeof(text), value);
    return std::string(text, written.ptr);
}

std::string escaped(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// The text of one metric: its HELP and TYPE lines, then its samples.
class metric_writer {
  public:
    metric_writer(std::string& out, std::string common) : m_out(out), m_common(std::move(common)) {}

    void family(const char* name, const char* type, const char* help) {
        m_name = name;
        m_out +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    // A sample of the current family, with one label of its own or none.
    void sample(double value, const char* label = nullptr, const std::string& label_value = "") {
        std::string labels = m_common;
        if (label != nullptr) {
            labels += std::string(labels.empty() ? "" : ",") + label + "=\"" +
                      escaped(label_value) + "\"";
        }
        m_out += m_name + (labels.empty() ? "" : "{" + labels + "}") + " " + number(value) + "\n";
    }

  private:
    std::string& m_out;
    std::string m_common;
    std::string m_name;
};

double known_bytes(std::int64_t bytes) {
    return bytes < 0 ? k_not_a_number : static_cast<double>(bytes);
}

}  // namespace

soak_figures live_figures(const live_status& status, double unix_now_s) {
    soak_figures figures;
    figures.worker_rates = status.latest;
    figures.median_before = status.median_before;
    figures.median_since = status.median_since;
    figures.drop_percent = status.drop_percent;
    figures.phase = status.ended ? e_soak_ended : status.started ? e_soak_recording : e_soak_pause;
    const recording_sample& recording = status.recording;
    figures.media_safe_s = status.media_s;
    figures.file_bytes =
        status.has_file && recording.state != e_recording_missing ? recording.file_bytes : -1;
    figures.bit_rate = status.bit_rate;
    figures.real_time_factor = status.real_time_factor;
    figures.room_bytes =
        status.has_file && recording.state == e_recording_fragmented ? recording.room_bytes : -1;
    figures.ends_in_s = status.ends_in_s;
    figures.lines = status.lines;
    figures.foreign_lines = status.foreign_lines;
    figures.updated_s = unix_now_s;
    return figures;
}

soak_figures final_figures(const report& run, bool over, bool file_given, double unix_now_s) {
    soak_figures figures;
    const log_summary& summary = run.summary;
    for (std::size_t worker = 0; worker < figures.worker_rates.size(); ++worker) {
        figures.worker_rates[worker] = summary.workers[worker].last_rate;
    }
    figures.median_before = summary.all.median_before;
    figures.median_since = summary.all.median_after;
    figures.drop_percent = summary.all.drop_percent;
    const log_facts& log = run.log;
    figures.phase = over || log.end_line != 0 ? e_soak_ended
                    : log.start_line != 0     ? e_soak_recording
                                              : e_soak_pause;
    figures.media_safe_s = run.has_media ? run.media.duration_s : k_not_a_number;
    figures.file_bytes = run.has_media ? run.media.file_size : -1;
    figures.bit_rate = run.has_media ? run.media.mean_bit_rate : k_not_a_number;
    figures.real_time_factor = run.real_time_factor;
    figures.ends_in_s = k_not_a_number;
    figures.lines = log.lines;
    figures.foreign_lines = log.foreign_count;
    if (figures.phase == e_soak_ended) {
        if (log.outcome == e_outcome_open_failed) {
            figures.outcome = e_soak_open_failed;
        } else if (file_given) {
            const e_layout kind = run.media.layout.kind;
            figures.outcome = !run.has_media                ? e_soak_no_file
                              : kind == e_layout_ordinary   ? e_soak_ordinary_mp4
                              : kind == e_layout_fragmented ? e_soak_fragmented
                                                            : e_soak_no_file;
        }
    }
    figures.updated_s = unix_now_s;
    return figures;
}

std::string label_refusal(const std::string& name) {
    if (name.empty()) return "an empty label name";
    if (!is_label_start(name[0]))
        return "the label name " + name + " does not start with a letter or _";
    for (const char c : name) {
        if (!is_label_start(c) && !(c >= '0' && c <= '9')) {
            return "the label name " + name + " has a character other than letters, digits and _";
        }
    }
    if (name.rfind("__", 0) == 0)
        return "label names starting with __ are Prometheus' own: " + name;
    for (const char* own : k_own_labels) {
        if (name == own) return "the metrics have a label " + name + " of their own";
    }
    return "";
}

std::string format_metrics(const soak_figures& figures, const std::string& file_name,
                           const std::vector<metric_label>& labels) {
    std::string common;
    for (const metric_label& label : labels) {
        common += (common.empty() ? "" : ",") + label.name + "=\"" + escaped(label.value) + "\"";
    }
    if (!file_name.empty()) {
        common += std::string(common.empty() ? "" : ",") + "file=\"" + escaped(file_name) + "\"";
    }
    std::string out;
    metric_writer metric(out, common);

    metric.family("harnvik_worker_copy_rate_bytes_per_second", "gauge",
                  "The newest copy rate each worker printed (its Gb/s times 2^30).");
    for (std::size_t worker = 0; worker < figures.worker_rates.size(); ++worker) {
        metric.sample(figures.worker_rates[worker] * k_bytes_per_gib, "worker",
                      std::to_string(worker));
    }
    metric.family("harnvik_copy_rate_median_bytes_per_second", "gauge",
                  "Median copy rate of every worker's lines before the start text and since it.");
    metric.sample(figures.median_before * k_bytes_per_gib, "period", "before_start");
    metric.sample(figures.median_since * k_bytes_per_gib, "period", "since_start");
    metric.family("harnvik_copy_rate_drop_ratio", "gauge",
                  "How far the median copy rate fell since the start text, as a share of the "
                  "median before it (negative when it rose).");
    metric.sample(figures.drop_percent / 100.0);
    metric.family("harnvik_soak_phase", "gauge",
                  "Where the soak is: 1 for its phase, 0 for the others.");
    for (std::size_t phase = 0; phase < std::size(k_phase_names); ++phase) {
        metric.sample(static_cast<std::size_t>(figures.phase) == phase ? 1.0 : 0.0, "phase",
                      k_phase_names[phase]);
    }
    metric.family("harnvik_media_safe_seconds", "gauge",
                  "Seconds of media safe on the disk: that a player plays after a crash now.");
    metric.sample(figures.media_safe_s);
    metric.family("harnvik_file_size_bytes", "gauge", "Bytes of the recording on the disk.");
    metric.sample(known_bytes(figures.file_bytes));
    metric.family("harnvik_media_rate_bytes_per_second", "gauge",
                  "The recording's bit rate, in bytes of media per second of media.");
    metric.sample(figures.bit_rate / 8.0);
    metric.family("harnvik_real_time_ratio", "gauge",
                  "Seconds of media recorded per second of recording: below 1, slower than "
                  "real time.");
    metric.sample(figures.real_time_factor);
    metric.family("harnvik_room_left_bytes", "gauge",
                  "Bytes the recording may still grow by: free on its disk, or below the writer's "
                  "file-size limit where fewer.");
    metric.sample(known_bytes(figures.room_bytes));
    metric.family("harnvik_time_left_seconds", "gauge",
                  "Seconds until the room is used up at the pace so far.");
    metric.sample(figures.ends_in_s);
    metric.family("harnvik_log_lines_total", "counter", "Lines of the soak's output read.");
    metric.sample(static_cast<double>(figures.lines));
    metric.family("harnvik_log_foreign_lines_total", "counter",
                  "Lines of the soak's output that are not the program's.");
    metric.sample(static_cast<double>(figures.foreign_lines));
    metric.family("harnvik_soak_outcome", "gauge",
                  "How the soak ended, once it has: 1 for its outcome, 0 for the others.");
    for (std::size_t outcome = 0; outcome < std::size(k_outcome_names); ++outcome) {
        metric.sample(static_cast<std::size_t>(figures.outcome) == outcome + 1 ? 1.0 : 0.0,
                      "outcome", k_outcome_names[outcome]);
    }
    metric.family("harnvik_metrics_updated_timestamp_seconds", "gauge",
                  "When these figures were written, in seconds since 1970 (UTC).");
    metric.sample(figures.updated_s);
    return out;
}

}  // namespace Harnvik::Report
