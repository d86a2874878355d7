#include "render/plot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/log_reader.h"
#include "core/report.h"
#include "core/statistics.h"
#include "os/gnuplot.h"
#include "os/os_services.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using namespace Harnvik::Report;
namespace fs = std::filesystem;

TEST(plot, format_from_the_file_name) {
    e_plot_format format = e_plot_format_png;
    EXPECT_TRUE(plot_format_of("run.SVG", format));
    EXPECT_EQ(format, e_plot_format_svg);
    EXPECT_TRUE(plot_format_of("dir.svg/run.png", format));
    EXPECT_EQ(format, e_plot_format_png);
    EXPECT_FALSE(plot_format_of("run.jpg", format));
    EXPECT_FALSE(plot_format_of("png", format));
    EXPECT_FALSE(plot_format_of("run.png.txt", format));
}

TEST(plot, long_series_are_thinned_to_their_medians) {
    // A day of measurements: 1 GiB/s, then 3 GiB/s, every tenth line far off.
    std::vector<plot_point> points;
    for (int i = 0; i < 100000; ++i) {
        points.push_back(plot_point{i * 0.9, i % 10 == 0 ? 100.0 : (i < 50000 ? 1.0 : 3.0)});
    }
    const std::vector<plot_point> drawn = thinned(points, 600);
    ASSERT_LE(drawn.size(), 600u);
    ASSERT_GE(drawn.size(), 590u);
    EXPECT_EQ(drawn.front().y, 1.0);
    EXPECT_EQ(drawn.back().y, 3.0);
    EXPECT_NEAR(drawn.front().x, 0.0, 100000 * 0.9 / 600);
    EXPECT_NEAR(drawn.back().x, 100000 * 0.9, 100000 * 0.9 / 600);
    for (std::size_t i = 1; i < drawn.size(); ++i) EXPECT_LT(drawn[i - 1].x, drawn[i].x);
    // Short series are drawn as they are.
    const std::vector<plot_point> few(points.begin(), points.begin() + 600);
    EXPECT_EQ(thinned(few, 600).size(), 600u);

    EXPECT_EQ(seconds_per_bar(600, 600), 1u);
    EXPECT_EQ(seconds_per_bar(601, 600), 2u);
    EXPECT_EQ(seconds_per_bar(86400, 600), 144u);
}

