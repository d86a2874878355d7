#include "core/log_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using namespace Harnvik::Report;

const std::string k_start = std::string(k_start_text) + "\n";

std::string rate(int worker, const char* value, const char* end = "\n") {
    return "Thread " + std::to_string(worker) + ", memcpy = " + value + "Gb/s" + end;
}

// A whole run as a pipe delivers it: rate lines, the start text, more rate
// lines, the final text without a line end and the lines that follow it.
std::string whole_run(const char* end) {
    std::string log;
    for (int worker = 0; worker < k_worker_count; ++worker) log += rate(worker, "11.42", end);
    log += std::string(k_start_text) + end;
    log += rate(3, "7.05", end) + rate(0, "inf", end);
    log += std::string(k_write_failure_text) + rate(5, "6.50", end) + rate(6, "6.25", end);
    return log;
}

void expect_same(const log_facts& a, const log_facts& b) {
    EXPECT_EQ(a.lines, b.lines);
    EXPECT_EQ(a.crlf_lines, b.crlf_lines);
    EXPECT_EQ(a.start_line, b.start_line);
    EXPECT_EQ(a.end_line, b.end_line);
    EXPECT_EQ(a.outcome, b.outcome);
    EXPECT_EQ(a.foreign_count, b.foreign_count);
    EXPECT_EQ(a.cut_last_line, b.cut_last_line);
    for (int worker = 0; worker < k_worker_count; ++worker) {
        const auto& x = a.workers[static_cast<std::size_t>(worker)];
        const auto& y = b.workers[static_cast<std::size_t>(worker)];
        ASSERT_EQ(x.size(), y.size()) << "worker " << worker;
        for (std::size_t i = 0; i < x.size(); ++i) {
            EXPECT_EQ(x[i].line, y[i].line);
            EXPECT_EQ(x[i].rate, y[i].rate);
            EXPECT_EQ(x[i].phase, y[i].phase);
        }
    }
}

TEST(log_reader, whole_run_with_lines_after_the_final_text) {
    const log_facts facts = read_log(whole_run("\n"));
    EXPECT_EQ(facts.lines, 13);
    EXPECT_EQ(facts.rate_lines(), 12);
    EXPECT_EQ(facts.start_line, 9);
    EXPECT_EQ(facts.end_line, 12);
    EXPECT_EQ(facts.outcome, e_outcome_write_failed);
    EXPECT_EQ(facts.foreign_count, 0);
    EXPECT_FALSE(facts.cut_last_line);

    ASSERT_EQ(facts.workers[3].size(), 2u);
    EXPECT_EQ(facts.workers[3][0].phase, e_phase_before_start);
    EXPECT_DOUBLE_EQ(facts.workers[3][0].rate, 11.42);
    EXPECT_EQ(facts.workers[3][1].phase, e_phase_recording);
    EXPECT_DOUBLE_EQ(facts.workers[3][1].rate, 7.05);
    EXPECT_EQ(facts.workers[3][1].line, 10);
    ASSERT_EQ(facts.workers[0].size(), 2u);
    EXPECT_TRUE(std::isinf(facts.workers[0][1].rate));
    // The first line after the final text shares its line.
    ASSERT_EQ(facts.workers[5].size(), 2u);
    EXPECT_EQ(facts.workers[5][1].line, 12);
    EXPECT_EQ(facts.workers[5][1].phase, e_phase_after_end);
    EXPECT_EQ(facts.workers[6][1].phase, e_phase_after_end);
}

TEST(log_reader, crlf_line_ends_read_like_lf) {
    const log_facts lf = read_log(whole_run("\n"));
    log_facts crlf = read_log(whole_run("\r\n"));
    EXPECT_EQ(crlf.crlf_lines, 13);
    crlf.crlf_lines = 0;
    expect_same(crlf, lf);
}

TEST(log_reader, any_block_sizes_give_the_same_facts) {
    const std::string log = whole_run("\r\n") + "not ours\n" + "Thread 2, memcpy = 3.1";
    const log_facts whole = read_log(log);
    ASSERT_TRUE(whole.cut_last_line);
    for (std::size_t split = 1; split < log.size(); ++split) {
        log_reader reader;
        reader.feed(log.substr(0, split));
        reader.feed(log.substr(split));
        SCOPED_TRACE(split);
        expect_same(reader.finish(), whole);
    }
    log_reader bytes;
    for (const char c : log) bytes.feed(std::string_view(&c, 1));
    expect_same(bytes.finish(), whole);
}

