// The report's picture, drawn by gnuplot: each worker's copy rate over its
// own elapsed time with the recording's start marked, and, when a file was
// read, its bit rate over media time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/report.h"

namespace Harnvik::Report {

enum e_plot_format : std::uint8_t { e_plot_format_png, e_plot_format_svg };

constexpr std::int32_t k_plot_width = 1200;
constexpr std::int32_t k_plot_height = 900;

// A worker's line keeps at most this many points, and the bit rate at most
// this many bars: more than the picture has pixels for only slows gnuplot.
constexpr std::size_t k_most_rate_points = 600;
constexpr std::size_t k_most_bars = 600;

struct plot_point {
    double x;
    double y;
};

// The points to draw of a series in order of x: all of them, up to `most`;
// beyond that, for each of `most` equal spans of x that holds points, the
// median y at the span's middle.
std::vector<plot_point> thinned(const std::vector<plot_point>& points, std::size_t most);

// Seconds that one bar of the bit rate stands for, so that `seconds` of
// media give at most `most` bars.
std::size_t seconds_per_bar(std::size_t seconds, std::size_t most);

// The format named by the output file's extension (.png or .svg, any case);
// false for any other.
bool plot_format_of(const std::string& file, e_plot_format& format);

// A whole gnuplot program that draws the picture into `output`, with its
// data inline.
std::string plot_script(const report& run, const std::string& output, e_plot_format format);

}  // namespace Harnvik::Report
