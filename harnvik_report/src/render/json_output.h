// The report's facts as JSON, for programs.
#pragma once

#include <string>

#include "core/report.h"

namespace Harnvik::Report {

// One JSON document and a line end. Figures that do not exist (NaN, an
// infinite rate) are null; bytes of a log that are not UTF-8 become U+FFFD,
// so any log gives valid JSON.
std::string format_json(const report& run);

}  // namespace Harnvik::Report
