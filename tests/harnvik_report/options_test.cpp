#include "options.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace Harnvik::Report;

std::vector<std::string> names_of(const option_entry& entry) {
    std::vector<std::string> names;
    std::string all = entry.names;
    for (std::size_t comma; (comma = all.find(',')) != std::string::npos; all.erase(0, comma + 1)) {
        names.push_back(all.substr(0, comma));
    }
    names.push_back(all);
    return names;
}

const option_entry* entry_named(const std::string& name) {
    for (const option_entry& entry : option_table()) {
        for (const std::string& each : names_of(entry)) {
            if (each == name) return &entry;
        }
    }
    return nullptr;
}

// The one command line that uses an entry and nothing it depends on.
command use(const option_entry& entry, const std::string& name) {
    switch (entry.kind) {
        case e_entry_log:
            return parse_command_line({"run.log"});
        case e_entry_file:
            return parse_command_line({name, "out.png"});
        case e_entry_flag:
            return parse_command_line({name, "--file", "run.m4v"});
        case e_entry_seconds:
            return parse_command_line({name, "2.5", "--follow"});
        case e_entry_label:
            return parse_command_line({name, "role=lab", "--metrics", "out.png"});
        case e_entry_help:
        case e_entry_version:
            break;
    }
    return parse_command_line({name});
}

TEST(command_line, the_help_shows_every_entry_and_every_option_it_shows_is_parsed) {
    const command help = parse_command_line({"--help"});
    ASSERT_EQ(help.action, e_command_help);
    EXPECT_NE(help.text.find("Usage: harnvik_report [OPTIONS] [LOG]"), std::string::npos)
        << help.text;
    for (const option_entry& entry : option_table()) {
        for (const std::string& name : names_of(entry)) {
            EXPECT_NE(help.text.find(name), std::string::npos) << name << " is not in\n"
                                                               << help.text;
        }
        EXPECT_NE(help.text.find(entry.help), std::string::npos) << entry.help;
    }

    const std::regex option_name(R"((^|[\s,\[(])(--?[a-z][a-z-]*))");
    std::set<std::string> shown;
    for (auto it = std::sregex_iterator(help.text.begin(), help.text.end(), option_name);
         it != std::sregex_iterator(); ++it) {
        shown.insert((*it)[2]);
    }
    EXPECT_GE(shown.size(), 6u) << help.text;
    for (const std::string& name : shown) {
        SCOPED_TRACE(name);
        const option_entry* entry = entry_named(name);
        ASSERT_NE(entry, nullptr) << "the help shows an option that is not in the table";
        const command used = use(*entry, name);
        switch (entry->kind) {
            case e_entry_log:
            case e_entry_file:
                EXPECT_EQ(used.action, e_command_report) << used.text;
                EXPECT_EQ(used.chosen.*entry->text,
                          entry->kind == e_entry_log ? "run.log" : "out.png");
                break;
            case e_entry_flag:
                EXPECT_EQ(used.action, e_command_report) << used.text;
                EXPECT_TRUE(used.chosen.*entry->flag);
                break;
            case e_entry_seconds:
                EXPECT_EQ(used.action, e_command_report) << used.text;
                EXPECT_EQ(used.chosen.*entry->seconds, 2.5);
                break;
            case e_entry_label:
                EXPECT_EQ(used.action, e_command_report) << used.text;
                EXPECT_EQ(used.chosen.*entry->texts, std::vector<std::string>{"role=lab"});
                break;
            case e_entry_help:
                EXPECT_EQ(used.action, e_command_help);
                break;
            case e_entry_version:
                EXPECT_EQ(used.action, e_command_version);
                break;
        }
    }
}

TEST(command_line, version_is_the_projects) {
    const command version = parse_command_line({"--version"});
    EXPECT_EQ(version.action, e_command_version);
    EXPECT_EQ(version.text, "harnvik_report " HARNVIK_VERSION "\n");
    // Among other arguments too, which are then not checked.
    EXPECT_EQ(parse_command_line({"run.log", "--version", "--decode"}).action, e_command_version);
}

