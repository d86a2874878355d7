// The report's picture, drawn by gnuplot: each worker's copy rate over its
// own elapsed time with the recording's start marked, and, when a file was
// read, its bit rate over media time.
#pragma once

#include <cstdint>
#include <string>

#include "report.h"

namespace Harnvik::Report {

enum e_plot_format : std::uint8_t { e_plot_format_png, e_plot_format_svg };

constexpr std::int32_t k_plot_width = 1200;
constexpr std::int32_t k_plot_height = 900;

// The format named by the output file's extension (.png or .svg, any case);
// false for any other.
bool plot_format_of(const std::string& file, e_plot_format& format);

// A whole gnuplot program that draws the picture into `output`, with its
// data inline.
std::string plot_script(const report& run, const std::string& output, e_plot_format format);

}  // namespace Harnvik::Report
