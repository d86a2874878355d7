#include "options.h"

#include "plot.h"

namespace Harnvik::Report {

bool parse_options(const std::vector<std::string>& arguments, options& parsed, std::string& error) {
    parsed = options{};
    bool log_given = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string argument = arguments[i];
        std::string value;
        bool has_value = false;
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument.resize(equals);
            has_value = true;
        }
        std::string* target = nullptr;
        if (argument == "--file") {
            target = &parsed.file;
        } else if (argument == "--json") {
            target = &parsed.json;
        } else if (argument == "--plot") {
            target = &parsed.plot;
        }
        if (target != nullptr) {
            if (!has_value) {
                if (i + 1 == arguments.size()) {
                    error = argument + " needs a file name";
                    return false;
                }
                value = arguments[++i];
            }
            if (value.empty()) {
                error = argument + " needs a file name";
                return false;
            }
            *target = value;
        } else if (has_value) {
            error = "unknown option " + argument;
            return false;
        } else if (argument == "--decode") {
            parsed.decode = true;
        } else if (argument == "--help" || argument == "-h") {
            parsed.help = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            error = "unknown option " + argument;
            return false;
        } else if (log_given) {
            error = "one log only: " + parsed.log + " and " + argument;
            return false;
        } else if (argument.empty()) {
            error = "an empty log name";
            return false;
        } else {
            parsed.log = argument;
            log_given = true;
        }
    }
    if (parsed.help) return true;
    if (parsed.decode && parsed.file.empty()) {
        error = "--decode needs --file";
        return false;
    }
    e_plot_format format = e_plot_format_png;
    if (!parsed.plot.empty() && !plot_format_of(parsed.plot, format)) {
        error = "--plot draws .png or .svg files, not " + parsed.plot;
        return false;
    }
    return true;
}

const char* usage_text() {
    return "Usage: harnvik_report [LOG] [--file FILE] [--decode] [--json FILE] [--plot FILE]\n"
           "\n"
           "Reads Harnvik's standard output (LOG, or standard input when LOG is - or\n"
           "missing) and, with --file, the file it recorded; prints a summary table.\n"
           "\n"
           "  --file FILE   the recorded file (HelloWorld.m4v), read through FFmpeg\n"
           "  --decode      decode every frame of the file and count decode errors\n"
           "  --json FILE   write the same facts as JSON\n"
           "  --plot FILE   draw the copy rates and the file's bit rate with gnuplot\n"
           "                into FILE (.png or .svg)\n"
           "\n"
           "Exit status: 0 when the report was made; 2 for a log without rate lines,\n"
           "a file that cannot be read or written, or a picture that cannot be drawn.\n";
}

}  // namespace Harnvik::Report