// A line longer than any of the program's is kept in part; the part must
// not depend on where the blocks split it, nor lose its CR.
TEST(log_reader, long_lines_read_the_same_in_any_blocks) {
    const std::string log = std::string(5000, 'x') + "\r\n" + std::string(4097, 'y') + "\r\n" +
                            rate(1, "5.00", "\r\n") + std::string(4097, 'z') + "\n";
    const log_facts whole = read_log(log);
    EXPECT_EQ(whole.lines, 4);
    EXPECT_EQ(whole.crlf_lines, 3);
    EXPECT_EQ(whole.foreign_count, 3);
    ASSERT_EQ(whole.foreign.size(), 3u);
    EXPECT_EQ(whole.foreign[1].text, std::string(200, 'y'));
    EXPECT_EQ(whole.rate_lines(), 1);
    for (const std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
        log_reader reader;
        for (std::size_t at = 0; at < log.size(); at += block) reader.feed(log.substr(at, block));
        SCOPED_TRACE(block);
        const log_facts facts = reader.finish();
        expect_same(facts, whole);
        for (std::size_t i = 0; i < whole.foreign.size(); ++i) {
            EXPECT_EQ(facts.foreign[i].text, whole.foreign[i].text);
        }
    }
}

TEST(log_reader, cut_last_line) {
    // A rate line cut inside its number, its text or its final decimal.
    for (const std::string& cut :
         {std::string("Thread 1, memcpy = 5.2"), std::string("Thread 1, mem"),
          std::string("Thread 1, memcpy = in"), rate(1, "5.25", "").substr(0, 25)}) {
        SCOPED_TRACE(cut);
        const log_facts facts = read_log(rate(0, "5.00") + k_start + cut);
        EXPECT_TRUE(facts.cut_last_line);
        EXPECT_EQ(facts.cut_line.line, 3);
        EXPECT_EQ(facts.foreign_count, 0);
        EXPECT_EQ(facts.rate_lines(), 1);
        EXPECT_EQ(facts.outcome, e_outcome_cut_off);
    }
    // Cut inside the start text or the final text.
    log_facts facts = read_log(rate(0, "5.00") + "Starting to rec");
    EXPECT_TRUE(facts.cut_last_line);
    EXPECT_EQ(facts.outcome, e_outcome_not_started);
    facts = read_log(rate(0, "5.00") + k_start + "Error writ");
    EXPECT_TRUE(facts.cut_last_line);
    EXPECT_EQ(facts.outcome, e_outcome_cut_off);
    // A whole line without a line end is not cut, nor the final text alone.
    for (const char* end : {"", "\r"}) {
        facts = read_log(k_start + rate(0, "5.00", end));
        EXPECT_FALSE(facts.cut_last_line);
        EXPECT_EQ(facts.rate_lines(), 1);
    }
    facts = read_log(k_start + std::string(k_open_failure_text));
    EXPECT_FALSE(facts.cut_last_line);
    EXPECT_EQ(facts.outcome, e_outcome_open_failed);
    // A prefix of a program line inside the log is foreign, not cut.
    facts = read_log("Thread 1, mem\n" + rate(0, "5.00"));
    EXPECT_FALSE(facts.cut_last_line);
    EXPECT_EQ(facts.foreign_count, 1);
}

// Under Wine the C runtime can write its last output buffer a second time as
// the process ends. Whatever byte the buffer starts at, the log reads as
// though it had come once, in any block sizes.
TEST(log_reader, last_buffer_written_twice_is_read_once) {
    const std::string once = whole_run("\r\n") + "Thread 2, memcpy = 3.1";
    const log_facts expected = read_log(once);
    ASSERT_TRUE(expected.cut_last_line);
    const std::size_t final_at = once.find(k_write_failure_text);
    for (const std::size_t from : {final_at, final_at - 1, final_at - 7, final_at - 40,
                                   std::size_t{0}, final_at + 3 /* mid final text */}) {
        SCOPED_TRACE(from);
        const std::string twice = once + once.substr(from);
        const bool repeats_final_text = from <= final_at;
        const log_facts facts = read_log(twice);
        if (!repeats_final_text) {
            // Without the final text in it, a repeat cannot be told from the log.
            EXPECT_EQ(facts.repeated_tail_bytes, 0);
            continue;
        }
        EXPECT_EQ(facts.repeated_tail_bytes, static_cast<std::int64_t>(once.size() - from));
        expect_same(facts, expected);
        EXPECT_EQ(facts.cut_line.text, expected.cut_line.text);
        for (const std::size_t split :
             {std::size_t{1}, final_at, final_at + 5, once.size(), twice.size() - 1}) {
            log_reader reader;
            reader.feed(std::string_view(twice).substr(0, split));
            reader.feed(std::string_view(twice).substr(split));
            expect_same(reader.finish(), expected);
        }
    }
    // A tail that ends in the final text and nothing after it.
    const std::string short_run = k_start + std::string(k_open_failure_text);
    log_facts facts = read_log(short_run + std::string(k_open_failure_text));
    EXPECT_EQ(facts.repeated_tail_bytes, static_cast<std::int64_t>(k_open_failure_text.size()));
    EXPECT_EQ(facts.foreign_count, 0);
    EXPECT_EQ(facts.outcome, e_outcome_open_failed);
    // The final text again, but not the same bytes again: foreign, as before.
    facts = read_log(whole_run("\n") + std::string(k_write_failure_text) + rate(5, "6.51"));
    EXPECT_EQ(facts.repeated_tail_bytes, 0);
    EXPECT_EQ(facts.foreign_count, 1);
    EXPECT_EQ(facts.rate_lines(), 12);
}

