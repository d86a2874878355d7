#include <gtest/gtest.h>

#include <string>

#include "json_output.h"
#include "log_reader.h"
#include "report.h"
#include "summary_table.h"

namespace {

using namespace Harnvik::Report;

TEST(json_output, strings_stay_valid_json_whatever_the_log_holds) {
    EXPECT_EQ(json_string("a \"b\" \\ c"), "\"a \\\"b\\\" \\\\ c\"");
    EXPECT_EQ(json_string(std::string("\0\x01\t\x1f", 4)), "\"\\u0000\\u0001\\u0009\\u001f\"");
    EXPECT_EQ(json_string("gr\xc3\xbc\xc3\x9f \xe6\x96\x87 \xf0\x9f\x98\x80"),
              "\"gr\xc3\xbc\xc3\x9f \xe6\x96\x87 \xf0\x9f\x98\x80\"");
    // Bytes that are not UTF-8: a lone continuation, a cut sequence, an
    // overlong form, a surrogate, and a lead byte at the very end.
    EXPECT_EQ(json_string("\x80|\xe6\x96|\xc0\xaf|\xed\xa0\x80|\xf0"),
              "\"\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\"");
}

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

}  // namespace
