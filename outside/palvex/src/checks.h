// What the writer accepts: the settings, and each message. Every check
// returns the fault with the text the user reads.
#pragma once

#include <cstdint>
#include <string>

#include "fault.h"
#include "selmet/palvex/mp4.h"

namespace Selmet::Palvex::detail {

using video_message = Karvon::Wendrix::video::message;
using audio_message = Karvon::Wendrix::audio::message;

constexpr std::int32_t k_max_audio_channels = 8;

// Checks the settings and gives the file name as UTF-8.
fault check_settings(const writer::mp4::info& settings, std::string& path);

fault check_video_frame(const video_message* frame, std::int32_t width, std::int32_t height);

// The frame number of a frame at `time` (-1: the next one after `last`).
fault check_video_time(std::int64_t time, std::int32_t frame_duration, std::int64_t last,
                       std::int64_t& frame);

// The first sound block decides the file's channels and rate.
fault check_first_audio_block(const audio_message* samples, bool file_started);

fault check_audio_block(const audio_message* samples, std::int32_t channels, std::int32_t rate);

}  // namespace Selmet::Palvex::detail
