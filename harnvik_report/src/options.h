// The command line.
#pragma once

#include <string>
#include <vector>

namespace Harnvik::Report {

struct options {
    std::string log = "-";  // "-": standard input
    std::string file;       // the recorded file; empty when not given
    bool decode = false;
    std::string json;  // where to write the JSON; empty for none
    std::string plot;  // where to draw the picture; empty for none
    bool help = false;
};

// Parses the arguments after the program name; false with a readable reason
// in `error` for a command line that cannot be followed.
bool parse_options(const std::vector<std::string>& arguments, options& parsed, std::string& error);

const char* usage_text();

}  // namespace Harnvik::Report
