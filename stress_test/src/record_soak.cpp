#include "harnvik.h"
#include "karvon/wendrix/audio_message.h"
#include "karvon/wendrix/video_message.h"
#include "selmet/palvex/mp4.h"

namespace Harnvik {

namespace {

using Selmet::Palvex::writer::mp4;
namespace video = Karvon::Wendrix::video;
namespace audio = Karvon::Wendrix::audio;

constexpr std::int32_t k_bit_rate = 5000000;
constexpr std::int32_t k_time_scale = 30000;
constexpr std::int32_t k_frame_duration = 1200;  // 25 frames per second
constexpr std::int32_t k_sample_rate = 48000;
constexpr std::int32_t k_audio_channels = 4;
constexpr std::int32_t k_audio_channel_stride = 0;
constexpr std::int64_t k_next_video_time = -1;
constexpr video::message::e_data_format k_data_format = video::message::e_data_format_yuv420p;
constexpr video::message::e_field_type k_field_type = video::message::e_field_type_progressive;
static_assert(k_data_format == 0 && k_field_type == 3);

}  // namespace

void record_soak() {
    mp4::info settings;
    settings.file_name = KARVON_WIDE("HelloWorld.m4v");
    settings.bit_rate = k_bit_rate;
    settings.time_scale = k_time_scale;
    settings.frame_duration = k_frame_duration;

    print_text("%s\n", Output::k_start_text);
    mp4 writer(settings);
    if (writer.error() != nullptr) {
        print_text("%s", Output::k_open_failure_text);
        return;
    }

    for (;;) {
        video::message* const frame =
            new video::message(k_data_format, settings.frame_width, settings.frame_height);
        frame->field_type() = k_field_type;
        audio::message* const samples =
            new audio::message(k_sample_rate * settings.frame_duration / settings.time_scale,
                               k_audio_channels, k_audio_channel_stride);
        samples->sample_rate() = k_sample_rate;

        // Failure shows in error(); the writes' own results are not relied on.
        writer.write_video(frame, k_next_video_time);
        writer.write_audio(samples);
        const bool failed = writer.error() != nullptr;

        frame->release();
        samples->release();
        if (failed) break;
    }
    print_text("%s", Output::k_write_failure_text);
}

}  // namespace Harnvik
