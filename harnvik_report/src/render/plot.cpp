#include "render/plot.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <vector>

#include "core/statistics.h"

namespace Harnvik::Report {

namespace {

// Beyond this many points a worker's line is drawn without point marks.
constexpr std::size_t k_most_marked_points = 200;
constexpr double k_mega = 1000000.0;

// A gnuplot string literal: single quotes take nothing but '' specially.
// Control characters, which no title needs, become '?'.
std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "''";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += '?';
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.10g", value);
    return text;
}

// Median over the workers of a time that each has, NaN when none has it.
double median_over_workers(const log_summary& summary, bool at_end) {
    std::vector<double> times;
    for (const worker_summary& worker : summary.workers) {
        if (worker.lines == 0 || std::isnan(worker.start_at_s)) continue;
        times.push_back(at_end ? worker.start_at_s + worker.covered_recording_s
                               : worker.start_at_s);
    }
    return median(times);
}

// Each worker's points as a data block; returns the plot command that
// draws them, empty when there is no point at all. Sets `thinned_any` when a
// worker had more points than are drawn.
std::string add_worker_data(std::string& script, const report& run, bool& thinned_any) {
    std::string plots;
    thinned_any = false;
    for (std::int32_t index = 0; index < k_worker_count; ++index) {
        const std::vector<rate_line>& lines = run.log.workers[static_cast<std::size_t>(index)];
        std::vector<plot_point> points;
        double elapsed = 0.0;
        for (const rate_line& line : lines) {
            elapsed += measurement_seconds(line.rate);
            if (std::isfinite(line.rate)) points.push_back(plot_point{elapsed, line.rate});
        }
        if (points.empty()) continue;
        thinned_any = thinned_any || points.size() > k_most_rate_points;
        points = thinned(points, k_most_rate_points);
        const std::string block = "$worker" + std::to_string(index);
        script += block + " << EOD\n";
        for (const plot_point& point : points) {
            script += number(point.x) + ' ' + number(point.y) + '\n';
        }
        script += "EOD\n";
        plots += plots.empty() ? "plot " : ", \\\n     ";
        plots += block + " using 1:2 with " +
                 (points.size() <= k_most_marked_points ? "linespoints pointtype 7 pointsize 0.5"
                                                        : "lines") +
                 " linewidth 1.5 title 'worker " + std::to_string(index) + "'";
    }
    return plots;
}

void add_rate_panel(std::string& script, const report& run, const std::string& plots,
                    bool thinned_any) {
    const log_summary& summary = run.summary;

    script += "set title 'Copy rate of each worker over its own elapsed time";
    if (thinned_any) {
        script += " (the median of each " + std::to_string(k_most_rate_points) + "th of its time)";
    }
    script +=
        "'\n"
        "set xlabel \"worker's own elapsed time (s)\"\n"
        "set ylabel 'copy rate (GiB/s: 2^30 bytes per second)'\n"
        "set key outside right top\n"
        "set grid\n"
        "set xrange [0:*]\n"
        "set yrange [0:*]\n";
    const double start_s = median_over_workers(summary, false);
    if (!std::isnan(start_s)) {
        double earliest = start_s;
        double latest = start_s;
        for (const worker_summary& worker : summary.workers) {
            if (worker.lines == 0 || std::isnan(worker.start_at_s)) continue;
            earliest = std::min(earliest, worker.start_at_s);
            latest = std::max(latest, worker.start_at_s);
        }
        script += "set object 1 rectangle from " + number(earliest) + ", graph 0 to " +
                  number(latest) +
                  ", graph 1 behind fillcolor rgb '#d8d8d8' fillstyle solid noborder\n"
                  "set arrow 1 from " +
                  number(start_s) + ", graph 0 to " + number(start_s) +
                  ", graph 1 nohead linewidth 2 dashtype 2 linecolor rgb '#202020'\n"
                  "set label 1 'recording starts' at " +
                  number(start_s) + ", graph 0.05 right offset -0.5, 0 textcolor rgb '#202020'\n";
        if (run.log.end_line != 0) {
            const double end_s = median_over_workers(summary, true);
            script += "set arrow 2 from " + number(end_s) + ", graph 0 to " + number(end_s) +
                      ", graph 1 nohead linewidth 2 dashtype 3 linecolor rgb '#202020'\n"
                      "set label 2 'final text' at " +
                      number(end_s) + ", graph 0.05 left offset 0.5, 0 textcolor rgb '#202020'\n";
        }
    }
    if (!plots.empty()) {
        script += plots + '\n';
    } else {
        script +=
            "set label 3 'no finite rate to draw' at graph 0.5, graph 0.5 center\n"
            "set xrange [0:1]\nset yrange [0:1]\nplot 1/0 notitle\n";
    }
    script +=
        "unset object 1\nunset arrow 1\nunset arrow 2\nunset label 1\nunset label 2\n"
        "unset label 3\n";
}

void add_bit_rate_data(std::string& script, const media_facts& media) {
    const std::vector<std::int64_t>& seconds = media.bytes_per_second;
    const std::size_t group = seconds_per_bar(seconds.size(), k_most_bars);
    script += "$bitrate << EOD\n";
    for (std::size_t first = 0; first < seconds.size(); first += group) {
        const std::size_t count = std::min(group, seconds.size() - first);
        std::int64_t bytes = 0;
        for (std::size_t second = first; second < first + count; ++second) bytes += seconds[second];
        script += number(static_cast<double>(first) + static_cast<double>(count) / 2.0) + ' ' +
                  number(static_cast<double>(bytes) * 8.0 / static_cast<double>(count) / k_mega) +
                  '\n';
    }
    script += "EOD\n";
}

void add_bit_rate_panel(std::string& script, const media_facts& media) {
    const std::size_t group = seconds_per_bar(media.bytes_per_second.size(), k_most_bars);
    const std::string per = group == 1 ? "per second" : "per " + std::to_string(group) + " s";
    script += "set title " + quoted("Bit rate of " + media.file + " " + per + " of media") + "\n" +
              "set xlabel 'media time (s)'\n"
              "set ylabel 'bit rate (Mbit/s)'\n"
              "set xrange [0:" +
              number(std::max(1.0, std::ceil(media.duration_s))) +
              "]\n"
              "set yrange [0:*]\n"
              "set boxwidth 0.9 relative\n"
              "set style fill solid 0.6 border\n";
    if (media.bytes_per_second.empty()) {
        script += "set label 3 'no packets' at graph 0.5, graph 0.5 center\nplot 1/0 notitle\n";
        return;
    }
    script += "plot $bitrate using 1:2 with boxes linecolor rgb '#3060a0' title '" + per +
              "', \\\n"
              "     " +
              number(media.mean_bit_rate / k_mega) +
              " with lines linewidth 2 dashtype 2 linecolor rgb '#c03020' title 'mean'\n";
}

}  // namespace

