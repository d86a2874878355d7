// Recording speed of the MP4 writer against the ffmpeg command line doing the
// same work (black 1920x1080 at 25 fps, 4-channel 48 kHz sound, x264 veryfast
// at a constant 5 Mbit/s, fragmented MP4), alone and while eight threads copy
// memory; the writer's peak memory after 1,000 and after 10,000 frames; and
// whether it stays flat over a 1 GiB recording (at 50 Mbit/s) and over 10
// minutes of sound alone after a second of both (memory_flat: peak resident
// memory at a quarter, half and all of the way, and its growth from the
// quarter to the end). Only the public writer is used, so the same source
// builds against any version of the library.
//
//   flock /tmp/karvon-bench.lock build/default/bin/palvex_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "soak_pairs.h"

namespace {

using Selmet::Palvex::writer::mp4;
using video_message = Karvon::Wendrix::video::message;
using audio_message = Karvon::Wendrix::audio::message;

// Eight threads copying 1 MiB blocks without pause, as the stress program's
// copy workers do.
class memory_load {
  public:
    explicit memory_load(int threads) {
        for (int i = 0; i < threads; ++i) {
            m_threads.emplace_back([this] {
                std::vector<char> from(1 << 20, 1), to(1 << 20);
                while (!m_stop.load(std::memory_order_relaxed)) {
                    std::memcpy(to.data(), from.data(), from.size());
                    benchmark::DoNotOptimize(to.data());
                }
            });
        }
    }
    ~memory_load() {
        m_stop = true;
        for (std::thread& t : m_threads) t.join();
    }

  private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

// Peak resident memory of this process so far, in MiB.
double peak_rss_mib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0.0;
}

void writer_fps(benchmark::State& state) {
    const int frames = int(state.range(0));
    memory_load load(int(state.range(1)));
    const soak_pairs::wide_name name = soak_pairs::wide("palvex_bench_writer.m4v");
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        double rss_1000 = 0.0;
        {
            mp4::info info = soak_pairs::settings(name);
            mp4 writer(info);
            const int first = std::min(frames, 1000);
            soak_pairs::write(writer, info, first);
            if (first == 1000) rss_1000 = peak_rss_mib();
            soak_pairs::write(writer, info, frames - first);
            if (writer.error() != nullptr) state.SkipWithError("the writer failed");
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["fps"] = frames / seconds;
        if (rss_1000 > 0.0) {
            state.counters["peak_rss_MiB_at_1000"] = rss_1000;
            state.counters["peak_rss_MiB_at_end"] = peak_rss_mib();
        }
    }
    std::remove("palvex_bench_writer.m4v");
}

void ffmpeg_cli_fps(benchmark::State& state) {
    const int frames = int(state.range(0));
    memory_load load(int(state.range(1)));
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y "
        "-f lavfi -i color=black:s=1920x1080:r=25 "
        "-f lavfi -i anullsrc=r=48000:cl=4.0 "
        "-frames:v " +
        std::to_string(frames) + " -t " + std::to_string(frames / 25.0) +
        " -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25 -b:v 5000000 -maxrate 5000000 "
        "-minrate 5000000 -bufsize 5000000 -nal-hrd cbr "
        "-c:a aac -b:a 192000 "
        "-f mp4 -movflags +frag_keyframe+empty_moov+default_base_moof palvex_bench_cli.m4v";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) != 0) state.SkipWithError("ffmpeg failed");
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["fps"] = frames / seconds;
    }
    std::remove("palvex_bench_cli.m4v");
}

// Arguments: frames, memory-copy threads.
BENCHMARK(writer_fps)
    ->ArgNames({"frames", "memcpy_threads"})
    ->Args({1500, 0})
    ->Args({500, 8})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(ffmpeg_cli_fps)
    ->ArgNames({"frames", "memcpy_threads"})
    ->Args({1500, 0})
    ->Args({500, 8})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
// Memory over a long recording: peak RSS after 1,000 and after 10,000 frames.
BENCHMARK(writer_fps)
    ->Name("writer_memory")
    ->ArgNames({"frames", "memcpy_threads"})
    ->Args({10000, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// Peak resident memory at a quarter, half and all of a long recording:
// mode 0 records 1 GiB of pictures and sound at 50 Mbit/s, mode 1 a second
// of both and then ten minutes of sound alone.
void memory_flat(benchmark::State& state) {
    // Each case counts from its own start (the peak of the process so far
    // is forgotten).
    std::ofstream("/proc/self/clear_refs") << "5";
    const bool sound_alone = state.range(0) == 1;
    const std::u16string name = u"palvex_bench_flat.m4v";
    const std::string path = "palvex_bench_flat.m4v";
    constexpr std::int64_t k_gib = std::int64_t(1) << 30;
    constexpr int k_sound_blocks = 25 * 600;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        double at[3] = {0, 0, 0};
        {
            mp4::info info;
            info.file_name = name.c_str();
            info.bit_rate = sound_alone ? 5000000 : 50000000;
            info.time_scale = 30000;
            info.frame_duration = 1200;
            mp4 writer(info);
            // The way done so far, 0 to 1.
            const auto done = [&](int step) {
                if (sound_alone) return double(step) / (25 + k_sound_blocks);
                std::error_code ignored;
                return double(std::filesystem::file_size(path, ignored)) / double(k_gib);
            };
            int marks = 0;
            for (int step = 0; marks < 3 && writer.error() == nullptr; ++step) {
                if (!sound_alone || step < 25) {
                    auto* frame = new video_message(video_message::e_data_format(0),
                                                    info.frame_width, info.frame_height);
                    writer.write_video(frame, -1);
                    frame->release();
                }
                auto* block = new audio_message(1920, 4, 0);
                block->sample_rate() = 48000;
                writer.write_audio(block);
                block->release();
                if (step % 25 == 0 && done(step) >= (marks + 1) / 4.0 + (marks == 2 ? 0.25 : 0)) {
                    at[marks++] = peak_rss_mib();
                }
            }
            if (writer.error() != nullptr) state.SkipWithError("the writer failed");
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["peak_MiB_quarter"] = at[0];
        state.counters["peak_MiB_half"] = at[1];
        state.counters["peak_MiB_end"] = at[2];
        state.counters["growth_MiB"] = at[2] - at[0];
    }
    std::remove(path.c_str());
}
BENCHMARK(memory_flat)
    ->ArgName("sound_alone")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
