#include "core/statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Harnvik::Report {

namespace {

constexpr double k_not_a_number = std::numeric_limits<double>::quiet_NaN();
// Far more seconds of media than any recording has: a packet time beyond it
// is damage, not media, and would only make the series huge.
constexpr double k_longest_media_s = 400.0 * 24.0 * 3600.0;

}  // namespace

double measurement_seconds(double rate) {
    if (std::isinf(rate)) return 0.0;
    return k_gib_per_measurement / rate;
}

double median(std::vector<double>& values) {
    if (values.empty()) return k_not_a_number;
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                     values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1 || std::isinf(upper)) return upper;
    const double lower =
        *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return lower + (upper - lower) / 2.0;
}

void running_median::add(double value) {
    if (!m_upper.empty() && value < m_upper.top()) {
        m_lower.push(value);
    } else {
        m_upper.push(value);
    }
    // The upper half holds as many as the lower one, or one more.
    if (m_lower.size() > m_upper.size()) {
        m_upper.push(m_lower.top());
        m_lower.pop();
    } else if (m_upper.size() > m_lower.size() + 1) {
        m_lower.push(m_upper.top());
        m_upper.pop();
    }
}

double drop_percent(double before, double after) {
    const bool comparable = std::isfinite(before) && before > 0.0 && !std::isnan(after);
    return comparable ? (before - after) / before * 100.0 : k_not_a_number;
}

double running_median::value() const {
    if (m_upper.empty()) return k_not_a_number;
    const double upper = m_upper.top();
    if (m_upper.size() > m_lower.size() || std::isinf(upper)) return upper;
    const double lower = m_lower.top();
    return lower + (upper - lower) / 2.0;
}

std::int64_t running_median::count() const {
    return static_cast<std::int64_t>(m_lower.size() + m_upper.size());
}

namespace {

worker_summary summarize_lines(std::int32_t index, const std::vector<rate_line>& lines,
                               bool started) {
    worker_summary worker;
    worker.worker = index;
    worker.lines = static_cast<std::int64_t>(lines.size());
    std::vector<double> all;
    std::vector<double> before;
    std::vector<double> after;
    all.reserve(lines.size());
    double start_at = 0.0;
    for (const rate_line& line : lines) {
        const double seconds = measurement_seconds(line.rate);
        all.push_back(line.rate);
        worker.covered_s += seconds;
        if (std::isinf(line.rate)) ++worker.infinite_lines;
        if (line.phase == e_phase_before_start) {
            before.push_back(line.rate);
            start_at += seconds;
        } else {
            after.push_back(line.rate);
        }
        if (line.phase == e_phase_recording) worker.covered_recording_s += seconds;
    }
    worker.lines_after_start = static_cast<std::int64_t>(after.size());
    worker.start_at_s = started ? start_at : k_not_a_number;
    if (lines.empty()) {
        worker.min_rate = worker.max_rate = worker.last_rate = k_not_a_number;
    } else {
        worker.min_rate = *std::min_element(all.begin(), all.end());
        worker.max_rate = *std::max_element(all.begin(), all.end());
        worker.last_rate = lines.back().rate;
    }
    worker.median_rate = median(all);
    worker.median_before = median(before);
    worker.median_after = median(after);
    worker.drop_percent = drop_percent(worker.median_before, worker.median_after);
    return worker;
}

}  // namespace

log_summary summarize(const log_facts& facts) {
    log_summary summary;
    const bool started = facts.start_line != 0;
    std::vector<double> recording_seconds;
    std::vector<double> all_seconds;
    std::vector<rate_line> every_line;
    every_line.reserve(static_cast<std::size_t>(facts.rate_lines()));
    for (std::int32_t index = 0; index < k_worker_count; ++index) {
        const std::vector<rate_line>& lines = facts.workers[static_cast<std::size_t>(index)];
        worker_summary& worker = summary.workers[static_cast<std::size_t>(index)];
        worker = summarize_lines(index, lines, started);
        if (worker.lines > 0) ++summary.workers_reporting;
        if (worker.lines_after_start > 0) ++summary.workers_after_start;
        if (worker.covered_recording_s > 0.0) {
            ++summary.workers_recording;
            recording_seconds.push_back(worker.covered_recording_s);
        }
        for (const rate_line& line : lines) all_seconds.push_back(measurement_seconds(line.rate));
        every_line.insert(every_line.end(), lines.begin(), lines.end());
    }
    std::sort(every_line.begin(), every_line.end(),
              [](const rate_line& a, const rate_line& b) { return a.line < b.line; });
    summary.all = summarize_lines(-1, every_line, started);
    summary.all.covered_s = summary.all.covered_recording_s = summary.all.start_at_s =
        k_not_a_number;
    summary.recording_worker_s = median(recording_seconds);
    summary.measurement_s = median(all_seconds);
    return summary;
}

bit_rate_spread spread_of(const std::vector<std::int64_t>& bytes_per_second, double duration_s) {
    std::size_t whole = bytes_per_second.size();
    if (whole > 1 && std::isfinite(duration_s) && duration_s < static_cast<double>(whole)) --whole;
    std::vector<double> bits;
    bits.reserve(whole);
    for (std::size_t second = 0; second < whole; ++second) {
        bits.push_back(static_cast<double>(bytes_per_second[second]) * 8.0);
    }
    bit_rate_spread spread;
    if (bits.empty()) {
        spread.min = spread.median = spread.max = k_not_a_number;
        return spread;
    }
    spread.min = *std::min_element(bits.begin(), bits.end());
    spread.max = *std::max_element(bits.begin(), bits.end());
    spread.median = median(bits);
    return spread;
}

double real_time_factor(double media_s, double worker_s) {
    if (!std::isfinite(media_s) || !std::isfinite(worker_s) || media_s <= 0.0 || worker_s <= 0.0) {
        return k_not_a_number;
    }
    return media_s / worker_s;
}

void bit_rate_series::add(double time_s, std::int64_t bytes) {
    if (!std::isfinite(time_s) || time_s > k_longest_media_s) return;
    const std::size_t second = time_s <= 0.0 ? 0 : static_cast<std::size_t>(time_s);
    if (second >= m_bytes.size()) m_bytes.resize(second + 1, 0);
    m_bytes[second] += bytes;
}

}  // namespace Harnvik::Report