fs::path scratch(const std::string& name) {
    const fs::path path = fs::temp_directory_path() / ("harnvik_report_plot_test_" + name);
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

TEST(plot, program_found_only_where_it_is_executable) {
    const fs::path root = scratch("path");
    fs::create_directories(root / "empty");
    fs::create_directories(root / "plain");
    fs::create_directories(root / "tool");
    const std::string name = std::string("gnuplot") + os::executable_suffix();
    std::ofstream(root / "plain" / name) << "not a program";
    std::ofstream(root / "tool" / name) << "#!/bin/sh\n";
    fs::permissions(root / "tool" / name, fs::perms::owner_all);
    fs::permissions(root / "plain" / name, fs::perms::owner_read | fs::perms::owner_write);
    const std::string separator(1, os::path_separator());
    const std::string empty = (root / "empty").string();
    const std::string tool = (root / "tool").string();
    const std::string found = find_program(
        "gnuplot", empty + separator + separator + (root / "missing").string() + separator + tool);
    EXPECT_EQ(fs::path(found), fs::path(tool + "/" + name));
    EXPECT_EQ(find_program("gnuplot", empty), "");
    EXPECT_EQ(find_program("gnuplot", ""), "");
#if !defined(_WIN32)
    EXPECT_EQ(find_program("gnuplot", (root / "plain").string()), "");
#endif
}

// A run with a file: eight workers over 40 s of their own time, recording
// from 30 s, and 6 s of media at about 5 Mbit/s.
report drawn_run() {
    std::string log;
    for (int round = 0; round < 10; ++round) {
        if (round == 7) log += std::string(k_start_text) + "\n";
        for (int worker = 0; worker < k_worker_count; ++worker) {
            char line[64];
            std::snprintf(line, sizeof(line), "Thread %d, memcpy = %1.2fGb/s\n", worker,
                          round < 7 ? 2.44 + worker * 0.1 : 1.5 + worker * 0.1);
            log += line;
        }
    }
    report run;
    run.log_name = "soak's log";
    run.log = read_log(log + std::string(k_write_failure_text));
    run.has_media = true;
    run.media.file = "HelloWorld.m4v";
    run.media.duration_s = 6.0;
    run.media.mean_bit_rate = 5e6;
    run.media.bytes_per_second = {600000, 625000, 650000, 625000, 625000, 300000};
    complete(run);
    return run;
}

// The points of a data block of the script ("$name << EOD" ... "EOD").
std::vector<plot_point> data_block(const std::string& script, const std::string& name) {
    std::vector<plot_point> points;
    const std::string head = name + " << EOD\n";
    const std::size_t at = script.find(head);
    if (at == std::string::npos) return points;
    std::istringstream lines(script.substr(at + head.size()));
    std::string line;
    while (std::getline(lines, line) && line != "EOD") {
        plot_point point{};
        std::istringstream(line) >> point.x >> point.y;
        points.push_back(point);
    }
    return points;
}

// The number that follows `text` in the script; NaN when `text` is not there.
double number_after(const std::string& script, const std::string& text) {
    const std::size_t at = script.find(text);
    if (at == std::string::npos) return std::nan("");
    return std::stod(script.substr(at + text.size()));
}

// Each worker's line runs over its own elapsed time: its first point at the
// end of its own first measurement, whatever the workers before it took, and
// its last where its own measurements add up to. The recording's start and
// the final text are marked at the median over the workers of their own
// times then, in a band from the earliest worker's start to the latest's.
TEST(plot, each_worker_over_its_own_time_with_the_start_at_the_median) {
    const report run = drawn_run();
    const std::string script = plot_script(run, "out.png", e_plot_format_png);
    std::vector<double> starts;
    std::vector<double> ends;
    for (int worker = 0; worker < k_worker_count; ++worker) {
        SCOPED_TRACE(worker);
        const std::vector<rate_line>& lines = run.log.workers[static_cast<std::size_t>(worker)];
        const std::vector<plot_point> points =
            data_block(script, "$worker" + std::to_string(worker));
        ASSERT_EQ(points.size(), lines.size());
        double own = 0.0;
        double start = 0.0;
        double recording = 0.0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const double seconds = k_gib_per_measurement / lines[i].rate;
            own += seconds;
            (lines[i].phase == e_phase_before_start ? start : recording) += seconds;
            EXPECT_NEAR(points[i].x, own, 1e-6) << "point " << i;
            EXPECT_NEAR(points[i].y, lines[i].rate, 1e-9) << "point " << i;
        }
        starts.push_back(start);
        ends.push_back(start + recording);
    }
    // Eight workers: the median is halfway between the middle two.
    std::sort(starts.begin(), starts.end());
    std::sort(ends.begin(), ends.end());
    EXPECT_NEAR(number_after(script, "set arrow 1 from "), (starts[3] + starts[4]) / 2, 1e-6);
    EXPECT_NEAR(number_after(script, "set arrow 2 from "), (ends[3] + ends[4]) / 2, 1e-6);
    const std::string band = script.substr(script.find("set object 1 rectangle from "));
    EXPECT_NEAR(number_after(band, "rectangle from "), starts.front(), 1e-6);
    EXPECT_NEAR(number_after(band, "graph 0 to "), starts.back(), 1e-6);
}

struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;  // RGB, row by row
};

// Decodes a PNG file through FFmpeg's own decoder.
bool decode_png(const fs::path& file, rgb_image& image, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string data = bytes.str();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) {
        error = "no PNG decoder";
        return false;
    }
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(
        avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    if (avcodec_open2(context.get(), codec, nullptr) < 0 ||
        av_new_packet(packet.get(), static_cast<int>(data.size())) < 0) {
        error = "cannot set up the PNG decoder";
        return false;
    }
    std::copy(data.begin(), data.end(), packet->data);
    if (avcodec_send_packet(context.get(), packet.get()) < 0 ||
        avcodec_receive_frame(context.get(), frame.get()) < 0) {
        error = "not a valid PNG image";
        return false;
    }
    const int step = frame->format == AV_PIX_FMT_RGB24  ? 3
                     : frame->format == AV_PIX_FMT_RGBA ? 4
                                                        : 0;
    if (step == 0) {
        error = std::string("pixel format ") + std::to_string(frame->format);
        return false;
    }
    image.width = frame->width;
    image.height = frame->height;
    for (int y = 0; y < frame->height; ++y) {
        const unsigned char* row = frame->data[0] + y * frame->linesize[0];
        for (int x = 0; x < frame->width; ++x) {
            image.pixels.insert(image.pixels.end(), row + x * step, row + x * step + 3);
        }
    }
    return true;
}