std::vector<plot_point> thinned(const std::vector<plot_point>& points, std::size_t most) {
    if (points.size() <= most || most == 0) return points;
    const double from = points.front().x;
    const double span = (points.back().x - from) / static_cast<double>(most);
    std::vector<plot_point> out;
    std::vector<double> values;
    std::size_t at = 0;
    for (std::size_t part = 0; part < most && at < points.size(); ++part) {
        const bool last = part + 1 == most;
        const double end = last ? points.back().x : from + span * static_cast<double>(part + 1);
        values.clear();
        while (at < points.size() && (points[at].x <= end || last))
            values.push_back(points[at++].y);
        if (values.empty()) continue;
        out.push_back(plot_point{from + span * (static_cast<double>(part) + 0.5), median(values)});
    }
    return out;
}

std::size_t seconds_per_bar(std::size_t seconds, std::size_t most) {
    if (most == 0 || seconds <= most) return 1;
    return (seconds + most - 1) / most;
}

bool plot_format_of(const std::string& file, e_plot_format& format) {
    const std::size_t dot = file.rfind('.');
    if (dot == std::string::npos) return false;
    std::string extension = file.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "png") {
        format = e_plot_format_png;
        return true;
    }
    if (extension == "svg") {
        format = e_plot_format_svg;
        return true;
    }
    return false;
}

std::string plot_script(const report& run, const std::string& output, e_plot_format format) {
    const std::string size = std::to_string(k_plot_width) + "," + std::to_string(k_plot_height);
    std::string script;
    script += format == e_plot_format_png
                  ? "set terminal pngcairo size " + size + " font 'sans,11' noenhanced\n"
                  : "set terminal svg size " + size +
                        " font 'sans,11' noenhanced background rgb 'white'\n";
    script += "set encoding utf8\n";
    script += "set output " + quoted(output) + "\n";
    bool thinned_any = false;
    const std::string plots = add_worker_data(script, run, thinned_any);
    if (run.has_media) add_bit_rate_data(script, run.media);
    // Both panels share their left and right edges, so their axes line up.
    script += "set lmargin at screen 0.08\nset rmargin at screen 0.84\n";
    script += "set multiplot layout " + std::string(run.has_media ? "2" : "1") + ",1 title " +
              quoted("Harnvik run: " + run.log_name) + "\n";
    add_rate_panel(script, run, plots, thinned_any);
    if (run.has_media) add_bit_rate_panel(script, run.media);
    script += "unset multiplot\nset output\n";
    return script;
}

}  // namespace Harnvik::Report
