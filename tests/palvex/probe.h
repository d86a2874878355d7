// Looks into files the writer made: Debian's native ffprobe for what a player
// sees, and a walk over the top-level boxes for how the file is laid out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace palvex_test {

struct probe_result {
    bool ran = false;  // ffprobe ran and exited with 0
    std::string video_codec;
    std::string audio_codec;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t sample_rate = 0;
    std::int32_t channels = 0;
    std::int64_t video_frames = -1;  // decoded frames
    std::int64_t audio_frames = -1;
    double duration = 0.0;  // seconds, of the whole file
    std::string text;       // ffprobe's report, for failure messages
};

// Decodes every frame of the file (relative to the working directory).
probe_result probe(const std::string& file);

// Types of the file's top-level boxes, in order ("?" for a box cut short).
std::vector<std::string> top_level_boxes(const std::string& file);
// Types of the boxes directly inside the first top-level box of one type.
std::vector<std::string> child_boxes(const std::string& file, const std::string& parent);

std::int64_t file_size(const std::string& file);

}  // namespace palvex_test
