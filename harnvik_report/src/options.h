// The command line: one table of its entries drives both the parsing and
// --help.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "render/metrics.h"
#include "render/plot.h"

namespace Harnvik::Report {

struct options {
    std::string log = "-";  // "-": standard input
    std::string file;       // the recorded file; empty when not given
    bool decode = false;
    std::string json;                               // where to write the JSON; empty for none
    std::string plot;                               // where to draw the picture; empty for none
    e_plot_format plot_format = e_plot_format_png;  // told by the picture's name
    bool follow = false;                            // the live view while the run goes
    double interval_s = 10.0;                       // between the plain lines of --follow
    std::string metrics;                            // the metrics file; empty for none
    std::vector<std::string> label_texts;           // --metrics-label as given: NAME=VALUE
    std::vector<metric_label> metrics_labels;       // the same, checked

    bool log_is_standard_input() const { return log == "-"; }
    // The log as the report and the view name it.
    std::string log_name() const { return log_is_standard_input() ? "standard input" : log; }
};

enum e_entry : std::uint8_t {
    e_entry_log,      // the one argument without a name
    e_entry_file,     // an option with a file name as its value
    e_entry_flag,     // an option without a value
    e_entry_seconds,  // an option with a number of seconds as its value
    e_entry_label,    // an option given once per label, NAME=VALUE
    e_entry_help,     // prints the usage and ends
    e_entry_version,  // prints the version and ends
};

// One entry of the command line.
struct option_entry {
    const char* names;  // "--json", "-h,--help"; the log's is its name in the usage
    e_entry kind;
    const char* help;
    std::string options::*text = nullptr;                // where a log or file name goes
    bool options::*flag = nullptr;                       // what a flag sets
    double options::*seconds = nullptr;                  // where a number of seconds goes
    std::vector<std::string> options::*texts = nullptr;  // where the labels go
};

std::span<const option_entry> option_table();

enum e_command : std::uint8_t {
    e_command_report,   // make the report with `chosen`
    e_command_help,     // print `text`, the usage, and end with 0
    e_command_version,  // print `text`, the version, and end with 0
    e_command_refused,  // the command line cannot be followed: `text` says why
};

struct command {
    e_command action = e_command_report;
    options chosen;
    std::string text;
};

// Reads the arguments after the program name.
command parse_command_line(const std::vector<std::string>& arguments);

}  // namespace Harnvik::Report
