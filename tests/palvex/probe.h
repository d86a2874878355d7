// Independent judges of the files the writer makes: Debian's native ffprobe
// (under Wine as well), and on Linux GStreamer and MediaInfo.
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

// Video packets in decoding order: whether each is a key frame.
std::vector<bool> key_frames(const std::string& file);

// Sound presented, from the packets the demuxer gives after the edit.
struct presented_sound {
    std::int64_t samples = 0;
    std::int64_t frames = 0;  // AAC frames of which anything is presented
};
presented_sound presented(const std::string& file);

// Presentation times in seconds of the white pictures and of the starts of
// the tone bursts (to the millisecond) of a clock-signal recording.
std::vector<double> flash_times(const std::string& file);
std::vector<double> burst_times(const std::string& file);

// GStreamer: qtdemux and the decoders, sound made gap-free from the start of
// the presentation. Linux only.
struct gst_result {
    bool ran = false;
    std::int64_t video_frames = -1;
    std::int64_t audio_samples = -1;
    std::vector<double> flashes;  // seconds
    std::vector<double> bursts;
    std::string text;
};
gst_result gst_decode(const std::string& file);

// MediaInfo's counts. Linux only.
struct mediainfo_result {
    bool ran = false;
    std::int64_t video_frames = -1;
    std::int64_t audio_frames = -1;  // AAC frames presented
    std::string text;
};
mediainfo_result mediainfo(const std::string& file);

// Frames decoded per stream (video first) by FFmpeg's own demuxer and
// decoders, in this process: quicker than a probe, for many files. {-1}
// when the file does not open. A stream whose decoder refuses a packet
// counts -1000000, unless `refused` is given: it then counts the packets
// refused, and the frames go on counting.
std::vector<std::int64_t> decode_here(const std::string& file, std::int64_t* refused = nullptr);

}  // namespace palvex_test