TEST(command_line, every_value_reaches_its_place) {
    command line = parse_command_line({});
    ASSERT_EQ(line.action, e_command_report) << line.text;
    EXPECT_EQ(line.chosen.log, "-");
    EXPECT_EQ(line.chosen.file, "");
    EXPECT_FALSE(line.chosen.decode);

    line = parse_command_line({"-",
                               "--file=s\xc3\xb8"
                               "ak.m4v",
                               "--decode", "--json", "r.json", "--plot", "p.SVG"});
    ASSERT_EQ(line.action, e_command_report) << line.text;
    EXPECT_EQ(line.chosen.log, "-");
    EXPECT_EQ(line.chosen.file,
              "s\xc3\xb8"
              "ak.m4v");
    EXPECT_TRUE(line.chosen.decode);
    EXPECT_EQ(line.chosen.json, "r.json");
    EXPECT_EQ(line.chosen.plot, "p.SVG");
    EXPECT_EQ(line.chosen.plot_format, e_plot_format_svg);

    line = parse_command_line({"--plot", "p.png", "run.log"});
    ASSERT_EQ(line.action, e_command_report) << line.text;
    EXPECT_EQ(line.chosen.log, "run.log");
    EXPECT_EQ(line.chosen.plot_format, e_plot_format_png);

    // Labels in the order given; a value may hold anything, = included.
    line = parse_command_line({"--metrics", "m.prom", "--metrics-label", "role=gen 3",
                               "--metrics-label=build=a=\"b\"\n", "--metrics-label", "empty="});
    ASSERT_EQ(line.action, e_command_report) << line.text;
    EXPECT_EQ(line.chosen.metrics, "m.prom");
    ASSERT_EQ(line.chosen.metrics_labels.size(), 3u);
    const std::pair<std::string, std::string> labels[] = {
        {"role", "gen 3"}, {"build", "a=\"b\"\n"}, {"empty", ""}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(line.chosen.metrics_labels[i].name, labels[i].first);
        EXPECT_EQ(line.chosen.metrics_labels[i].value, labels[i].second);
    }

    // Names that start with a slash are names, on Windows too.
    line = parse_command_line({"/tmp/run.log", "--file", "/tmp/run.m4v"});
    ASSERT_EQ(line.action, e_command_report) << line.text;
    EXPECT_EQ(line.chosen.log, "/tmp/run.log");
    EXPECT_EQ(line.chosen.file, "/tmp/run.m4v");
}

TEST(command_line, what_cannot_be_followed_is_refused_with_its_reason) {
    const struct {
        std::vector<std::string> arguments;
        const char* reason;
    } cases[] = {
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"run.log", "--frobnicate=3"}, "unknown option --frobnicate"},
        {{"-x"}, "unknown option -x"},
        {{"a.log", "b.log"}, "one log only: a.log and b.log"},
        {{"a.log", "-"}, "one log only: a.log and -"},
        {{""}, "an empty log name"},
        {{"--file"}, "--file"},
        {{"--json="}, "--json: 1 required FILE missing"},
        {{"--json", ""}, "--json needs a file name"},
        {{"--decode"}, "--decode needs --file"},
        {{"--plot", "run.jpg"}, "--plot draws .png or .svg files, not run.jpg"},
        {{"--interval", "5"}, "--interval needs --follow"},
        {{"--follow", "--interval", "0.05"}, "--interval takes 0.1 to 86400 seconds, not 0.05"},
        {{"--follow", "--interval", "soon"}, "--interval"},
        {{"--metrics-label", "a=b"}, "--metrics-label needs --metrics"},
        {{"--metrics", "m.prom", "--metrics-label", "role"},
         "--metrics-label takes NAME=VALUE, not role"},
        {{"--metrics", "m.prom", "--metrics-label", "=x"}, "an empty label name"},
        {{"--metrics", "m.prom", "--metrics-label", "9a=x"}, "does not start with a letter or _"},
        {{"--metrics", "m.prom", "--metrics-label", "a-b=x"}, "other than letters, digits and _"},
        {{"--metrics", "m.prom", "--metrics-label", "__name__=x"}, "are Prometheus' own: __name__"},
        {{"--metrics", "m.prom", "--metrics-label", "worker=x"}, "a label worker of their own"},
        {{"--metrics", "m.prom", "--metrics-label", "a=1", "--metrics-label", "a=2"},
         "--metrics-label a given twice"},
    };
    for (const auto& each : cases) {
        const command line = parse_command_line(each.arguments);
        EXPECT_EQ(line.action, e_command_refused) << each.reason;
        EXPECT_NE(line.text.find(each.reason), std::string::npos) << line.text;
    }
}

}  // namespace