TEST(log_reader, foreign_lines_are_counted_with_their_numbers) {
    const std::string log = "make: entering directory\n" + rate(8, "5.00") + rate(1, "5.0") +
                            rate(1, "5.000") + " " + rate(1, "5.00") + rate(1, "-5.00") +
                            rate(1, "5.00", " \n") + std::string(k_write_failure_text) + "\n" +
                            k_start + k_start + std::string("\0\x01", 2) + "\n\n" +
                            rate(1, "5.00") + std::string(k_write_failure_text) + "junk\n" +
                            std::string(k_open_failure_text) + "\n";
    const log_facts facts = read_log(log);
    EXPECT_EQ(facts.rate_lines(), 1);
    EXPECT_EQ(facts.outcome, e_outcome_write_failed);
    EXPECT_EQ(facts.start_line, 9);
    EXPECT_EQ(facts.end_line, 14);
    EXPECT_EQ(facts.foreign_count, 13);
    ASSERT_EQ(facts.foreign.size(), 13u);
    const std::int64_t lines[] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 14, 15};
    for (std::size_t i = 0; i < 13; ++i) EXPECT_EQ(facts.foreign[i].line, lines[i]) << i;
    EXPECT_EQ(facts.foreign[0].text, "make: entering directory");
    EXPECT_EQ(facts.foreign[7].text, std::string(k_write_failure_text));  // before the start
    EXPECT_EQ(facts.foreign[8].text, std::string(k_start_text));          // a second start text
    EXPECT_EQ(facts.foreign[9].text, std::string("\0\x01", 2));
    EXPECT_EQ(facts.foreign[11].text, "junk");  // what follows the final text on its line
    EXPECT_EQ(facts.foreign[12].text, std::string(k_open_failure_text));  // a second final text
}

TEST(log_reader, many_and_long_foreign_lines_are_bounded) {
    std::string log = rate(0, "5.00");
    for (int i = 0; i < 100; ++i) log += "noise " + std::to_string(i) + "\n";
    log += std::string(100000, 'x') + "\n" + rate(1, "4.00");
    log += std::string(100000, 'y');  // no line end at all
    const log_facts facts = read_log(log);
    EXPECT_EQ(facts.foreign_count, 102);
    EXPECT_EQ(facts.foreign.size(), k_foreign_lines_kept);
    EXPECT_EQ(facts.rate_lines(), 2);
    EXPECT_EQ(facts.workers[1][0].line, 103);
    EXPECT_FALSE(facts.cut_last_line);
    EXPECT_EQ(facts.lines, 104);
}

TEST(log_reader, empty_and_rate_free_logs) {
    log_facts facts = read_log("");
    EXPECT_EQ(facts.lines, 0);
    EXPECT_EQ(facts.rate_lines(), 0);
    EXPECT_EQ(facts.outcome, e_outcome_not_started);
    facts = read_log("\n\r\n");
    EXPECT_EQ(facts.lines, 2);
    EXPECT_EQ(facts.foreign_count, 2);
    EXPECT_EQ(facts.rate_lines(), 0);
}

TEST(log_reader, rate_values) {
    std::int32_t worker = -1;
    double value = 0.0;
    ASSERT_TRUE(parse_rate_line("Thread 7, memcpy = 123456789.99Gb/s", worker, value));
    EXPECT_EQ(worker, 7);
    EXPECT_DOUBLE_EQ(value, 123456789.99);
    ASSERT_TRUE(parse_rate_line("Thread 0, memcpy = 0.00Gb/s", worker, value));
    EXPECT_EQ(value, 0.0);
    ASSERT_TRUE(parse_rate_line("Thread 2, memcpy = infGb/s", worker, value));
    EXPECT_TRUE(std::isinf(value));
    EXPECT_FALSE(parse_rate_line("Thread 2, memcpy = nanGb/s", worker, value));
    EXPECT_FALSE(parse_rate_line("Thread 2, memcpy = 1234567890123456.00Gb/s", worker, value));
    EXPECT_FALSE(parse_rate_line("Thread 2, memcpy = .50Gb/s", worker, value));
}

}  // namespace
