#include "render/metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <sstream>
#include <string>

namespace {

using namespace Harnvik::Report;

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

// The samples of a metrics text, "name{labels}" to the value as written,
// after checking that each family's HELP and TYPE lines come first.
std::map<std::string, std::string> samples_of(const std::string& text) {
    std::map<std::string, std::string> samples;
    std::istringstream lines(text);
    std::string line;
    std::string family;
    int described = 0;  // HELP and TYPE lines of the family so far
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            described = 1;
            continue;
        }
        if (line.rfind("# TYPE " + family + " ", 0) == 0) {
            const std::string type = line.substr(8 + family.size());
            EXPECT_EQ(type, family.ends_with("_total") ? "counter" : "gauge") << line;
            EXPECT_EQ(described++, 1) << line;
            continue;
        }
        EXPECT_EQ(described, 2) << "a sample before its family's HELP and TYPE: " << line;
        EXPECT_EQ(line.rfind(family, 0), 0u) << line;
        const std::size_t space = line.rfind(' ');
        samples[line.substr(0, space)] = line.substr(space + 1);
    }
    return samples;
}

live_status running() {
    live_status status;
    status.latest.fill(k_nan);
    status.latest[0] = 6.5;
    status.latest[3] = std::numeric_limits<double>::infinity();
    status.median_before = 8.0;
    status.median_since = 6.0;
    status.started = true;
    status.lines = 321;
    status.foreign_lines = 2;
    status.has_file = true;
    status.file_name = "HelloWorld.m4v";
    status.recording.state = e_recording_fragmented;
    status.recording.file_bytes = 15000000;
    status.recording.room_bytes = 1048576;
    complete_status(status);
    status.media_s = 25.08;
    status.bit_rate = 4970000.0;
    status.real_time_factor = 1.2;
    status.ends_in_s = 1.5;
    return status;
}

TEST(metrics, the_live_figures_in_base_units_with_the_files_and_the_labs_labels) {
    const std::string text =
        format_metrics(live_figures(running(), 1796913463.5), "HelloWorld.m4v", {{"role", "gen3"}});
    const std::map<std::string, std::string> samples = samples_of(text);
    const std::string labels = "role=\"gen3\",file=\"HelloWorld.m4v\"";
    const std::pair<std::string, std::string> expected[] = {
        {"harnvik_worker_copy_rate_bytes_per_second{" + labels + ",worker=\"0\"}", "6979321856"},
        {"harnvik_worker_copy_rate_bytes_per_second{" + labels + ",worker=\"3\"}", "+Inf"},
        {"harnvik_worker_copy_rate_bytes_per_second{" + labels + ",worker=\"7\"}", "NaN"},
        {"harnvik_copy_rate_median_bytes_per_second{" + labels + ",period=\"before_start\"}",
         "8589934592"},
        {"harnvik_copy_rate_median_bytes_per_second{" + labels + ",period=\"since_start\"}",
         "6442450944"},
        {"harnvik_copy_rate_drop_ratio{" + labels + "}", "0.25"},
        {"harnvik_soak_phase{" + labels + ",phase=\"pause\"}", "0"},
        {"harnvik_soak_phase{" + labels + ",phase=\"recording\"}", "1"},
        {"harnvik_soak_phase{" + labels + ",phase=\"ended\"}", "0"},
        {"harnvik_media_safe_seconds{" + labels + "}", "25.08"},
        {"harnvik_file_size_bytes{" + labels + "}", "15000000"},
        {"harnvik_media_rate_bytes_per_second{" + labels + "}", "621250"},
        {"harnvik_real_time_ratio{" + labels + "}", "1.2"},
        {"harnvik_room_left_bytes{" + labels + "}", "1048576"},
        {"harnvik_time_left_seconds{" + labels + "}", "1.5"},
        {"harnvik_log_lines_total{" + labels + "}", "321"},
        {"harnvik_log_foreign_lines_total{" + labels + "}", "2"},
        {"harnvik_soak_outcome{" + labels + ",outcome=\"ordinary_mp4\"}", "0"},
        {"harnvik_soak_outcome{" + labels + ",outcome=\"open_failed\"}", "0"},
        {"harnvik_metrics_updated_timestamp_seconds{" + labels + "}", "1796913463.5"},
    };
    for (const auto& [name, value] : expected) {
        const auto found = samples.find(name);
        ASSERT_NE(found, samples.end()) << name << " is not in\n" << text;
        EXPECT_EQ(found->second, value) << name;
    }
    EXPECT_EQ(samples.size(), 27u) << text;
}

