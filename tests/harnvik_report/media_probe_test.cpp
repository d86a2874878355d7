#include "media/media_probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "recording.h"

extern "C" {
#include <libavformat/avformat.h>
}

#pragma GCC diagnostic ignored "-Wignored-qualifiers"

namespace {

using namespace Harnvik::Report;
using namespace Harnvik::Report::test;
namespace fs = std::filesystem;

bool can_read_mp4() {
    return av_find_input_format("mov") != nullptr;
}

class media_probe_file : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (can_read_mp4()) s_file = record("whole.m4v", "unclosed.m4v");
    }
    void SetUp() override {
        if (!can_read_mp4()) GTEST_SKIP() << "this FFmpeg build cannot read MP4 files";
    }
    static inline std::string s_file;
};

TEST_F(media_probe_file, counts_what_the_recorder_wrote) {
    media_facts facts;
    std::string error;
    std::vector<double> progress;
    probe_options options;
    options.progress = [&progress](double share) { progress.push_back(share); };
    ASSERT_TRUE(probe_media(s_file, options, facts, error)) << error;
    EXPECT_TRUE(facts.has_video);
    EXPECT_EQ(facts.video_codec, "h264");
    EXPECT_EQ(facts.width, 320);
    EXPECT_EQ(facts.height, 240);
    EXPECT_EQ(facts.video_frames, k_frames);
    EXPECT_NEAR(facts.video_duration_s, 2.0, 1e-6);
    EXPECT_TRUE(facts.has_audio);
    EXPECT_EQ(facts.audio_codec, "aac");
    EXPECT_EQ(facts.sample_rate, 48000);
    EXPECT_EQ(facts.channels, 4);
    EXPECT_EQ(facts.audio_samples, facts.audio_packets * 1024);  // whole AAC frames
    EXPECT_NEAR(static_cast<double>(facts.audio_samples), 2.0 * 48000, 3 * 1024);
    EXPECT_NEAR(facts.duration_s, 2.0, 0.2);
    EXPECT_EQ(facts.file_size, static_cast<std::int64_t>(fs::file_size(s_file)));
    std::int64_t per_second = 0;
    for (const std::int64_t bytes : facts.bytes_per_second) per_second += bytes;
    EXPECT_EQ(per_second, facts.media_bytes);
    EXPECT_GE(facts.bytes_per_second.size(), 2u);
    EXPECT_NEAR(facts.mean_bit_rate,
                static_cast<double>(facts.media_bytes) * 8.0 / facts.duration_s, 1e-6);
    EXPECT_TRUE(facts.plays_to_end()) << facts.read_error;
    EXPECT_FALSE(facts.decoded);
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_LE(progress.back(), 1.0);
}

// Where the last mdat box of a file ends, from its top-level boxes.
std::int64_t end_of_last_mdat(const std::vector<char>& file) {
    const auto byte = [&file](std::size_t at) { return static_cast<std::uint8_t>(file[at]); };
    std::int64_t end = 0;
    for (std::size_t at = 0; at + 8 <= file.size();) {
        std::uint64_t size = 0;
        for (std::size_t i = 0; i < 4; ++i) size = size << 8 | byte(at + i);
        if (size == 1 && at + 16 <= file.size()) {
            size = 0;
            for (std::size_t i = 8; i < 16; ++i) size = size << 8 | byte(at + i);
        }
        if (size < 8 || at + size > file.size()) break;
        if (std::string(&file[at + 4], 4) == "mdat") end = static_cast<std::int64_t>(at + size);
        at += size;
    }
    return end;
}

// The media ends where its last packet ends, in the file and in time: the
// bytes after it are the index of a closed file (none in the fragments of an
// unclosed one), and the media's span reaches the end of the last packet of
// each stream.
TEST_F(media_probe_file, the_media_ends_where_its_last_packet_ends) {
    for (const std::string& file : {s_file, (scratch() / "unclosed.m4v").string()}) {
        SCOPED_TRACE(file);
        media_facts facts;
        std::string error;
        ASSERT_TRUE(probe_media(file, probe_options{}, facts, error)) << error;
        const std::vector<char> bytes = bytes_of(file);
        const std::int64_t media_end = end_of_last_mdat(bytes);
        ASSERT_GT(media_end, 0);
        EXPECT_EQ(facts.tail_bytes, static_cast<std::int64_t>(bytes.size()) - media_end);
        // Frames of 40 ms: the video ends 40 ms after its last frame starts.
        EXPECT_NEAR(facts.video_duration_s, static_cast<double>(facts.video_frames) * 0.04, 1e-6);
        EXPECT_GE(facts.duration_s, facts.video_duration_s - 1e-9);
        EXPECT_GE(facts.duration_s, facts.audio_duration_s - 1e-9);
    }
}

