#include "core/follow_step.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using namespace Harnvik::Report;

constexpr const char* k_start = "Starting to record to disk using Intel Media SDK ...\n";

std::string rate_lines(int count, const char* rate) {
    std::string out;
    for (int line = 0; line < count; ++line) {
        out += "Thread " + std::to_string(line % 8) + ", memcpy = " + rate + "Gb/s\n";
    }
    return out;
}

log_news bytes(std::string text) {
    log_news news;
    news.bytes = std::move(text);
    return news;
}

log_news change(e_log_change what) {
    log_news news;
    news.change = what;
    return news;
}

follow_settings log_file(double refresh_s = 1.0) {
    return {"soak.log", "soak.log", "", refresh_s};
}

// When a followed run has ended, on a clock the test drives: standard input
// ends with the run; a log file once it has been quiet after the final text
// for one and a half measurements at the newest median, 2 s at least.
TEST(follow_step, the_run_ends_when_its_input_ends_or_its_log_is_quiet_after_the_final_text) {
    const struct {
        const char* label;
        bool standard_input;
        const char* before;             // the rate of every line before the start text
        const char* rate;               // and after it
        const char* after;              // what comes at 1 s, after the final text at 0 s
        bool input_ends_at_3;           // standard input ends at 3 s
        double not_ended_at, ended_at;  // -1: never, up to 10000 s
    } cases[] = {
        // 10 GiB/s: a measurement takes 0.98 s, 1.5 of it less than 2 s.
        {"quick workers: 2 s of quiet", false, "2.00", "10.00", "", false, 1.999, 2.0},
        // 2 GiB/s since the start: 4.88 s, 7.32 s of quiet.
        {"slow workers: one and a half measurements", false, "10.00", "2.00", "", false, 7.32,
         7.33},
        {"a line after the final text restarts the quiet", false, "10.00", "10.00",
         "Thread 1, memcpy = 10.00Gb/s\n", false, 2.999, 3.0},
        {"standard input: when it ends", true, "10.00", "10.00", "", true, 2.99, 3.0},
        {"standard input: not by quiet", true, "10.00", "10.00", "", false, 10000, -1},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        follow_settings settings = log_file();
        if (each.standard_input) settings.log_file.clear();
        follow_step step(settings, -10.0);
        step.step(-10.0, bytes(rate_lines(16, each.before) + k_start + rate_lines(16, each.rate)),
                  nullptr);
        EXPECT_FALSE(step.step(-5.0, {}, nullptr).ended);
        EXPECT_FALSE(step.step(0.0, bytes("Error writing to file."), nullptr).ended);
        EXPECT_FALSE(step.step(1.0, bytes(each.after), nullptr).ended);
        const auto at = [&](double now_s) {
            log_news news;
            news.input_ended = each.input_ends_at_3 && now_s >= 3.0;
            return step.step(now_s, std::move(news), nullptr).ended;
        };
        EXPECT_FALSE(at(each.not_ended_at));
        if (each.ended_at >= 0) {
            EXPECT_TRUE(at(each.ended_at));
        }
    }
    // Without the final text a quiet log file is a run that pauses.
    follow_step step(log_file(), 0.0);
    step.step(0.0, bytes(rate_lines(8, "5.00") + k_start), nullptr);
    EXPECT_FALSE(step.step(10000.0, {}, nullptr).ended);
}

TEST(follow_step, a_log_is_foreign_when_none_of_its_lines_is_the_programs) {
    const struct {
        std::string log;
        bool whole, foreign;
    } cases[] = {
        {"", true, true},
        {"", false, false},
        {"make: all\nmake: done\n", true, true},
        {"make: all\nmake: done\n", false, false},
        {rate_lines(99, "x"), false, false},  // "x" is no rate: 99 foreign lines
        {rate_lines(100, "x"), false, true},
        {std::string(k_start), true, false},  // ended before any worker printed
        {rate_lines(150, "x") + k_start, false, false},
        {rate_lines(150, "x") + rate_lines(1, "1.00"), true, false},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(is_foreign_log(read_log(each.log), each.whole), each.foreign)
            << each.log.size() << " bytes, whole " << each.whole;
    }
}

