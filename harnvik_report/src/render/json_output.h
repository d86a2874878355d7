// The report's facts as JSON, for programs.
#pragma once

#include <string>
#include <string_view>

#include "report.h"

namespace Harnvik::Report {

std::string format_json(const report& run);

// A JSON string literal, quotes included. Bytes that are not UTF-8 become
// U+FFFD, so any line of any log gives valid JSON.
std::string json_string(std::string_view text);

}  // namespace Harnvik::Report
