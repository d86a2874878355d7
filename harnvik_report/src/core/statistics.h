// Figures over what the log reader found, and over a file's packets: pure
// arithmetic, no input or output.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "core/log_reader.h"

namespace Harnvik::Report {

// What one measurement copies, in 2^30-byte units: 10000 copies of 1 MiB.
constexpr double k_gib_per_measurement = 10000.0 / 1024.0;

// The time one measurement took, from its printed rate: 10000 MiB divided by
// the rate. An "inf" line means the program measured 0 ms, so it covers 0 s.
double measurement_seconds(double rate);

// Median of the values (the mean of the middle two for an even count); NaN
// when there are none. Reorders the values.
double median(std::vector<double>& values);

// How far the rate fell from `before` to `after`, in percent of `before`
// (negative when it rose); NaN when `before` is not finite and positive or
// `after` is NaN.
double drop_percent(double before, double after);

// The median of values that come one at a time, the same as median() of
// them all: each value costs a logarithm of the count, the median nothing.
class running_median {
  public:
    void add(double value);
    double value() const;  // NaN without values
    std::int64_t count() const;

  private:
    // The lower half, largest on top; the upper half, smallest on top, with
    // the middle value (or the upper of the middle two).
    std::priority_queue<double> m_lower;
    std::priority_queue<double, std::vector<double>, std::greater<>> m_upper;
};

struct worker_summary {
    std::int32_t worker = 0;
    std::int64_t lines = 0;
    std::int64_t infinite_lines = 0;
    std::int64_t lines_after_start = 0;
    // Rates in 2^30 bytes per second; NaN without lines.
    double min_rate = 0.0;
    double median_rate = 0.0;
    double max_rate = 0.0;
    double last_rate = 0.0;
    // Medians of the lines printed before and after the start text, and how
    // far the rate fell between them in percent of the first (negative when
    // it rose); NaN when either side has no lines or the first is not finite
    // and positive.
    double median_before = 0.0;
    double median_after = 0.0;
    double drop_percent = 0.0;
    // Seconds of the worker's own measurements: in all, and those printed
    // while recording (after the start text, before the final text).
    double covered_s = 0.0;
    double covered_recording_s = 0.0;
    // The worker's own elapsed time when the start text was printed: the
    // seconds of its lines before it. NaN without a start text.
    double start_at_s = 0.0;
};

struct log_summary {
    std::array<worker_summary, k_worker_count> workers;
    // Every worker's lines together; its "last" is the log's last rate line.
    // Its seconds are NaN: the workers' own times overlap.
    worker_summary all;
    std::int32_t workers_reporting = 0;    // with at least one line
    std::int32_t workers_after_start = 0;  // with at least one line after the start text
    std::int32_t workers_recording = 0;    // with at least one line while recording
    // Median over the workers that printed while recording of their seconds
    // covered then; the workers run side by side, so each one's own time is
    // an estimate of the recording's wall time. NaN when none printed then.
    double recording_worker_s = 0.0;
    // Median time of one measurement over all lines: the timing's grain.
    double measurement_s = 0.0;
};

log_summary summarize(const log_facts& facts);

// Media seconds per second of worker time while recording; NaN unless both
// are finite and positive.
double real_time_factor(double media_s, double worker_s);

// Spread of the bit rate over the whole seconds of media, in bits per
// second; a last second that the media only partly fills is left out unless
// it is the only one. NaN without seconds.
struct bit_rate_spread {
    double min = 0.0;
    double median = 0.0;
    double max = 0.0;
};
bit_rate_spread spread_of(const std::vector<std::int64_t>& bytes_per_second, double duration_s);

// Bytes of media per whole second of media time, from packets in any order.
class bit_rate_series {
  public:
    // A packet at `time_s` seconds of media; earlier than 0 counts as 0.
    // A time that is not finite, or beyond 400 days, is damage and ignored.
    void add(double time_s, std::int64_t bytes);
    const std::vector<std::int64_t>& bytes_per_second() const { return m_bytes; }

  private:
    std::vector<std::int64_t> m_bytes;
};

}  // namespace Harnvik::Report
