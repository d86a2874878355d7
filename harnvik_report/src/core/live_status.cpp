#include "core/live_status.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Harnvik::Report {

namespace {

constexpr double k_not_a_number = std::numeric_limits<double>::quiet_NaN();

bool positive(double value) {
    return std::isfinite(value) && value > 0.0;
}

}  // namespace

live_log::live_log() {
    m_latest.fill(k_not_a_number);
}

std::int64_t live_log::take(const log_facts& facts) {
    std::int64_t taken = 0;
    for (std::size_t worker = 0; worker < m_taken.size(); ++worker) {
        const std::vector<rate_line>& lines = facts.workers[worker];
        for (; m_taken[worker] < lines.size(); ++m_taken[worker], ++taken) {
            const rate_line& line = lines[m_taken[worker]];
            m_latest[worker] = line.rate;
            (line.phase == e_phase_before_start ? m_before : m_since).add(line.rate);
            if (line.phase == e_phase_recording) {
                m_recording_s[worker] += measurement_seconds(line.rate);
            }
        }
    }
    return taken;
}

double live_log::recording_s() const {
    std::vector<double> seconds;
    for (const double worker_s : m_recording_s) {
        if (worker_s > 0.0) seconds.push_back(worker_s);
    }
    return median(seconds);
}

void take_log(live_status& status, const live_log& log) {
    status.latest = log.latest();
    status.median_before = log.median_before();
    status.median_since = log.median_since();
    status.recording_s = log.recording_s();
}

void complete_status(live_status& status) {
    status.drop_percent = drop_percent(status.median_before, status.median_since);

    status.since_start_s = k_not_a_number;
    if (status.started) {
        if (!std::isnan(status.recording_s)) {
            // Once the run has ended its time stands still.
            status.since_start_s =
                status.recording_s + (status.ended || std::isnan(status.since_newest_line_s)
                                          ? 0.0
                                          : std::max(status.since_newest_line_s, 0.0));
        } else {
            status.since_start_s = status.since_start_text_s;
        }
    }

    const recording_sample& recording = status.recording;
    status.media_s = k_not_a_number;
    status.media_from_header = false;
    status.bit_rate = k_not_a_number;
    if (status.has_file && recording.state == e_recording_fragmented) {
        status.media_from_header = recording.has_header_length;
        status.media_s = recording.has_header_length ? recording.header_length_s
                         : recording.fragments > 0   ? recording.fragments_s
                                                     : 0.0;
        if (positive(recording.fragments_s)) {
            status.bit_rate =
                static_cast<double>(recording.media_bytes) * 8.0 / recording.fragments_s;
        }
    }
    status.real_time_factor = positive(status.media_s) && positive(status.since_start_s)
                                  ? status.media_s / status.since_start_s
                                  : k_not_a_number;
    // The disk fills at the pace the file grew so far.
    status.ends_in_s = k_not_a_number;
    if (status.has_file && recording.room_bytes >= 0 && recording.file_bytes > 0 &&
        positive(status.since_start_s) && recording.state == e_recording_fragmented) {
        const double bytes_per_s = static_cast<double>(recording.file_bytes) / status.since_start_s;
        status.ends_in_s = static_cast<double>(recording.room_bytes) / bytes_per_s;
    }
}

}  // namespace Harnvik::Report