TEST_F(media_probe_file, full_decode_of_a_sound_file) {
    media_facts facts;
    std::string error;
    probe_options options;
    options.decode = true;
    ASSERT_TRUE(probe_media(s_file, options, facts, error)) << error;
    EXPECT_TRUE(facts.decoded);
    EXPECT_EQ(facts.decoded_video_frames, k_frames);
    // The decoder leaves out the first frame when the file marks its samples
    // as the encoder's priming.
    EXPECT_GE(facts.decoded_audio_frames, facts.audio_packets - 1);
    EXPECT_LE(facts.decoded_audio_frames, facts.audio_packets);
    EXPECT_EQ(facts.decoded_audio_samples, facts.decoded_audio_frames * 1024);
    EXPECT_EQ(facts.decode_errors, 0);
    EXPECT_TRUE(facts.messages.empty()) << facts.messages.front();
}

TEST_F(media_probe_file, a_file_cut_inside_a_fragment) {
    std::vector<char> bytes = bytes_of((scratch() / "unclosed.m4v").string());
    bytes.resize(bytes.size() * 7 / 10);
    const std::string cut = (scratch() / "cut.m4v").string();
    write_bytes(cut, bytes);
    media_facts facts;
    std::string error;
    probe_options options;
    ASSERT_TRUE(probe_media(cut, options, facts, error)) << error;
    EXPECT_GT(facts.video_frames, 0);
    EXPECT_LT(facts.video_frames, k_frames);
    EXPECT_GT(facts.corrupt_packets + facts.demuxer_messages, 0);
    EXPECT_FALSE(facts.plays_to_end());
    options.decode = true;
    ASSERT_TRUE(probe_media(cut, options, facts, error)) << error;
    EXPECT_GT(facts.decode_errors, 0);
    EXPECT_LT(facts.decoded_video_frames, facts.video_frames);
    EXPECT_GT(facts.decoded_video_frames, 0);
}

TEST_F(media_probe_file, damaged_media_is_found_by_the_decode) {
    // Noise over the middle half of a cleanly closed file: sample data only,
    // since its index sits at the end and its header at the start.
    std::vector<char> bytes = bytes_of(s_file);
    std::uint32_t noise = 12345;
    for (std::size_t at = bytes.size() / 4; at < bytes.size() * 3 / 4; ++at) {
        noise = noise * 1103515245u + 12345u;
        bytes[at] = static_cast<char>(noise >> 16);
    }
    const std::string damaged = (scratch() / "damaged.m4v").string();
    write_bytes(damaged, bytes);
    media_facts facts;
    std::string error;
    probe_options options;
    ASSERT_TRUE(probe_media(damaged, options, facts, error)) << error;
    EXPECT_EQ(facts.video_frames, k_frames);  // the demuxer alone sees nothing wrong
    options.decode = true;
    ASSERT_TRUE(probe_media(damaged, options, facts, error)) << error;
    EXPECT_GT(facts.decode_errors, 0);
    EXPECT_FALSE(facts.plays_to_end());
    EXPECT_FALSE(facts.messages.empty());
}

TEST(media_probe, what_is_not_media_gets_a_clear_error) {
    const fs::path folder = scratch();
    const std::string text = (folder / "notes.m4v").string();
    std::ofstream(text) << "Thread 0, memcpy = 5.00Gb/s\n";
    const std::string empty = (folder / "empty.m4v").string();
    std::ofstream{empty};
    const std::string missing = (folder / "missing.m4v").string();
    for (const std::string& file : {text, empty, missing, folder.string()}) {
        media_facts facts;
        std::string error;
        EXPECT_FALSE(probe_media(file, probe_options{}, facts, error)) << file;
        EXPECT_NE(error.find(file), std::string::npos) << error;
    }
}

}  // namespace
