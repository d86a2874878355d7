#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "core/log_reader.h"
#include "core/report.h"
#include "render/json_output.h"
#include "render/progress.h"
#include "render/summary_table.h"

namespace {

using namespace Harnvik::Report;

report sample_run() {
    report run;
    run.log_name = "soak.log";
    run.log = read_log(
        "Thread 0, memcpy = 8.00Gb/s\nwarning: \x01 odd\n"
        "Starting to record to disk using Intel Media SDK ...\n"
        "Thread 0, memcpy = 6.00Gb/s\nError writing to file.Thread 0, memcpy = 6.");
    complete(run);
    return run;
}

TEST(summary_table, rows_foreign_lines_and_outcome) {
    const std::string table = format_table(sample_run());
    EXPECT_NE(table.find("Harnvik run: soak.log\n"), std::string::npos) << table;
    EXPECT_NE(table.find("5 lines: 2 rate lines, 1 foreign"), std::string::npos) << table;
    EXPECT_NE(table.find("foreign line 2: warning: \\x01 odd\n"), std::string::npos) << table;
    EXPECT_NE(table.find("last line 5 cut short: Thread 0, memcpy = 6."), std::string::npos)
        << table;
    EXPECT_NE(table.find("recorded until a write failed; start text at line 3, final text at "
                         "line 5"),
              std::string::npos)
        << table;
    // Worker 0 fell from 8 to 6 GiB/s: 25 %. A silent worker shows dashes.
    EXPECT_NE(table.find("0             2      1     6.00     7.00     8.00     6.00       2.8"
                         "     8.00     6.00    25.0\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("7             0      0        -        -        -        -       0.0"
                         "        -        -       -\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("1 of 8 workers printed rate lines, 1 of 8 after the start text."),
              std::string::npos);
    EXPECT_NE(table.find("real-time  - (no file given)"), std::string::npos) << table;
}

TEST(json_output, figures_that_do_not_exist_are_null) {
    report run = sample_run();
    run.has_media = true;
    run.media.file = "a.m4v";
    run.media.bytes_per_second = {625000, 312500};
    const std::string json = format_json(run);
    EXPECT_NE(json.find("\"outcome\":\"write_failed\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"cut_last_line\":{\"line\":5,\"text\":\"Thread 0, memcpy = 6.\"}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"worker\":7,\"lines\":0,\"infinite_lines\":0,\"lines_after_start\":0,"
                        "\"min_rate_gib_s\":null"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"bits_per_second\":[5000000,2500000]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"real_time_factor\":null}"), std::string::npos) << json;
    for (const char* not_json : {":nan", ":-nan", ":inf", ":-inf", "Infinity", "NaN"}) {
        EXPECT_EQ(json.find(not_json), std::string::npos) << not_json;
    }
}

TEST(summary_table, the_files_layout_in_the_table_and_the_json) {
    report run = sample_run();
    run.has_media = true;
    run.media.file = "a.m4v";
    const auto layout_of = [&run]() {
        return nlohmann::json::parse(format_json(run))["file"]["layout"];
    };
    EXPECT_TRUE(layout_of().is_null());
    EXPECT_EQ(format_table(run).find("layout"), std::string::npos);

    box_layout& layout = run.media.layout;
    layout.read = true;
    layout.kind = e_layout_ordinary;
    layout.boxes = 4;
    EXPECT_NE(format_table(run).find(
                  "\nlayout     ordinary MP4: one index (moov) of every sample, no fragments\n"),
              std::string::npos)
        << format_table(run);
    EXPECT_EQ(layout_of(), nlohmann::json::parse(R"({"kind":"ordinary","fragments":0,"boxes":4,
        "problem":null,"header_length_s":null,"header_agrees":null,"header_length_note":null})"));
    EXPECT_EQ(format_table(run).find("\nlength "), std::string::npos) << format_table(run);

    layout.kind = e_layout_fragmented;
    layout.fragments = 13;
    layout.boxes = 28;
    layout.problem = "box 'mdat' at byte 900 claims 80 bytes";
    EXPECT_NE(format_table(run).find("\nlayout     fragmented MP4: an index of the tracks, then 13 "
                                     "fragments (moof + mdat); box 'mdat' at byte 900 claims 80 "
                                     "bytes\n"),
              std::string::npos)
        << format_table(run);
    EXPECT_EQ(layout_of()["kind"], "fragmented");
    EXPECT_EQ(layout_of()["fragments"], 13);
    EXPECT_EQ(layout_of()["problem"], layout.problem);
}

// A fragmented file's length as its header tells it, against what its
// fragments hold: in agreement within 0.05 s, shorter (what a power loss may
// leave), longer (never right), or none at all.
TEST(summary_table, the_headers_length_against_what_the_fragments_hold) {
    report run = sample_run();
    run.has_media = true;
    run.media.file = "a.m4v";
    run.media.duration_s = 6.0;
    box_layout& layout = run.media.layout;
    layout.read = true;
    layout.kind = e_layout_fragmented;
    layout.fragments = 6;
    layout.has_header_length = true;
    const struct {
        double header_s;
        e_header_fit fit;
        const char* line;
        nlohmann::json agrees;
    } cases[] = {
        {6.0, e_header_fit_agrees, "the header tells 6.000 s; its fragments hold 6.000 s\n", true},
        // Binary fractions either side of the tolerance, so that neither the
        // comparison nor the printed digits depend on rounding.
        {6.046875, e_header_fit_agrees, "the header tells 6.047 s; its fragments hold 6.000 s\n",
         true},
        {5.953125, e_header_fit_agrees, "the header tells 5.953 s; its fragments hold 6.000 s\n",
         true},
        {5.94921875, e_header_fit_shorter,
         "the header tells 5.949 s; its fragments hold 6.000 s: it tells 0.051 s less (a fragment "
         "completed as power was lost?)\n",
         false},
        {6.05078125, e_header_fit_longer,
         "the header tells 6.051 s; its fragments hold 6.000 s: it tells 0.051 s more, which is "
         "never right\n",
         false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.line);
        layout.header_length_s = each.header_s;
        EXPECT_EQ(header_fit(run.media), each.fit);
        const std::string table = format_table(run);
        EXPECT_NE(
            table.find("\nlayout     fragmented MP4: an index of the tracks, then 6 fragments "
                       "(moof + mdat)\nlength     " +
                       std::string(each.line)),
            std::string::npos)
            << table;
        const nlohmann::json json = nlohmann::json::parse(format_json(run))["file"]["layout"];
        EXPECT_EQ(json["header_length_s"], each.header_s);
        EXPECT_EQ(json["header_agrees"], each.agrees);
        EXPECT_TRUE(json["header_length_note"].is_null());
    }

    layout.has_header_length = false;
    layout.header_length_note = "no movie extends header (mehd) in the fragments' header (mvex)";
    EXPECT_EQ(header_fit(run.media), e_header_fit_none);
    EXPECT_NE(format_table(run).find("\nlength     the header tells none (no movie extends header "
                                     "(mehd) in the fragments' header (mvex)); its fragments hold "
                                     "6.000 s\n"),
              std::string::npos)
        << format_table(run);
    const nlohmann::json json = nlohmann::json::parse(format_json(run))["file"]["layout"];
    EXPECT_TRUE(json["header_length_s"].is_null());
    EXPECT_TRUE(json["header_agrees"].is_null());
    EXPECT_EQ(json["header_length_note"], layout.header_length_note);
}

// Any bytes in a foreign line give a document that a strict parser takes,
// with U+FFFD where the bytes are not UTF-8.
TEST(json_output, foreign_lines_with_any_bytes_stay_valid_json) {
    const struct {
        std::string line;
        std::string text;  // as the JSON gives it back
    } cases[] = {
        {"a \"b\" \\ c", "a \"b\" \\ c"},
        {std::string("\x01\t\x1f\x7f|\0", 6), std::string("\x01\t\x1f\x7f|\0", 6)},
        {"gr\xc3\xbc\xc3\x9f \xe6\x96\x87 \xf0\x9f\x98\x80",
         "gr\xc3\xbc\xc3\x9f \xe6\x96\x87 \xf0\x9f\x98\x80"},
        // A lone continuation byte, an overlong form, a surrogate, bytes that
        // never start UTF-8: one U+FFFD each.
        {"\x80|\xc0\xaf|\xed\xa0\x80|\xff\xfe",
         "\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|"
         "\xef\xbf\xbd\xef\xbf\xbd"},
        // A sequence cut short, in the middle and at the very end.
        {"\xe6\x96|\xf0", "\xef\xbf\xbd|\xef\xbf\xbd"},
    };
    for (const auto& each : cases) {
        report run;
        run.log = read_log("Thread 0, memcpy = 8.00Gb/s\n" + each.line + "\n");
        complete(run);
        const std::string json = format_json(run);
        nlohmann::json document;
        ASSERT_NO_THROW(document = nlohmann::json::parse(json)) << json;
        ASSERT_EQ(document["log"]["foreign"].size(), 1u) << json;
        EXPECT_EQ(document["log"]["foreign"][0]["text"].get<std::string>(), each.text) << json;
    }
}

// Each way a recording can end has its own words in the table and its own
// name in the JSON, read from the log that run leaves.
TEST(summary_table, each_outcome_in_its_own_words) {
    const std::string start = std::string(k_start_text) + "\n";
    const std::string rate = "Thread 0, memcpy = 8.00Gb/s\n";
    const struct {
        std::string log;
        e_outcome outcome;
        const char* text;
        const char* name;
    } cases[] = {
        {rate, e_outcome_not_started,
         "recording  not started: the log ends before the start text\n", "not_started"},
        {rate + start + std::string(k_open_failure_text) + rate, e_outcome_open_failed,
         "recording  the file could not be opened; start text at line 2, final text at line 3\n",
         "open_failed"},
        {rate + start + std::string(k_write_failure_text) + rate, e_outcome_write_failed,
         "recording  recorded until a write failed; start text at line 2, final text at line 3\n",
         "write_failed"},
        {rate + start + rate, e_outcome_cut_off,
         "recording  cut off: the log ends without a final text; start text at line 2\n",
         "cut_off"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        report run;
        run.log = read_log(each.log);
        ASSERT_EQ(run.log.outcome, each.outcome);
        complete(run);
        const std::string table = format_table(run);
        EXPECT_NE(table.find(each.text), std::string::npos) << table;
        EXPECT_EQ(nlohmann::json::parse(format_json(run))["recording"]["outcome"], each.name);
    }
}

// The table's bit-rate spread over the media's whole seconds, the last one
// included when the media fills it.
TEST(summary_table, the_bit_rate_spread_counts_the_last_whole_second) {
    report run = sample_run();
    run.has_media = true;
    run.media.file = "a.m4v";
    run.media.duration_s = 3.0;
    run.media.bytes_per_second = {500000, 625000, 750000};
    EXPECT_NE(format_table(run).find("per second min 4.00, median 5.00, max 6.00 Mbit/s"),
              std::string::npos)
        << format_table(run);
    run.media.duration_s = 2.5;
    EXPECT_NE(format_table(run).find("per second min 4.00, median 4.50, max 5.00 Mbit/s"),
              std::string::npos)
        << format_table(run);
}

// What a terminal's line shows of the bytes written to it: a carriage
// return goes back to the line's start, every other byte overwrites.
std::string shown_line(const std::string& bytes) {
    std::string line;
    std::size_t column = 0;
    for (const char c : bytes) {
        if (c == '\r') {
            column = 0;
            continue;
        }
        if (column == line.size()) line += ' ';
        line[column++] = c;
    }
    return line;
}

TEST(progress_bar, is_drawn_in_place_and_its_clear_leaves_a_blank_line) {
    for (const double share : {0.0, 0.5, 1.0, 7.0}) {
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        progress_bar bar(out);
        bar.show(share / 2);
        bar.show(share);
        std::fflush(out);
        const long drawn = std::ftell(out);
        bar.finish();
        std::string bytes(static_cast<std::size_t>(std::ftell(out)), '\0');
        std::rewind(out);
        ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), out), bytes.size());
        std::fclose(out);
        const std::string before = shown_line(bytes.substr(0, static_cast<std::size_t>(drawn)));
        EXPECT_EQ(before, "decoding " + progress_line(share, 40)) << share;
        EXPECT_EQ(shown_line(bytes).find_first_not_of(' '), std::string::npos)
            << "after the clear: '" << shown_line(bytes) << "'";
    }
}

}  // namespace
