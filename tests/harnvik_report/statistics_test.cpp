#include "core/statistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/log_reader.h"

namespace {

using namespace Harnvik::Report;

constexpr double k_inf = std::numeric_limits<double>::infinity();

std::string rate(int worker, double value) {
    char line[64];
    std::snprintf(line, sizeof(line), "Thread %d, memcpy = %1.2fGb/s\n", worker, value);
    return line;
}

TEST(statistics, measurement_time_from_the_rate) {
    // 10000 MiB at 9.765625 GiB/s take one second; at 4.88 just over two.
    EXPECT_DOUBLE_EQ(measurement_seconds(9.765625), 1.0);
    EXPECT_DOUBLE_EQ(measurement_seconds(4.8828125), 2.0);
    EXPECT_EQ(measurement_seconds(k_inf), 0.0);
}

TEST(statistics, median) {
    std::vector<double> none;
    EXPECT_TRUE(std::isnan(median(none)));
    std::vector<double> odd{5, 1, 3};
    EXPECT_EQ(median(odd), 3);
    std::vector<double> even{4, 1, 3, 2};
    EXPECT_EQ(median(even), 2.5);
    std::vector<double> infinite{k_inf, 1, k_inf, 2};
    EXPECT_EQ(median(infinite), k_inf);
    std::vector<double> half{k_inf, 1};
    EXPECT_EQ(median(half), k_inf);
}

// Workers 0-6 report; worker 7 never does. The rate halves once recording
// starts, except for worker 1, which stops printing then.
log_facts run_with_a_silent_worker() {
    std::string log;
    for (int round = 0; round < 3; ++round) {
        for (int worker = 0; worker < 7; ++worker) log += rate(worker, 9.765625 + round);
    }
    log += std::string(k_start_text) + "\n";
    for (int round = 0; round < 2; ++round) {
        for (int worker = 0; worker < 7; ++worker) {
            if (worker != 1) log += rate(worker, 4.8828125);
        }
    }
    log += std::string(k_write_failure_text) + rate(2, 2.44140625);
    return read_log(log);
}

TEST(statistics, per_worker_figures_with_one_worker_silent) {
    const log_summary summary = summarize(run_with_a_silent_worker());
    EXPECT_EQ(summary.workers_reporting, 7);
    EXPECT_EQ(summary.workers_after_start, 6);
    EXPECT_EQ(summary.workers_recording, 6);

    const worker_summary& silent = summary.workers[7];
    EXPECT_EQ(silent.worker, 7);
    EXPECT_EQ(silent.lines, 0);
    EXPECT_TRUE(std::isnan(silent.median_rate));
    EXPECT_TRUE(std::isnan(silent.last_rate));
    EXPECT_EQ(silent.covered_s, 0.0);

    const worker_summary& stopped = summary.workers[1];
    EXPECT_EQ(stopped.lines, 3);
    EXPECT_EQ(stopped.lines_after_start, 0);
    EXPECT_TRUE(std::isnan(stopped.median_after));
    EXPECT_TRUE(std::isnan(stopped.drop_percent));

    // Worker 2: 9.77, 10.77, 11.77 before; 4.88, 4.88 while recording; 2.44 after the end.
    const worker_summary& two = summary.workers[2];
    EXPECT_EQ(two.lines, 6);
    EXPECT_EQ(two.lines_after_start, 3);
    EXPECT_DOUBLE_EQ(two.min_rate, 2.44);
    EXPECT_DOUBLE_EQ(two.max_rate, 11.77);
    EXPECT_DOUBLE_EQ(two.last_rate, 2.44);
    EXPECT_DOUBLE_EQ(two.median_before, 10.77);
    EXPECT_DOUBLE_EQ(two.median_after, 4.88);
    EXPECT_NEAR(two.drop_percent, (10.77 - 4.88) / 10.77 * 100.0, 1e-9);
    EXPECT_NEAR(two.covered_recording_s, 2 * 9.765625 / 4.88, 1e-9);
    EXPECT_NEAR(two.start_at_s, 9.765625 / 9.77 + 9.765625 / 10.77 + 9.765625 / 11.77, 1e-9);
    EXPECT_NEAR(two.covered_s, two.start_at_s + two.covered_recording_s + 9.765625 / 2.44, 1e-9);

    // The recording's worker time is the median over the six that printed then.
    EXPECT_NEAR(summary.recording_worker_s, 2 * 9.765625 / 4.88, 1e-9);
    EXPECT_EQ(summary.all.lines, 34);
    EXPECT_DOUBLE_EQ(summary.all.last_rate, 2.44);
    EXPECT_TRUE(std::isnan(summary.all.covered_s));
}

TEST(statistics, infinite_rates_count_as_lines_but_take_no_time) {
    const log_facts facts = read_log(rate(0, 5.0) + "Thread 0, memcpy = infGb/s\n" +
                                     std::string(k_start_text) + "\nThread 0, memcpy = infGb/s\n");
    const log_summary summary = summarize(facts);
    const worker_summary& zero = summary.workers[0];
    EXPECT_EQ(zero.lines, 3);
    EXPECT_EQ(zero.infinite_lines, 2);
    EXPECT_EQ(zero.max_rate, k_inf);
    EXPECT_EQ(zero.median_rate, k_inf);
    EXPECT_DOUBLE_EQ(zero.covered_s, 9.765625 / 5.0);
    EXPECT_EQ(zero.median_before, k_inf);
    // An infinite rate before the start leaves nothing to compare with.
    EXPECT_TRUE(std::isnan(zero.drop_percent));
    // Lines while recording, but no time: no estimate of the recording's length.
    EXPECT_EQ(summary.workers_recording, 0);
    EXPECT_TRUE(std::isnan(summary.recording_worker_s));
}

TEST(statistics, real_time_factor) {
    EXPECT_DOUBLE_EQ(real_time_factor(6.0, 8.0), 0.75);
    EXPECT_TRUE(std::isnan(real_time_factor(6.0, 0.0)));
    EXPECT_TRUE(std::isnan(real_time_factor(0.0, 8.0)));
    EXPECT_TRUE(std::isnan(real_time_factor(6.0, std::nan(""))));
}

TEST(statistics, bit_rate_per_second_of_media) {
    bit_rate_series series;
    series.add(0.0, 100);
    series.add(0.99, 50);
    series.add(2.5, 10);   // second 1 holds nothing
    series.add(-0.04, 7);  // before the first second: counted in it
    series.add(std::nan(""), 1000);
    series.add(1e12, 1000);
    EXPECT_EQ(series.bytes_per_second(), (std::vector<std::int64_t>{157, 0, 10}));

    // The last second is only 0.5 s long: left out of the spread.
    bit_rate_spread spread = spread_of({100, 300, 200, 5}, 3.5);
    EXPECT_EQ(spread.min, 800);
    EXPECT_EQ(spread.median, 1600);
    EXPECT_EQ(spread.max, 2400);
    spread = spread_of({100, 300}, 2.0);
    EXPECT_EQ(spread.min, 800);
    spread = spread_of({5}, 0.2);
    EXPECT_EQ(spread.max, 40);
    EXPECT_TRUE(std::isnan(spread_of({}, 0.0).median));
}

// Every whole second is in the spread, the last one too: only a last second
// that the media leaves partly empty is not. Here the last second alone
// holds the highest (or the lowest) rate, so leaving it out shows.
TEST(statistics, the_last_whole_second_is_in_the_bit_rate_spread) {
    const std::vector<std::int64_t> peak_last{100, 300, 900};
    for (const double duration : {3.0, 3.0001, 3.9}) {
        SCOPED_TRACE(duration);
        const bit_rate_spread spread = spread_of(peak_last, duration);
        EXPECT_EQ(spread.max, 7200);
        EXPECT_EQ(spread.median, 2400);
    }
    // Media that ends inside its last second: that second is left out.
    EXPECT_EQ(spread_of(peak_last, 2.5).max, 2400);
    EXPECT_EQ(spread_of(peak_last, 2.5).median, 1600);
    const std::vector<std::int64_t> dip_last{300, 100};
    EXPECT_EQ(spread_of(dip_last, 2.0).min, 800);
    EXPECT_EQ(spread_of(dip_last, 1.5).min, 2400);
    // Without a finite duration no second is known to be partial.
    EXPECT_EQ(spread_of(dip_last, std::nan("")).min, 800);
}

}  // namespace
