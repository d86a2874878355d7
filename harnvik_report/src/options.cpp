#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cstdio>

namespace Harnvik::Report {

namespace {

// The plain lines of --follow: ten a second at most, one a day at least.
constexpr double k_shortest_interval_s = 0.1;
constexpr double k_longest_interval_s = 86400.0;

constexpr std::array k_table = {
    option_entry{"LOG", e_entry_log, "Harnvik's standard output; - or none: standard input",
                 &options::log},
    option_entry{"--file", e_entry_file, "the recorded file (HelloWorld.m4v), read through FFmpeg",
                 &options::file},
    option_entry{"--decode", e_entry_flag, "with --file: decode every frame, count decode errors",
                 nullptr, &options::decode},
    option_entry{"--json", e_entry_file, "write the same facts as JSON into FILE", &options::json},
    option_entry{"--plot", e_entry_file, "draw rates and bit rate with gnuplot (.png or .svg)",
                 &options::plot},
    option_entry{"--follow", e_entry_flag,
                 "show the run while it goes, then the report; Ctrl-C: the report so far", nullptr,
                 &options::follow},
    option_entry{"--interval", e_entry_seconds,
                 "with --follow, not on a terminal: seconds between lines (10)", nullptr, nullptr,
                 &options::interval_s},
    option_entry{"--metrics", e_entry_file,
                 "write the figures for Prometheus into FILE (*.prom); with --follow at each "
                 "update",
                 &options::metrics},
    option_entry{"--metrics-label", e_entry_label,
                 "a label of every metric, NAME=VALUE; once per label", nullptr, nullptr, nullptr,
                 &options::label_texts},
    option_entry{"-h,--help", e_entry_help, "print this help and exit"},
    option_entry{"--version", e_entry_version, "print the version and exit"},
};

constexpr const char* k_description =
    "Reads Harnvik's standard output (LOG) and, with --file, the file it recorded;\n"
    "prints a summary table. With --follow, shows the run while it goes first.";
constexpr const char* k_footer =
    "Exit status: 0 when the report was made; 2 for a command line that cannot be\n"
    "followed, a log without rate lines, a file that cannot be read or written, or\n"
    "a picture that cannot be drawn. Ctrl-C during --follow: the report so far, then\n"
    "the exit of an interrupted program (130 in a shell).";

// The parser, bound to `chosen`, with every entry of the table.
void add_entries(CLI::App& app, options& chosen) {
    app.description(k_description);
    app.footer(k_footer);
    app.allow_extras();  // refused below, with their own words
    // Options are --name on every platform: /name is a file name on Windows too.
    app.allow_windows_style_options(false);
    app.get_formatter()->column_width(16);
    for (const option_entry& entry : k_table) {
        switch (entry.kind) {
            case e_entry_log:
                app.add_option(entry.names, chosen.*entry.text, entry.help)->type_name("");
                break;
            case e_entry_file:
                app.add_option(entry.names, chosen.*entry.text, entry.help)->type_name("FILE");
                break;
            case e_entry_flag:
                app.add_flag(entry.names, chosen.*entry.flag, entry.help);
                break;
            case e_entry_seconds:
                app.add_option(entry.names, chosen.*entry.seconds, entry.help)
                    ->type_name("SECONDS");
                break;
            case e_entry_label:
                app.add_option(entry.names, chosen.*entry.texts, entry.help)
                    ->type_name("NAME=VALUE")
                    ->expected(1)
                    ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
                break;
            case e_entry_help:
                app.set_help_flag(entry.names, entry.help);
                break;
            case e_entry_version:
                app.set_version_flag(entry.names, std::string("harnvik_report ") + HARNVIK_VERSION,
                                     entry.help);
                break;
        }
    }
}

std::string label_refusal(options& chosen);

// What the parser left over, and the checks across entries; empty when
// the command line can be followed. Tells the picture's format.
std::string refusal(const CLI::App& app, options& chosen) {
    for (const std::string& extra : app.remaining()) {
        if (extra.size() > 1 && extra[0] == '-') {
            return "unknown option " + extra.substr(0, extra.find('='));
        }
        return "one log only: " + chosen.log + " and " + extra;
    }
    for (const option_entry& entry : k_table) {
        if (entry.text == nullptr || app.count(entry.names) == 0 || !(chosen.*entry.text).empty()) {
            continue;
        }
        return entry.kind == e_entry_log ? std::string("an empty log name")
                                         : std::string(entry.names) + " needs a file name";
    }
    if (chosen.decode && chosen.file.empty()) return "--decode needs --file";
    if (app.count("--interval") != 0) {
        if (!chosen.follow) return "--interval needs --follow";
        if (!(chosen.interval_s >= k_shortest_interval_s &&
              chosen.interval_s <= k_longest_interval_s)) {
            char given[64];
            std::snprintf(given, sizeof(given), "%g", chosen.interval_s);
            return std::string("--interval takes 0.1 to 86400 seconds, not ") + given;
        }
    }
    if (!chosen.plot.empty() && !plot_format_of(chosen.plot, chosen.plot_format)) {
        return "--plot draws .png or .svg files, not " + chosen.plot;
    }
    return label_refusal(chosen);
}

// Reads the labels of the metrics into `chosen.metrics_labels`; why they
// cannot be taken, or empty.
std::string label_refusal(options& chosen) {
    if (!chosen.label_texts.empty() && chosen.metrics.empty()) {
        return "--metrics-label needs --metrics";
    }
    for (const std::string& text : chosen.label_texts) {
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) return "--metrics-label takes NAME=VALUE, not " + text;
        metric_label label{text.substr(0, equals), text.substr(equals + 1)};
        std::string refused = Report::label_refusal(label.name);
        if (!refused.empty()) return "--metrics-label: " + refused;
        for (const metric_label& taken : chosen.metrics_labels) {
            if (taken.name == label.name) return "--metrics-label " + label.name + " given twice";
        }
        chosen.metrics_labels.push_back(std::move(label));
    }
    return "";
}

}  // namespace

std::span<const option_entry> option_table() {
    return k_table;
}

command parse_command_line(const std::vector<std::string>& arguments) {
    command parsed;
    CLI::App app("", "harnvik_report");
    add_entries(app, parsed.chosen);
    // The parser takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        parsed.action = e_command_help;
        parsed.text = app.help();
        return parsed;
    } catch (const CLI::CallForVersion& version) {
        parsed.action = e_command_version;
        parsed.text = std::string(version.what()) + "\n";
        return parsed;
    } catch (const CLI::ParseError& error) {
        parsed.action = e_command_refused;
        parsed.text = error.what();
        return parsed;
    }
    parsed.text = refusal(app, parsed.chosen);
    if (!parsed.text.empty()) parsed.action = e_command_refused;
    return parsed;
}

}  // namespace Harnvik::Report
