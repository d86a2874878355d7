#include "core/live_status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "render/live_view.h"

namespace {

using namespace Harnvik::Report;

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

TEST(live_status, the_running_median_is_the_median_of_all_values_so_far) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> hundredths(0, 2000);
    for (int round = 0; round < 20; ++round) {
        running_median running;
        std::vector<double> all;
        for (int count = 0; count < 60; ++count) {
            const int drawn = hundredths(random);
            const double value =
                drawn < 40 ? std::numeric_limits<double>::infinity() : drawn / 100.0;
            running.add(value);
            all.push_back(value);
            std::vector<double> copy = all;
            ASSERT_EQ(running.value(), median(copy)) << "after " << all.size() << " values";
        }
    }
    EXPECT_TRUE(std::isnan(running_median{}.value()));
}

// The live figures, taken block by block as the log comes, are the
// report's figures over the same lines.
TEST(live_status, the_figures_taken_as_the_log_comes_are_the_reports) {
    std::mt19937 random(5);
    std::string log;
    for (int line = 0; line < 400; ++line) {
        if (line == 120) log += std::string(k_start_text) + "\n";
        char rate[64];
        std::snprintf(rate, sizeof(rate), "Thread %d, memcpy = %d.%02dGb/s\n",
                      static_cast<int>(random() % 7), static_cast<int>(2 + random() % 9),
                      static_cast<int>(random() % 100));
        log += rate;
    }
    log += k_write_failure_text;
    log_reader reader;
    live_log live;
    for (std::size_t at = 0; at < log.size();) {
        const std::size_t block = 1 + random() % 700;
        reader.feed(std::string_view(log).substr(at, block));
        at += block;
        live.take(reader.so_far());
    }
    const log_summary summary = summarize(read_log(log));
    EXPECT_EQ(live.median_before(), summary.all.median_before);
    EXPECT_EQ(live.median_since(), summary.all.median_after);
    EXPECT_EQ(live.recording_s(), summary.recording_worker_s);
    for (std::size_t worker = 0; worker < live.latest().size(); ++worker) {
        const double last = summary.workers[worker].last_rate;
        EXPECT_TRUE(live.latest()[worker] == last || (std::isnan(last) && worker == 7)) << worker;
    }
}

TEST(live_status, time_pace_and_the_end_follow_from_the_facts) {
    const struct {
        const char* label;
        bool ended;
        double recording_s, since_newest_s, since_start_text_s;
        bool header;
        std::int64_t room;
        double since_start_s, media_s, factor, ends_in_s;
    } cases[] = {
        // The workers' 100 s while recording, 10 s since their newest line:
        // 110 s; 55 s of media; 1100 bytes in 110 s, 5000 bytes of room.
        {"going", false, 100, 10, 300, true, 5000, 110, 55, 0.5, 500},
        {"ended: the clock stands", true, 100, 10, 300, true, 5000, 100, 55, 0.55, 5000 / 11.0},
        {"no line while recording yet", false, k_nan, k_nan, 20, true, 5000, 20, 55, 2.75,
         5000 / 55.0},
        {"media by the fragments", false, 100, 0, 300, false, 5000, 100, 60, 0.6, 5000 / 11.0},
        {"room unknown", false, 100, 0, 300, true, -1, 100, 55, 0.55, k_nan},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        live_status status;
        status.started = true;
        status.ended = each.ended;
        status.recording_s = each.recording_s;
        status.since_newest_line_s = each.since_newest_s;
        status.since_start_text_s = each.since_start_text_s;
        status.has_file = true;
        status.recording.state = e_recording_fragmented;
        status.recording.file_bytes = 1100;
        status.recording.has_header_length = each.header;
        status.recording.header_length_s = 55;
        status.recording.fragments = 60;
        status.recording.fragments_s = 60;
        status.recording.media_bytes = 750;
        status.recording.room_bytes = each.room;
        complete_status(status);
        EXPECT_DOUBLE_EQ(status.since_start_s, each.since_start_s);
        EXPECT_DOUBLE_EQ(status.media_s, each.media_s);
        EXPECT_DOUBLE_EQ(status.real_time_factor, each.factor);
        EXPECT_DOUBLE_EQ(status.bit_rate, 100.0);
        if (std::isnan(each.ends_in_s)) {
            EXPECT_TRUE(std::isnan(status.ends_in_s));
        } else {
            EXPECT_DOUBLE_EQ(status.ends_in_s, each.ends_in_s);
        }
    }
}

TEST(live_view, every_line_fits_80_columns_and_a_cut_keeps_whole_characters) {
    live_status status;
    status.log_name = "soak.log";
    status.lines = 123456789;
    status.rate_lines = 123456000;
    status.foreign_lines = 789;
    status.started = true;
    status.since_newest_line_s = 75;
    status.latest.fill(1234.56);
    status.median_before = 1234.56;
    status.median_since = 999.99;
    status.recording_s = 99.0 * 86400;
    status.has_file = true;
    status.file_name = "HelloWorld.m4v";
    status.recording.state = e_recording_fragmented;
    status.recording.file_bytes = std::int64_t(1) << 50;
    status.recording.has_header_length = true;
    status.recording.header_length_s = 99.0 * 86400;
    status.recording.fragments = 8553600;
    status.recording.fragments_s = 99.0 * 86400;
    status.recording.media_bytes = std::int64_t(1) << 50;
    status.recording.room_bytes = std::int64_t(1) << 52;
    status.notes.assign(5,
                        "the header tells 8553600.000 s, more than its complete fragments hold "
                        "(8553599.000 s), which is never right");
    complete_status(status);
    const std::vector<std::string> block = live_block(status);
    EXPECT_EQ(block.size(), 14u);  // 8 lines of figures and the last 3 notes, 2 lines each
    for (const std::string& line : block) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(block[0], "Harnvik soak recording for 99 d 00:01:15; log: soak.log");

    EXPECT_EQ(fit("s\xc3\xb8"
                  "ak",
                  2),
              "s\xc3\xb8");
    EXPECT_EQ(fit("soak", 9), "soak");
    EXPECT_EQ(format_clock(3723), "1:02:03");
    EXPECT_EQ(format_span(18 * 86400 + 2 * 3600 + 59), "about 18 d 2 h");
    EXPECT_EQ(format_bytes(16 << 20), "16.00 MiB");
}

// The room line says whose size limit bounds the room: the writer's, or
// where that cannot be told the follower's own.
TEST(live_view, the_room_says_whose_limit_it_is) {
    const struct {
        bool is_limit;
        e_limit_owner owner;
        const char* room;
    } cases[] = {
        {false, e_limit_of_writer, "room     1.00 MiB free on its disk: the run ends there in 3 s"},
        {true, e_limit_of_writer,
         "room     1.00 MiB below the writer's file-size limit: the run ends there in 3 s"},
        {true, e_limit_of_follower,
         "room     1.00 MiB below the follower's file-size limit: the run ends there in 3 s"},
    };
    for (const auto& each : cases) {
        live_status status;
        status.started = true;
        status.since_start_text_s = 12.0;
        status.recording_s = k_nan;
        status.has_file = true;
        status.recording.state = e_recording_fragmented;
        status.recording.file_bytes = 4 << 20;
        status.recording.room_bytes = 1 << 20;
        status.recording.room_is_limit = each.is_limit;
        status.recording.limit_owner = each.owner;
        complete_status(status);
        const std::vector<std::string> block = live_block(status);
        EXPECT_NE(std::find(block.begin(), block.end(), each.room), block.end()) << each.room;
    }
}

}  // namespace