// What is noted while following: each change of the log and the recording
// as it comes, each lasting condition once while it lasts, and every note
// given out once.
TEST(follow_step, notes_say_each_change_and_each_condition_once) {
    follow_settings settings = log_file(1.0);
    settings.file_name = "HelloWorld.m4v";
    follow_step step(settings, 0.0);
    recording_look failed;
    failed.change = e_file_failed;
    failed.error = "cannot read HelloWorld.m4v: Input/output error";
    recording_look failed_otherwise = failed;
    failed_otherwise.error = "cannot open HelloWorld.m4v: Permission denied";
    recording_look found;
    found.sample.state = e_recording_fragmented;
    found.notes = {"the recording's header: a box cut short"};
    recording_look missing;
    missing.change = e_file_missing;
    recording_look replaced = found;
    replaced.change = e_file_replaced;
    replaced.notes.clear();
    log_news cut = change(e_log_cut);
    cut.cut_to = 10;
    cut.had = 5000;
    const struct {
        log_news news;
        const recording_look* look;
        std::vector<std::string> notes;
    } steps[] = {
        {change(e_log_missing), nullptr, {"waiting for the log soak.log: no such file yet"}},
        {change(e_log_missing), &failed, {failed.error}},
        {change(e_log_opened), &failed, {"the log soak.log is there now"}},
        {bytes(rate_lines(100, "x")),
         &failed_otherwise,
         {"100 lines and none of them Harnvik's: is this its standard output?",
          failed_otherwise.error}},
        {bytes(rate_lines(100, "x")), &found, {"the recording's header: a box cut short"}},
        {change(e_log_opened), &failed, {failed.error}},
        {change(e_log_same), &missing, {}},
        {change(e_log_same), &failed, {failed.error}},
        {cut,
         &replaced,
         {"the log was cut to 10 bytes (it had 5000): read again from its start",
          "the recording was replaced by another file: read from its start"}},
        // The new log is doubted anew.
        {bytes(rate_lines(100, "x")),
         nullptr,
         {"100 lines and none of them Harnvik's: is this its standard output?"}},
        {change(e_log_unnamed),
         nullptr,
         {"the log's name soak.log is gone: the file still open is read"}},
        {change(e_log_replaced),
         nullptr,
         {"the log soak.log was replaced by another file: read from its start"}},
        {change(e_log_same), nullptr, {}},
    };
    double now_s = 0.0;
    for (const auto& each : steps) {
        SCOPED_TRACE(testing::Message() << "at " << now_s << " s");
        const follow_update update = step.step(now_s, each.news, each.look);
        EXPECT_EQ(update.noted, !each.notes.empty());
        EXPECT_EQ(step.take_notes(), each.notes);
        now_s += 1.0;
    }
    step.note("the metrics file cannot be written");
    EXPECT_EQ(step.take_notes(), std::vector<std::string>{"the metrics file cannot be written"});
    EXPECT_TRUE(step.take_notes().empty());
    // The view keeps the last twenty.
    for (int note = 0; note < 30; ++note) step.note(std::to_string(note));
    ASSERT_EQ(step.status().notes.size(), 20u);
    EXPECT_EQ(step.status().notes.front(), "10");
    EXPECT_EQ(step.take_notes().size(), 30u);
}

