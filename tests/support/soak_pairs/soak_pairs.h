// What Harnvik's soak hands the writer, for the tests and benchmarks that
// make recordings through the public writer: its settings, and its pairs of
// messages (a black picture of the settings' size, data format 0 and field
// type 3, and the 1920 samples of silence of four channels at 48 kHz that go
// with it).
#pragma once

#include <cstdint>
#include <string>

// The recorder's public header is older C++ than ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
#include "selmet/palvex/mp4.h"
#pragma GCC diagnostic pop

namespace soak_pairs {

using Selmet::Palvex::writer::mp4;
using wide_name = std::basic_string<mp4::wchar16>;

// A UTF-16 file name from an ASCII one.
inline wide_name wide(const std::string& name) {
    return wide_name(name.begin(), name.end());
}

// The soak's settings (5 Mbit/s, 25 frames a second at a time scale of
// 30000) for the file `name`, which must outlive the record.
inline mp4::info settings(const wide_name& name, std::int32_t width = 1920,
                          std::int32_t height = 1080, std::int32_t bit_rate = 5000000) {
    mp4::info info;
    info.file_name = name.c_str();
    info.bit_rate = bit_rate;
    info.time_scale = 30000;
    info.frame_duration = 1200;
    info.frame_width = width;
    info.frame_height = height;
    return info;
}

// Writes `pairs` pairs (all of them while negative) until error() is set:
// how many were written before it was.
inline std::int64_t write(mp4& writer, const mp4::info& info, std::int64_t pairs) {
    using video_message = Karvon::Wendrix::video::message;
    using audio_message = Karvon::Wendrix::audio::message;
    std::int64_t written = 0;
    for (; (pairs < 0 || written < pairs) && writer.error() == nullptr; ++written) {
        auto* frame =
            new video_message(video_message::e_data_format(0), info.frame_width, info.frame_height);
        frame->field_type() = video_message::e_field_type(3);
        auto* block = new audio_message(48000 * info.frame_duration / info.time_scale, 4, 0);
        block->sample_rate() = 48000;
        writer.write_video(frame, -1);
        writer.write_audio(block);
        frame->release();
        block->release();
    }
    return writer.error() == nullptr ? written : written - 1;
}

}  // namespace soak_pairs
