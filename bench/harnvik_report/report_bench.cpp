// The report's speed on big inputs: a log of 1,000,000 lines, read from a
// file and summed up as the tool does; and a 1 GiB recording probed without
// a full decode. Both inputs are made here. The recording is a real one from
// the recorder library, cut off by a file-size limit as a soak's is (SIGXFSZ
// ignored), at 400 Mbit/s of black frames (x264 pads with filler to hold its
// constant rate) so that 1 GiB is about 21 s of media; it is kept for later
// runs. Both files are read from the page cache after the first iteration.
//
//   flock /tmp/karvon-bench.lock build/default/bin/harnvik_report_bench
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "core/statistics.h"
#include "media/media_probe.h"
#include "os/log_input.h"
#include "soak_pairs.h"

namespace {

using namespace Harnvik::Report;
namespace fs = std::filesystem;
using Selmet::Palvex::writer::mp4;

constexpr std::int64_t k_log_lines = 1000000;
constexpr std::int64_t k_gib = 1 << 30;
constexpr std::int32_t k_recording_bit_rate = 400000000;

const fs::path k_scratch = KARVON_BENCH_SCRATCH;

// Eight workers' rate lines in a random order, the start text at 30 of 40
// seconds' worth of lines, the final text, and two lines after it.
const std::string& log_file() {
    static const std::string file = [] {
        const std::string name = (k_scratch / "million_lines.log").string();
        std::mt19937 random(7);
        std::uniform_int_distribution<int> worker(0, 7);
        std::uniform_int_distribution<int> hundredths(300, 1200);
        std::string text;
        text.reserve(static_cast<std::size_t>(k_log_lines) * 30);
        for (std::int64_t line = 1; line <= k_log_lines; ++line) {
            if (line == k_log_lines * 3 / 4) {
                text += "Starting to record to disk using Intel Media SDK ...\n";
                continue;
            }
            char rate[64];
            const int value = hundredths(random);
            std::snprintf(rate, sizeof(rate), "Thread %d, memcpy = %d.%02dGb/s\n", worker(random),
                          value / 100, value % 100);
            if (line == k_log_lines - 1) text += "Error writing to file.";
            text += rate;
        }
        std::ofstream(name, std::ios::binary) << text;
        return name;
    }();
    return file;
}

// Records black frames until the file-size limit makes a write fail.
bool make_recording(const std::string& name, std::int64_t limit) {
    std::remove(name.c_str());
    struct rlimit before {};
    getrlimit(RLIMIT_FSIZE, &before);
    struct rlimit bounded = before;
    bounded.rlim_cur = static_cast<rlim_t>(limit);
    signal(SIGXFSZ, SIG_IGN);
    if (setrlimit(RLIMIT_FSIZE, &bounded) != 0) return false;
    {
        const soak_pairs::wide_name wide = soak_pairs::wide(name);
        mp4::info info = soak_pairs::settings(wide, 1920, 1080, k_recording_bit_rate);
        mp4 writer(info);
        soak_pairs::write(writer, info, -1);
    }
    setrlimit(RLIMIT_FSIZE, &before);
    return true;
}

const std::string& recording() {
    static const std::string file = [] {
        const std::string name = (k_scratch / "one_gib.m4v").string();
        std::error_code missing;
        // A soak's file ends where the limit cut it, or at its last whole
        // fragment when the recorder could cut the torn one off.
        if (fs::file_size(name, missing) + (64 << 20) < static_cast<std::uintmax_t>(k_gib)) {
            std::fprintf(stderr, "making a 1 GiB recording (once; kept in %s)...\n", name.c_str());
            if (!make_recording(name, k_gib)) return std::string();
        }
        return name;
    }();
    return file;
}

void read_a_million_line_log(benchmark::State& state) {
    const std::string& file = log_file();
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        log_facts facts;
        std::string error;
        if (!read_log_file(file, facts, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        const log_summary summary = summarize(facts);
        // A copy of its own: Benchmark 1.9 deprecates DoNotOptimize on a const value.
        double median = summary.all.median_rate;
        benchmark::DoNotOptimize(median);
        state.counters["lines"] = static_cast<double>(facts.lines);
        state.counters["rate_lines"] = static_cast<double>(facts.rate_lines());
    }
    state.counters["MiB"] = static_cast<double>(fs::file_size(file)) / (1 << 20);
}
BENCHMARK(read_a_million_line_log)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void probe_a_1_gib_recording(benchmark::State& state) {
    const std::string& file = recording();
    if (file.empty()) {
        state.SkipWithError("cannot set the file-size limit");
        return;
    }
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        media_facts facts;
        std::string error;
        if (!probe_media(file, probe_options{}, facts, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        state.counters["MiB"] = static_cast<double>(facts.file_size) / (1 << 20);
        state.counters["frames"] = static_cast<double>(facts.video_frames);
        state.counters["media_s"] = facts.duration_s;
        state.counters["tail_MiB"] = static_cast<double>(facts.tail_bytes) / (1 << 20);
    }
}
BENCHMARK(probe_a_1_gib_recording)->Unit(benchmark::kMillisecond)->MinTime(4.0);

}  // namespace

BENCHMARK_MAIN();