// An update, and with it a look at the recording, is due at the first step
// and then once per refresh; a look given between two is not taken.
TEST(follow_step, the_recording_is_looked_at_once_per_refresh) {
    follow_settings settings = log_file(2.0);
    settings.file_name = "HelloWorld.m4v";
    follow_step step(settings, 100.0);
    recording_look look;
    look.sample.state = e_recording_fragmented;
    look.sample.fragments = 1;
    const struct {
        double now_s;
        bool due;
        std::int64_t fragments;  // of the look given
    } steps[] = {{100.0, true, 1}, {101.0, false, 5}, {101.999, false, 6},
                 {102.0, true, 2}, {103.5, false, 7}, {104.1, true, 3}};
    for (const auto& each : steps) {
        EXPECT_EQ(step.due(each.now_s), each.due) << each.now_s;
        look.sample.fragments = each.fragments;
        EXPECT_EQ(step.step(each.now_s, {}, &look).refreshed, each.due) << each.now_s;
    }
    EXPECT_EQ(step.status().recording.fragments, 3);
}

// The room is the disk's free bytes, or those below the size limit where
// fewer, told with whose limit it is.
TEST(follow_step, the_room_is_the_disks_or_below_the_limit_where_less) {
    const struct {
        std::int64_t free_bytes, limit, file_bytes;
        e_limit_owner owner;
        std::int64_t room;
        bool is_limit;
        std::int64_t writer;
    } cases[] = {
        {1000, -1, 400, e_limit_of_writer, 1000, false, 77},
        {1000, 1500, 400, e_limit_of_writer, 1000, false, 77},  // 1100 below the limit
        {1000, 1400, 400, e_limit_of_writer, 1000, false, 77},  // as much: the disk's
        {1000, 1399, 400, e_limit_of_writer, 999, true, 77},
        {1000, 300, 400, e_limit_of_follower, 0, true, 0},  // past it: none left
        {-1, 5000, 400, e_limit_of_follower, 4600, true, 0},
        {-1, -1, 400, e_limit_of_follower, -1, false, 0},
    };
    for (const auto& each : cases) {
        recording_look look;
        look.free_bytes = each.free_bytes;
        look.size_limit = each.limit;
        look.limit_owner = each.owner;
        look.writer = 77;
        recording_sample sample;
        sample.file_bytes = each.file_bytes;
        take_room(sample, look);
        EXPECT_EQ(sample.room_bytes, each.room) << each.free_bytes << " free, limit " << each.limit;
        EXPECT_EQ(sample.room_is_limit, each.is_limit) << each.limit;
        EXPECT_EQ(sample.limit_owner, each.owner);
        EXPECT_EQ(sample.writer, each.writer);
    }
}

// The status the view shows follows the log: lines, phase, the newest
// line's age on the step's clock, and a new log starts from nothing.
TEST(follow_step, the_status_follows_the_log_on_the_steps_clock) {
    follow_step step(log_file(), 0.0);
    EXPECT_TRUE(step.step(0.0, bytes(rate_lines(8, "4.00")), nullptr).new_lines);
    EXPECT_FALSE(step.step(1.0, bytes("make: noise\n"), nullptr).new_lines);
    step.step(2.0, bytes(k_start), nullptr);
    const live_status& status = step.status();
    EXPECT_EQ(status.lines, 10);
    EXPECT_EQ(status.rate_lines, 8);
    EXPECT_EQ(status.foreign_lines, 1);
    EXPECT_TRUE(status.started);
    EXPECT_FALSE(status.ended);
    step.step(5.5, {}, nullptr);
    EXPECT_EQ(status.since_newest_line_s, 5.5);
    EXPECT_EQ(status.since_start_text_s, 3.5);
    EXPECT_EQ(status.median_before, 4.0);
    step.step(6.0, change(e_log_replaced), nullptr);
    EXPECT_EQ(status.lines, 0);
    EXPECT_FALSE(status.started);
    EXPECT_TRUE(std::isnan(status.median_before));
    EXPECT_TRUE(std::isnan(status.since_newest_line_s));
    step.step(7.0, bytes(rate_lines(2, "6.00") + k_start + "Error recording file."), nullptr);
    EXPECT_TRUE(status.ended);
    EXPECT_EQ(step.finish().outcome, e_outcome_open_failed);
}

}  // namespace
