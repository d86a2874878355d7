// The report as a table for people: one row per worker, then the recording.
#pragma once

#include <string>

#include "core/report.h"

namespace Harnvik::Report {

std::string format_table(const report& run);

// Appends the text that printf makes of `format` and the values.
__attribute__((format(printf, 2, 3))) void append_printf(std::string& out, const char* format, ...);

// A number with `decimals` decimals; "-" for NaN and "inf" for infinity.
std::string format_number(double value, int decimals);

}  // namespace Harnvik::Report
