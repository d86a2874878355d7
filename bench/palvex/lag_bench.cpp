// How far the media handed to the writer runs ahead of what the file's
// header tells is on the disk, at Harnvik's settings (1920x1080 at 25
// frames a second and 5 Mbit/s, x264 veryfast, 1920 samples of 4-channel
// 48 kHz sound a picture), on this machine's processors and on 8 and 32 as
// the video encoder would count them: its threads, and the pictures they
// hold back, grow with them. The peak over 30 s of media, in media time
// (the encoder's speed does not enter it), for both streams, sound alone
// from the start, pictures alone from the start, and pictures 10 s before
// the first sound (which is refused: the file started without a sound
// track).
//
//   flock /tmp/karvon-bench.lock build/default/bin/palvex_lag_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>

#include "recording.h"
#include "storage.h"
#include "stream.h"

namespace {

namespace detail = Selmet::Palvex::detail;
using Selmet::Palvex::writer::mp4;
using video_message = Karvon::Wendrix::video::message;
using audio_message = Karvon::Wendrix::audio::message;

// The file's bytes are of no interest here: they go nowhere.
class no_disk final : public detail::storage {
  public:
    detail::fault write_at(std::int64_t position, std::span<const std::uint8_t> bytes) override {
        m_size = std::max(m_size, position + std::int64_t(bytes.size()));
        return {};
    }
    detail::fault read_at(std::int64_t, std::span<std::uint8_t>) override {
        return detail::failure(detail::e_fault_read, "nothing is kept");
    }
    detail::fault size(std::int64_t& out) override {
        out = m_size;
        return {};
    }
    detail::fault sync() override { return {}; }
    detail::fault truncate(std::int64_t size) override {
        m_size = size;
        return {};
    }
    e_room allocate(std::int64_t, std::string&) override {
        return Karvon::Platform::file::e_room_done;
    }
    std::int64_t size_limit() const override { return -1; }
    std::string copies_on_write() const override { return {}; }
    void close() override {}

  private:
    std::int64_t m_size = 0;
};

enum e_case { e_both, e_sound_alone, e_pictures_alone, e_pictures_first };

void lag(benchmark::State& state) {
    const auto kind = e_case(state.range(0));
    const auto cores = std::int32_t(state.range(1));
    constexpr int k_steps = 750;           // 30 s of media, 40 ms a step
    constexpr int k_pictures_first = 250;  // 10 s
    for (auto _ : state) {
        const std::u16string name = u"palvex_lag.m4v";
        mp4::info info;
        info.file_name = name.c_str();
        detail::seams seams;
        seams.cores = cores;
        detail::recording r;
        if (r.open(info, std::make_unique<no_disk>(), seams)) {
            state.SkipWithError("the recording does not open");
            return;
        }
        double peak = 0;
        bool refused = false;
        for (int step = 0; step < k_steps && !refused; ++step) {
            const bool pictures = kind != e_sound_alone;
            const bool sound = kind == e_both || kind == e_sound_alone ||
                               (kind == e_pictures_first && step >= k_pictures_first);
            if (pictures) {
                auto* frame = new video_message(video_message::e_data_format(0), info.frame_width,
                                                info.frame_height);
                frame->field_type() = video_message::e_field_type(3);
                const detail::fault f = r.write_video(frame, -1);
                frame->release();
                if (f) break;
            }
            if (sound) {
                auto* block = new audio_message(1920, 4, 0);
                block->sample_rate() = 48000;
                refused = bool(r.write_audio(block));
                block->release();
                if (refused) break;
            }
            const double handed = (step + 1) / 25.0;
            const std::uint32_t scale = r.file()->timescale();
            const double on_disk = scale == 0 ? 0 : double(r.file()->length()) / scale;
            peak = std::max(peak, handed - on_disk);
        }
        state.counters["peak_lag_s"] = peak;
        state.counters["encoder_threads"] = detail::encoder_threads(info, cores);
        state.counters["fragments"] = double(r.file()->fragments());
        state.counters["sound_refused"] = refused;
        r.close();
    }
}

// Arguments: the case, and the processors the encoder counts (2: this
// machine's, 8 and 32 faked).
BENCHMARK(lag)
    ->ArgNames({"case", "cores"})
    ->ArgsProduct({{e_both, e_sound_alone, e_pictures_alone, e_pictures_first}, {2, 8, 32}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
