// Started by a shell that limits the size of the files it may write
// (ulimit -f) and ignores SIGXFSZ, so a write past the limit fails. On Linux
// the writer reads the limit and stops media where the index still fits
// below it; Windows has no such limit, so under Wine the writer meets it as
// a failed write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "probe.h"
#include "selmet/palvex/mp4.h"
#include "test_support.h"

namespace {

using namespace palvex_test;

TEST(palvex_limit, the_file_ends_finished_within_the_limit) {
    const std::string file = "palvex_limit.m4v";
    std::remove(file.c_str());
    const std::basic_string<mp4::wchar16> name(file.begin(), file.end());
    mp4::info info;
    info.file_name = name.c_str();
    info.bit_rate = 5000000;
    info.time_scale = 30000;
    info.frame_duration = 1200;

    // The limit is 2 MiB or 4 MiB (512- or 1024-byte blocks): about 3 to 7 s
    // at 5 Mbit/s. Far more frames than that are offered.
    constexpr int k_most_frames = 1000;
    std::vector<const video_message*> video;
    std::vector<const audio_message*> audio;
    int pairs = 0;
    std::string text;
    std::string closed_text;  // error() after close()
    fragments before_close;
    {
        mp4 writer(info);
        ASSERT_EQ(writer.error(), nullptr) << narrow(writer.error());
        while (pairs < k_most_frames && writer.error() == nullptr) {
            video_message* frame = new video_message(video_message::e_data_format(0),
                                                     info.frame_width, info.frame_height);
            frame->field_type() = video_message::e_field_type(3);
            audio_message* block = new audio_message(1920, 4, 0);
            block->sample_rate() = 48000;
            frame->addref();
            block->addref();
            video.push_back(frame);
            audio.push_back(block);
            writer.write_video(frame, -1);
            writer.write_audio(block);
            frame->release();
            block->release();
            ++pairs;
        }
        ASSERT_NE(writer.error(), nullptr) << "no failure after " << pairs << " frames";
        text = narrow(writer.error());
#if defined(_WIN32)
        EXPECT_EQ(text.rfind("Write failed: ", 0), 0u) << text;
#else
        EXPECT_EQ(text,
                  "Recording stopped: the file size limit is reached; the file keeps its last "
                  "complete fragment and room for its index, and is finished when the writer "
                  "closes");
#endif
        // Later writes are refused and the first reason stays.
        video_message* frame =
            new video_message(video_message::e_data_format(0), info.frame_width, info.frame_height);
        EXPECT_FALSE(writer.write_video(frame, -1));
        EXPECT_EQ(narrow(writer.error()), text);
        EXPECT_EQ(frame->release(), 0);
        // What the file holds in whole fragments before the close: all of it
        // must still play afterwards.
        before_close = complete_fragments(read_file(file));
        writer.close();
        closed_text = narrow(writer.error());
    }
    // Every message went back exactly once, whatever the writer held at the end.
    for (const video_message* m : video) EXPECT_EQ(m->release(), 0);
    for (const audio_message* m : audio) EXPECT_EQ(m->release(), 0);

    const probe_result p = probe(file);
    ASSERT_TRUE(p.ran) << p.text;
    EXPECT_EQ(p.video_codec, "h264");
    EXPECT_EQ(p.width, 1920);
    EXPECT_EQ(p.audio_codec, "aac");
    // Whole fragments of 25 frames up to the failure, every one of them.
    ASSERT_EQ(before_close.samples.size(), 2u);
    EXPECT_GE(before_close.samples[0], 25);
    EXPECT_EQ(p.video_frames % 25, 0) << p.video_frames;
    EXPECT_LT(p.video_frames, pairs);
    const std::vector<std::string> boxes = top_level_boxes(read_file(file));
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "?"), 0);
    const bool finished = std::count(boxes.begin(), boxes.end(), "moof") == 0;
    EXPECT_TRUE(finished);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "mdat"), 1);
#if defined(_WIN32)
    // No room could be kept: the last fragments made room for the index,
    // where the torn one did not hold it, and close() says how much.
    EXPECT_LE(p.video_frames, before_close.samples[0]);
    EXPECT_GE(p.video_frames, before_close.samples[0] - 2 * 25);
    EXPECT_EQ(closed_text.rfind(text + "; the file is finished, with", 0), 0u) << closed_text;
#else
    EXPECT_EQ(p.video_frames, before_close.samples[0]);
    EXPECT_EQ(closed_text, text + "; the file is finished, with all of its media");
#endif
#if !defined(_WIN32)
    // Independent parsers count the same.
    const gst_result g = gst_decode(file);
    ASSERT_TRUE(g.ran) << g.text;
    EXPECT_EQ(g.video_frames, p.video_frames);
    const mediainfo_result m = mediainfo(file);
    ASSERT_TRUE(m.ran) << m.text;
    EXPECT_EQ(m.video_frames, p.video_frames) << m.text;
    EXPECT_EQ(m.audio_frames, p.audio_frames) << m.text;
#endif
    std::printf("failed after %d frames with \"%s\"; %lld frames play in a%s file\n", pairs,
                text.c_str(), static_cast<long long>(p.video_frames),
                finished ? "n ordinary" : " fragmented");
}

}  // namespace