// Pixels in the rows [from, to) that are clearly coloured, not white, grey or black.
int coloured_pixels(const rgb_image& image, int from, int to) {
    int count = 0;
    for (int y = from; y < to; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const unsigned char* p =
                &image.pixels[static_cast<std::size_t>((y * image.width + x) * 3)];
            const int high = std::max({p[0], p[1], p[2]});
            const int low = std::min({p[0], p[1], p[2]});
            if (high - low > 40) ++count;
        }
    }
    return count;
}

TEST(plot, png_of_the_expected_size_with_both_panels) {
    const std::string gnuplot = find_gnuplot();
    if (gnuplot.empty()) GTEST_SKIP() << "no gnuplot on this machine";
    const fs::path output = scratch("png") / "run's plot.png";
    std::string error;
    ASSERT_TRUE(draw_plot(gnuplot, plot_script(drawn_run(), output.string(), e_plot_format_png),
                          output.string(), error))
        << error;
    rgb_image image;
    ASSERT_TRUE(decode_png(output, image, error)) << error;
    EXPECT_EQ(image.width, k_plot_width);
    EXPECT_EQ(image.height, k_plot_height);
    // The worker lines in the upper panel, the bit rate's bars in the lower.
    EXPECT_GT(coloured_pixels(image, 0, k_plot_height / 2), 2000);
    EXPECT_GT(coloured_pixels(image, k_plot_height / 2, k_plot_height), 20000);
}

TEST(plot, svg_of_the_expected_size_with_both_panels) {
    const std::string gnuplot = find_gnuplot();
    if (gnuplot.empty()) GTEST_SKIP() << "no gnuplot on this machine";
    const fs::path output = scratch("svg") / "plot.svg";
    std::string error;
    ASSERT_TRUE(draw_plot(gnuplot, plot_script(drawn_run(), output.string(), e_plot_format_svg),
                          output.string(), error))
        << error;
    std::ifstream in(output);
    std::stringstream text;
    text << in.rdbuf();
    const std::string svg = text.str();
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("width=\"1200\" height=\"900\""), std::string::npos) << svg.substr(0, 400);
    EXPECT_NE(svg.find("Copy rate of each worker"), std::string::npos);
    EXPECT_NE(svg.find("Bit rate of HelloWorld.m4v"), std::string::npos);
    EXPECT_NE(svg.find("recording starts"), std::string::npos);
    EXPECT_NE(svg.find("Harnvik run: soak's log"), std::string::npos);
}

TEST(plot, a_failing_gnuplot_is_an_error) {
    const std::string gnuplot = find_gnuplot();
    if (gnuplot.empty()) GTEST_SKIP() << "no gnuplot on this machine";
    const fs::path output = scratch("broken") / "plot.png";
    std::string error;
    EXPECT_FALSE(draw_plot(gnuplot, "this is not gnuplot\n", output.string(), error));
    EXPECT_NE(error.find("gnuplot failed"), std::string::npos) << error;
    // A script that ends well without drawing: an empty picture is none.
    EXPECT_FALSE(draw_plot(gnuplot, "exit\n", output.string(), error));
    EXPECT_NE(error.find("gnuplot left no picture at " + output.string()), std::string::npos)
        << error;
    // A directory that does not exist: gnuplot cannot write the picture.
    const fs::path nowhere = scratch("nowhere") / "missing" / "plot.png";
    EXPECT_FALSE(draw_plot(gnuplot, plot_script(drawn_run(), nowhere.string(), e_plot_format_png),
                           nowhere.string(), error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
