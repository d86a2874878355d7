#include "checks.h"

#include "platform/wide_text.h"

namespace Selmet::Palvex::detail {

namespace {

constexpr std::int32_t k_min_dimension = 16;
constexpr std::int32_t k_max_dimension = 16384;
constexpr std::int32_t k_min_bit_rate = 1000;
constexpr std::int32_t k_min_sample_rate = 8000;
constexpr std::int32_t k_max_sample_rate = 96000;

std::string number(std::int64_t value) {
    return std::to_string(value);
}

fault refuse(std::string text) {
    return failure(e_fault_settings, std::move(text));
}

fault refuse_message(std::string text) {
    return failure(e_fault_message, std::move(text));
}

}  // namespace

fault check_settings(const writer::mp4::info& s, std::string& path) {
    if (s.file_name == nullptr) return refuse("No output file name is set");
    bool valid = true;
    path = Karvon::Platform::utf16_to_utf8(s.file_name, &valid);
    if (!valid) return refuse("The output file name is not valid UTF-16");
    if (path.empty()) return refuse("The output file name is empty");
    const std::int32_t w = s.frame_width;
    const std::int32_t h = s.frame_height;
    if (w < k_min_dimension || w > k_max_dimension || h < k_min_dimension || h > k_max_dimension ||
        w % 2 != 0 || h % 2 != 0) {
        return refuse("Frame size " + number(w) + "x" + number(h) +
                      " cannot be recorded: width and height must be even and from " +
                      number(k_min_dimension) + " to " + number(k_max_dimension));
    }
    if (s.time_scale <= 0 || s.frame_duration <= 0) {
        return refuse("Frame rate " + number(s.time_scale) + "/" + number(s.frame_duration) +
                      " cannot be recorded: time scale and frame duration must be positive");
    }
    if (s.bit_rate < k_min_bit_rate) {
        return refuse("Video bit rate " + number(s.bit_rate) +
                      " cannot be recorded: it must be at least 1000 bits per second");
    }
    if (s.audio_bit_rate < k_min_bit_rate) {
        return refuse("Audio bit rate " + number(s.audio_bit_rate) +
                      " cannot be recorded: it must be at least 1000 bits per second");
    }
    if (s.key_frame_ms <= 0) {
        return refuse("Key frame distance " + number(s.key_frame_ms) +
                      " ms cannot be recorded: it must be positive");
    }
    if (s.encoder_preset == nullptr) return refuse("No H.264 encoder preset is set");
    return {};
}

fault check_video_frame(const video_message* frame, std::int32_t width, std::int32_t height) {
    if (frame == nullptr) return refuse_message("A video write came without a frame");
    if (frame->data_format() != video_message::e_data_format_yuv420p) {
        return refuse_message("A video frame has data format " + number(frame->data_format()) +
                              ", which this writer cannot take");
    }
    if (frame->width() != width || frame->height() != height) {
        return refuse_message("A video frame is " + number(frame->width()) + "x" +
                              number(frame->height()) + ", but the file is " + number(width) + "x" +
                              number(height));
    }
    return {};
}

fault check_video_time(std::int64_t time, std::int32_t frame_duration, std::int64_t last,
                       std::int64_t& frame) {
    if (time == -1) {
        frame = last + 1;
        return {};
    }
    if (time < 0) {
        return refuse_message("Video time " + number(time) +
                              " is not valid (-1 means the next frame)");
    }
    // Rounded to the nearest frame.
    frame = time / frame_duration + (time % frame_duration + frame_duration / 2 >= frame_duration);
    if (frame <= last) {
        return refuse_message("Video time " + number(time) +
                              " does not come after the previous frame");
    }
    return {};
}

fault check_first_audio_block(const audio_message* samples, bool file_started) {
    if (samples == nullptr) return refuse_message("An audio write came without samples");
    if (file_started) {
        return refuse_message(
            "Sound came after the file was started without a sound track (pictures wait for the "
            "first sound for a second)");
    }
    const std::int32_t channels = samples->channels();
    const std::int32_t rate = samples->sample_rate();
    if (channels < 1 || channels > k_max_audio_channels) {
        return refuse_message("An audio block has " + number(channels) +
                              " channels; AAC takes 1 to " + number(k_max_audio_channels));
    }
    if (rate < k_min_sample_rate || rate > k_max_sample_rate) {
        return refuse_message("An audio block has sample rate " + number(rate) +
                              " Hz; AAC takes 8000 to 96000 Hz");
    }
    return {};
}

fault check_audio_block(const audio_message* samples, std::int32_t channels, std::int32_t rate) {
    if (samples == nullptr) return refuse_message("An audio write came without samples");
    if (samples->channels() != channels || samples->sample_rate() != rate) {
        return refuse_message("An audio block has " + number(samples->channels()) +
                              " channels at " + number(samples->sample_rate()) +
                              " Hz, but the file has " + number(channels) + " channels at " +
                              number(rate) + " Hz");
    }
    return {};
}

}  // namespace Selmet::Palvex::detail
