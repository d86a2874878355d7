// The figures of a soak as metrics in Prometheus' text exposition format,
// for the textfile collectors of node_exporter and windows_exporter: a
// lab's Prometheus gathers every soak through them and alerts on its rules
// (share/harnvik/prometheus/harnvik.rules.yml, which reads these names).
// Base units throughout: a copy rate of 6.5 Gb/s (2^30 bytes a second) is
// 6979321856 bytes per second, a drop of 20 % is a ratio of 0.2.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/live_status.h"
#include "core/report.h"

namespace Harnvik::Report {

// Where the soak is, by its log.
enum e_soak_phase : std::uint8_t {
    e_soak_pause,      // before the start text
    e_soak_recording,  // after it, before the run ended
    e_soak_ended,      // the final text came, or the run is over
};

// How a soak ended, once it has: told by the log and the file.
enum e_soak_outcome : std::uint8_t {
    e_soak_outcome_unknown,  // not ended yet, or no file was given to tell
    e_soak_ordinary_mp4,     // the recorder finished the file
    e_soak_fragmented,       // the file was left in fragments
    e_soak_no_file,          // no file, or none with media to read
    e_soak_open_failed,      // "Error recording file."
};

// Every figure the metrics show; NaN (or -1 for bytes) where unknown.
struct soak_figures {
    std::array<double, k_worker_count> worker_rates{};  // GiB/s, the newest of each
    double median_before = 0.0;                         // GiB/s
    double median_since = 0.0;                          // GiB/s
    double drop_percent = 0.0;
    e_soak_phase phase = e_soak_pause;
    double media_safe_s = 0.0;
    std::int64_t file_bytes = -1;
    double bit_rate = 0.0;  // bits per second of media
    double real_time_factor = 0.0;
    std::int64_t room_bytes = -1;
    double ends_in_s = 0.0;
    std::int64_t lines = 0;
    std::int64_t foreign_lines = 0;
    e_soak_outcome outcome = e_soak_outcome_unknown;
    double updated_s = 0.0;  // Unix time
};

// The figures of a run being followed.
soak_figures live_figures(const live_status& status, double unix_now_s);
// The figures of the report made of a run: the same values as its JSON.
// `over`: the run has ended (a log read whole, a followed input that ended);
// false for a follow stopped by Ctrl-C, whose run may go on. `file_given`:
// the recording was asked about, so its absence is an outcome.
soak_figures final_figures(const report& run, bool over, bool file_given, double unix_now_s);

struct metric_label {
    std::string name;
    std::string value;
};

// Why `name` cannot be a label of the metrics (not a label name, reserved by
// Prometheus, or one of the metrics' own); empty when it can.
std::string label_refusal(const std::string& name);

// The metrics file's text. Each sample carries the lab's `labels` and, when
// a recording is followed, its file name as the label `file`.
std::string format_metrics(const soak_figures& figures, const std::string& file_name,
                           const std::vector<metric_label>& labels);

}  // namespace Harnvik::Report