TEST(metrics, label_values_are_escaped_and_a_soak_without_a_file_has_no_file_label) {
    live_status status;
    complete_status(status);
    const std::string text =
        format_metrics(live_figures(status, 0.0), "", {{"build", "a\\b \"c\"\nd\re"}});
    const std::map<std::string, std::string> samples = samples_of(text);
    EXPECT_EQ(
        samples.count("harnvik_soak_phase{build=\"a\\\\b \\\"c\\\"\\nd\re\",phase=\"pause\"}"), 1u)
        << text;
    EXPECT_EQ(samples.at("harnvik_file_size_bytes{build=\"a\\\\b \\\"c\\\"\\nd\re\"}"), "NaN");
    EXPECT_EQ(format_metrics(live_figures(status, 0.0), "", {}).find('{'),
              format_metrics(live_figures(status, 0.0), "", {}).find("{worker="));
}

// The phase and the outcome, each a set of states of which exactly one is
// 1 (none for an outcome not known).
TEST(metrics, the_phase_and_the_outcome_of_a_report) {
    const struct {
        const char* label;
        const char* log;
        bool over, file_given, has_media;
        e_layout layout;
        const char* phase;
        const char* outcome;  // null: none
    } cases[] = {
        {"a log of the pause", "Thread 0, memcpy = 1.00Gb/s\n", false, true, false,
         e_layout_no_index, "pause", nullptr},
        {"recording, not over", "Starting to record\n", false, true, true, e_layout_fragmented,
         "recording", nullptr},
        {"cut off, over", "Starting to record\n", true, true, true, e_layout_fragmented, "ended",
         "fragmented"},
        {"finished", "Starting to record\nError writing to file.", true, true, true,
         e_layout_ordinary, "ended", "ordinary_mp4"},
        {"the final text ends it", "Starting to record\nError writing to file.", false, true, true,
         e_layout_ordinary, "ended", "ordinary_mp4"},
        {"no file to read", "Starting to record\nError writing to file.", true, true, false,
         e_layout_no_index, "ended", "no_file"},
        {"a file without an index", "Starting to record\nError writing to file.", true, true, true,
         e_layout_no_index, "ended", "no_file"},
        {"the open failed", "Starting to record\nError recording file.", true, true, false,
         e_layout_no_index, "ended", "open_failed"},
        {"no file asked about", "Starting to record\nError writing to file.", true, false, false,
         e_layout_no_index, "ended", nullptr},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        report run;
        std::string log = each.log;
        const std::size_t start = log.find("Starting to record\n");
        if (start != std::string::npos) log.replace(start, 18, k_start_text);
        run.log = read_log(log);
        run.has_media = each.has_media;
        run.media.layout.kind = each.layout;
        complete(run);
        const std::map<std::string, std::string> samples =
            samples_of(format_metrics(final_figures(run, each.over, each.file_given, 0.0), "", {}));
        int phases = 0;
        int outcomes = 0;
        for (const auto& [name, value] : samples) {
            if (name.rfind("harnvik_soak_phase{", 0) == 0) {
                phases += value == "1";
                EXPECT_EQ(value == "1",
                          name.find(std::string("\"") + each.phase + "\"") != std::string::npos)
                    << name;
            }
            if (name.rfind("harnvik_soak_outcome{", 0) == 0) {
                outcomes += value == "1";
                EXPECT_EQ(value == "1", each.outcome != nullptr &&
                                            name.find(std::string("\"") + each.outcome + "\"") !=
                                                std::string::npos)
                    << name;
            }
        }
        EXPECT_EQ(phases, 1);
        EXPECT_EQ(outcomes, each.outcome != nullptr ? 1 : 0);
    }
}

}  // namespace
