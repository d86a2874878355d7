#include "selmet/palvex/mp4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "probe.h"
#include "test_support.h"

#pragma GCC diagnostic ignored "-Wignored-qualifiers"

namespace {

using namespace palvex_test;

// One soak iteration: a video and an audio message, written and given up.
// With `keep`, the test keeps a hold on both and collects them.
void write_pair(mp4& writer, const mp4::info& info, std::vector<const video_message*>* kept_video,
                std::vector<const audio_message*>* kept_audio) {
    video_message* frame =
        new video_message(video_message::e_data_format(0), info.frame_width, info.frame_height);
    frame->field_type() = video_message::e_field_type(3);
    audio_message* block = new audio_message(48000 * info.frame_duration / info.time_scale, 4, 0);
    block->sample_rate() = 48000;
    if (kept_video != nullptr) {
        frame->addref();
        kept_video->push_back(frame);
    }
    if (kept_audio != nullptr) {
        block->addref();
        kept_audio->push_back(block);
    }
    writer.write_video(frame, -1);
    writer.write_audio(block);
    frame->release();
    block->release();
}

// The writer has given every message back exactly once: the test's own hold
// is the last one.
template <typename message>
void expect_only_test_holds(const std::vector<const message*>& kept) {
    for (const message* m : kept) EXPECT_EQ(m->release(), 0);
}

TEST(mp4_info, defaults_are_usable_and_fields_keep_their_order) {
    mp4::info info;
    EXPECT_EQ(info.file_name, nullptr);
    EXPECT_EQ(info.frame_width, 1920);
    EXPECT_EQ(info.frame_height, 1080);
    EXPECT_GT(info.bit_rate, 0);
    EXPECT_GT(info.time_scale, 0);
    EXPECT_GT(info.frame_duration, 0);
    EXPECT_GT(info.key_frame_ms, 0);
    EXPECT_LE(info.key_frame_ms, 2000);
    EXPECT_NE(info.encoder_preset, nullptr);
    static_assert(sizeof(info.bit_rate) == 4 && sizeof(info.frame_width) == 4 &&
                  sizeof(info.frame_height) == 4 && sizeof(info.time_scale) == 4 &&
                  sizeof(info.frame_duration) == 4);
    static_assert(offsetof(mp4::info, file_name) < offsetof(mp4::info, bit_rate));
    static_assert(offsetof(mp4::info, bit_rate) < offsetof(mp4::info, frame_width));
    static_assert(offsetof(mp4::info, frame_width) < offsetof(mp4::info, frame_height));
    static_assert(offsetof(mp4::info, frame_height) < offsetof(mp4::info, time_scale));
    static_assert(offsetof(mp4::info, time_scale) < offsetof(mp4::info, frame_duration));
    static_assert(std::is_same_v<decltype(&mp4::write_video),
                                 const bool (mp4::*)(const video_message*, std::int64_t)>);
    static_assert(
        std::is_same_v<decltype(&mp4::write_audio), const bool (mp4::*)(const audio_message*)>);
    static_assert(std::is_same_v<decltype(&mp4::error), const mp4::wchar16* (mp4::*)() const>);
    static_assert(std::is_constructible_v<mp4, mp4::info&>);
}

TEST(mp4_writer, clean_close_leaves_a_complete_ordinary_mp4) {
    settings s("palvex_clean.m4v");
    std::vector<const video_message*> video;
    std::vector<const audio_message*> audio;
    constexpr int k_frames = 50;
    {
        mp4 writer(s.info);
        ASSERT_EQ(writer.error(), nullptr);
        for (int i = 0; i < k_frames; ++i) {
            write_pair(writer, s.info, &video, &audio);
            ASSERT_EQ(writer.error(), nullptr) << narrow(writer.error());
        }
        // The soak divides by these in every iteration.
        EXPECT_EQ(s.info.time_scale, 30000);
        EXPECT_EQ(s.info.frame_duration, 1200);
    }
    expect_only_test_holds(video);
    expect_only_test_holds(audio);

    const probe_result p = probe("palvex_clean.m4v");
    ASSERT_TRUE(p.ran) << p.text;
    EXPECT_EQ(p.video_codec, "h264");
    EXPECT_EQ(p.width, 1920);
    EXPECT_EQ(p.height, 1080);
    EXPECT_EQ(p.video_frames, k_frames);
    EXPECT_EQ(p.audio_codec, "aac");
    EXPECT_EQ(p.sample_rate, 48000);
    EXPECT_EQ(p.channels, 4);
    // 2 s of sound in 1024-sample AAC frames.
    EXPECT_NEAR(double(p.audio_frames), 2.0 * 48000 / 1024, 4.0);
    EXPECT_NEAR(p.duration, 2.0, 0.05) << p.text;
    // Constant rate: black pictures still fill the set bit rate.
    EXPECT_GT(file_size("palvex_clean.m4v"), std::int64_t(0.85 * 5000000 / 8 * 2));

    // One full index, no fragments left for a player to puzzle over.
    const std::vector<std::uint8_t> bytes = read_file("palvex_clean.m4v");
    const std::vector<std::string> boxes = top_level_boxes(bytes);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "?"), 0);
    EXPECT_EQ(boxes.front(), "ftyp");
    const std::vector<std::string> moov = child_boxes(bytes, "moov");
    EXPECT_EQ(std::count(moov.begin(), moov.end(), "mvex"), 0);
    EXPECT_EQ(std::count(moov.begin(), moov.end(), "trak"), 2);
}

TEST(mp4_writer, an_open_file_plays_up_to_its_last_complete_fragment) {
    settings s("palvex_open.m4v");
    constexpr int k_frames = 90;
    // The writer stays open while the file is looked at: the file is what a
    // killed process leaves, since nothing of the close has happened yet.
    mp4* writer = new mp4(s.info);
    for (int i = 0; i < k_frames; ++i) write_pair(*writer, s.info, nullptr, nullptr);
    ASSERT_EQ(writer->error(), nullptr);
    const probe_result p = probe("palvex_open.m4v");
    const std::vector<bool> keys = key_frames("palvex_open.m4v");
    const std::vector<std::string> boxes = top_level_boxes(read_file("palvex_open.m4v"));
#if !defined(_WIN32)
    const gst_result g = gst_decode("palvex_open.m4v");
    const mediainfo_result m = mediainfo("palvex_open.m4v");
#endif
    delete writer;

    ASSERT_TRUE(p.ran) << p.text;
    EXPECT_EQ(p.video_codec, "h264");
    EXPECT_EQ(p.audio_codec, "aac");
    // Key frames every second (25 frames): whole fragments only.
    EXPECT_GE(p.video_frames, 25);
    EXPECT_LT(p.video_frames, k_frames);
    EXPECT_EQ(p.video_frames % 25, 0) << p.video_frames;
    EXPECT_GE(std::count(boxes.begin(), boxes.end(), "moof"), 1);
#if !defined(_WIN32)
    // Independent parsers count the same.
    ASSERT_TRUE(g.ran) << g.text;
    EXPECT_EQ(g.video_frames, p.video_frames);
    ASSERT_TRUE(m.ran) << m.text;
    EXPECT_EQ(m.video_frames, p.video_frames);
    EXPECT_EQ(m.audio_frames, p.audio_frames);
#endif
    // A key frame exactly every 25 frames, and no other.
    ASSERT_EQ(std::int64_t(keys.size()), p.video_frames);
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keys[i], i % 25 == 0) << "frame " << i;
}

TEST(mp4_writer, explicit_video_times_and_the_next_frame) {
    settings s("palvex_times.m4v");
    s.info.frame_width = 320;
    s.info.frame_height = 240;
    {
        mp4 writer(s.info);
        for (std::int64_t time : {std::int64_t(0), std::int64_t(1200), std::int64_t(-1),
                                  std::int64_t(6000), std::int64_t(-1)}) {
            video_message* frame =
                new video_message(video_message::e_data_format_yuv420p, 320, 240);
            audio_message* block = new audio_message(1920, 4, 0);
            block->sample_rate() = 48000;
            EXPECT_TRUE(writer.write_video(frame, time));
            EXPECT_TRUE(writer.write_audio(block));
            frame->release();
            block->release();
        }
        EXPECT_EQ(writer.error(), nullptr) << narrow(writer.error());
    }
    const probe_result p = probe("palvex_times.m4v");
    ASSERT_TRUE(p.ran) << p.text;
    EXPECT_EQ(p.video_frames, 5);
    EXPECT_EQ(p.width, 320);
}

TEST(mp4_writer, a_file_name_beyond_ascii_reaches_the_disk_intact) {
    // "palvex_", u-umlaut, euro sign, an emoji (a surrogate pair), ".m4v".
    const mp4::wchar16 name[] = {'p',    'a',    'l',    'v', 'e', 'x', '_', 0x00FC,
                                 0x20AC, 0xD83D, 0xDE00, '.', 'm', '4', 'v', 0};
    const std::filesystem::path path(u8"palvex_\u00fc\u20ac\U0001F600.m4v");
    std::filesystem::remove(path);
    mp4::info info;
    info.file_name = name;
    info.frame_width = 320;
    info.frame_height = 240;
    {
        mp4 writer(info);
        ASSERT_EQ(writer.error(), nullptr) << narrow(writer.error());
        for (int i = 0; i < 3; ++i) write_pair(writer, info, nullptr, nullptr);
        EXPECT_EQ(writer.error(), nullptr);
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_GT(std::filesystem::file_size(path), 1000u);
    std::filesystem::remove(path);
}

TEST(mp4_writer, open_failure_shows_at_once_and_takes_no_message) {
    settings s("palvex_dir.m4v");
    std::filesystem::create_directories("palvex_dir.m4v");
    mp4 writer(s.info);
    ASSERT_NE(writer.error(), nullptr);
    const std::string text = narrow(writer.error());
    EXPECT_EQ(text.rfind("Cannot open output file 'palvex_dir.m4v': ", 0), 0u) << text;
#if !defined(_WIN32)
    EXPECT_EQ(text, "Cannot open output file 'palvex_dir.m4v': Is a directory");
#endif
    video_message* frame = new video_message(video_message::e_data_format_yuv420p, 1920, 1080);
    audio_message* block = new audio_message(1920, 4, 0);
    EXPECT_FALSE(writer.write_video(frame, -1));
    EXPECT_FALSE(writer.write_audio(block));
    EXPECT_EQ(frame->release(), 0);
    EXPECT_EQ(block->release(), 0);
    EXPECT_EQ(narrow(writer.error()), text);
}

TEST(mp4_writer, unusable_settings_are_refused_with_a_reason) {
    struct bad {
        void (*change)(mp4::info&);
        const char* reason;
    };
    const bad cases[] = {
        {[](mp4::info& i) { i.file_name = nullptr; }, "No output file name"},
        {[](mp4::info& i) { i.frame_width = 1921; }, "Frame size 1921x1080"},
        {[](mp4::info& i) { i.frame_height = 0; }, "Frame size 1920x0"},
        {[](mp4::info& i) { i.time_scale = 0; }, "Frame rate 0/1200"},
        {[](mp4::info& i) { i.frame_duration = -1; }, "Frame rate 30000/-1"},
        {[](mp4::info& i) { i.bit_rate = 0; }, "Video bit rate 0"},
        {[](mp4::info& i) { i.encoder_preset = "no-such-preset"; }, "Cannot open the H.264"},
    };
    for (const bad& c : cases) {
        settings s("palvex_settings.m4v");
        c.change(s.info);
        mp4 writer(s.info);
        ASSERT_NE(writer.error(), nullptr) << c.reason;
        EXPECT_EQ(narrow(writer.error()).rfind(c.reason, 0), 0u) << narrow(writer.error());
    }
    // A name that is not UTF-16 cannot become a file name.
    const mp4::wchar16 broken[] = {mp4::wchar16('a'), mp4::wchar16(0xD800), mp4::wchar16('b'), 0};
    mp4::info info;
    info.file_name = broken;
    mp4 writer(info);
    EXPECT_EQ(narrow(writer.error()), "The output file name is not valid UTF-16");
}

TEST(mp4_writer, a_message_it_cannot_take_fails_the_writer_for_good) {
    struct bad {
        const char* what;
        const char* reason;
        bool (*write)(mp4&);
    };
    const bad cases[] = {
        {"no frame", "A video write came without a frame",
         [](mp4& w) { return w.write_video(nullptr, -1); }},
        {"no samples", "An audio write came without samples",
         [](mp4& w) { return w.write_audio(nullptr); }},
        {"wrong size", "A video frame is 640x480, but the file is 320x240",
         [](mp4& w) {
             video_message* f = new video_message(video_message::e_data_format_yuv420p, 640, 480);
             const bool ok = w.write_video(f, -1);
             EXPECT_EQ(f->release(), 0);
             return ok;
         }},
        {"time going back", "Video time 1200 does not come after the previous frame",
         [](mp4& w) {
             video_message* f = new video_message(video_message::e_data_format_yuv420p, 320, 240);
             const bool ok = w.write_video(f, 1200);
             EXPECT_EQ(f->release(), 0);
             return ok;
         }},
        {"negative time", "Video time -7 is not valid",
         [](mp4& w) {
             video_message* f = new video_message(video_message::e_data_format_yuv420p, 320, 240);
             const bool ok = w.write_video(f, -7);
             EXPECT_EQ(f->release(), 0);
             return ok;
         }},
        {"channel change", "An audio block has 2 channels at 48000 Hz, but the file has 4",
         [](mp4& w) {
             audio_message* a = new audio_message(1920, 2, 0);
             const bool ok = w.write_audio(a);
             EXPECT_EQ(a->release(), 0);
             return ok;
         }},
    };
    for (const bad& c : cases) {
        settings s("palvex_bad_message.m4v");
        s.info.frame_width = 320;
        s.info.frame_height = 240;
        std::vector<const video_message*> video;
        std::vector<const audio_message*> audio;
        {
            mp4 writer(s.info);
            // Two good frames first (times 0 and 1200).
            write_pair(writer, s.info, &video, &audio);
            write_pair(writer, s.info, &video, &audio);
            ASSERT_EQ(writer.error(), nullptr) << c.what;
            EXPECT_FALSE(c.write(writer)) << c.what;
            ASSERT_NE(writer.error(), nullptr) << c.what;
            const std::string text = narrow(writer.error());
            EXPECT_EQ(text.rfind(c.reason, 0), 0u) << text;
            // Refused from now on, and the first reason stays.
            write_pair(writer, s.info, &video, &audio);
            EXPECT_EQ(narrow(writer.error()), text);
        }
        expect_only_test_holds(video);
        expect_only_test_holds(audio);
        // What came before the bad message is in a properly finished file.
        const probe_result p = probe("palvex_bad_message.m4v");
        ASSERT_TRUE(p.ran) << c.what << p.text;
        EXPECT_EQ(p.video_frames, 2) << c.what;
        const std::vector<std::string> boxes = top_level_boxes(read_file("palvex_bad_message.m4v"));
        EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0) << c.what;
    }
}

TEST(mp4_writer, sound_with_a_sample_rate_aac_cannot_carry_is_refused) {
    settings s("palvex_rate.m4v");
    s.info.frame_width = 320;
    s.info.frame_height = 240;
    mp4 writer(s.info);
    audio_message* block = new audio_message(1920, 4, 0);
    block->sample_rate() = 1000;
    EXPECT_FALSE(writer.write_audio(block));
    EXPECT_EQ(block->release(), 0);
    EXPECT_EQ(narrow(writer.error()).rfind("An audio block has sample rate 1000 Hz", 0), 0u);
}

// The flash of every second with pictures at that second, and the burst of
// every second with sound within one AAC frame (1024 samples) of it.
void expect_in_step(const std::vector<double>& flashes, const std::vector<double>& bursts,
                    std::size_t pictures, std::size_t sound, const char* judge) {
    ASSERT_EQ(flashes.size(), pictures) << judge;
    ASSERT_EQ(bursts.size(), sound) << judge;
    for (std::size_t i = 0; i < sound; ++i) {
        if (i < pictures) {
            EXPECT_NEAR(flashes[i], double(i), 0.001) << judge << " flash " << i;
        }
        EXPECT_NEAR(bursts[i], double(i), 1024.0 / 48000) << judge << " burst " << i;
    }
}

// Ten seconds of sound, with pictures all along or for the first five only
// (the sound after the last picture is cut into fragments by time).
TEST(mp4_writer, picture_and_sound_start_together_and_every_sound_block_lands_at_its_time) {
    for (const std::size_t pictures : {10u, 5u}) {
        constexpr std::size_t k_sound = 10;
        SCOPED_TRACE(std::to_string(pictures) + " s of pictures");
        const std::string file = "palvex_sync.m4v";
        settings s(file, 320, 240);
        {
            mp4 writer(s.info);
            clock_signal signal(320, 240);
            ASSERT_TRUE(write_clock(writer, signal, int(25 * pictures))) << narrow(writer.error());
            for (std::size_t i = 25 * pictures; i < 25 * k_sound; ++i) {
                audio_message* block = signal.next_block();
                EXPECT_TRUE(writer.write_audio(block));
                block->release();
            }
            ASSERT_TRUE(writer.close()) << narrow(writer.error());
        }
        const auto frames_shown = std::int64_t(25 * pictures);
        const probe_result p = probe(file);
        ASSERT_TRUE(p.ran) << p.text;
        EXPECT_EQ(p.video_frames, frames_shown);
        // Every sample recorded is presented, in whole AAC frames: no more
        // than what fills the last one.
        const std::int64_t recorded = std::int64_t(25 * k_sound) * 1920;
        const std::int64_t frames = (recorded + 1023) / 1024;
        const presented_sound sound = presented(file);
        EXPECT_EQ(sound.frames, frames);
        EXPECT_GE(sound.samples, recorded);
        EXPECT_LE(sound.samples, frames * 1024 + 1);  // the edit's one tick more
        const std::vector<double> flashes = flash_times(file);
        const std::vector<double> bursts = burst_times(file);
        expect_in_step(flashes, bursts, pictures, k_sound, "ffprobe");
#if !defined(_WIN32)
        const gst_result g = gst_decode(file);
        ASSERT_TRUE(g.ran) << g.text;
        EXPECT_EQ(g.video_frames, frames_shown);
        EXPECT_EQ(g.audio_samples, frames * 1024);
        expect_in_step(g.flashes, g.bursts, pictures, k_sound, "GStreamer");
        const mediainfo_result m = mediainfo(file);
        ASSERT_TRUE(m.ran) << m.text;
        EXPECT_EQ(m.video_frames, frames_shown) << m.text;
        EXPECT_EQ(m.audio_frames, frames) << m.text;
#endif
    }
}

TEST(mp4_writer, close_ends_the_file_once_and_refuses_later_writes) {
    settings s("palvex_close.m4v", 320, 240);
    mp4 writer(s.info);
    clock_signal signal(320, 240);
    ASSERT_TRUE(write_clock(writer, signal, 30));
    EXPECT_TRUE(writer.close());
    EXPECT_EQ(writer.error(), nullptr);
    // The file is complete while the writer still exists.
    const probe_result p = probe("palvex_close.m4v");
    ASSERT_TRUE(p.ran) << p.text;
    EXPECT_EQ(p.video_frames, 30);
    const std::vector<std::uint8_t> closed = read_file("palvex_close.m4v");
    const std::vector<std::string> boxes = top_level_boxes(closed);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);

    EXPECT_FALSE(write_clock(writer, signal, 1));
    EXPECT_EQ(narrow(writer.error()), "A video write came after close");
    EXPECT_FALSE(writer.close());
    EXPECT_EQ(read_file("palvex_close.m4v"), closed);
}

// The writer owns its file: moved away while it is written, it is still
// written, finished and synced where it now is, through the same handle.
TEST(mp4_writer, a_file_moved_while_it_is_written_is_still_finished) {
    settings s("palvex_moved.m4v", 320, 240);
    std::remove("palvex_moved_away.m4v");
    mp4 writer(s.info);
    clock_signal signal(320, 240);
    ASSERT_TRUE(write_clock(writer, signal, 30));
    ASSERT_EQ(std::rename("palvex_moved.m4v", "palvex_moved_away.m4v"), 0);
    ASSERT_TRUE(write_clock(writer, signal, 30));
    EXPECT_TRUE(writer.close()) << narrow(writer.error());
    EXPECT_FALSE(std::filesystem::exists("palvex_moved.m4v"));
    const std::vector<std::string> boxes = top_level_boxes(read_file("palvex_moved_away.m4v"));
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    const probe_result p = probe("palvex_moved_away.m4v");
    ASSERT_TRUE(p.ran) << p.text;
    EXPECT_EQ(p.video_frames, 60);
}

}  // namespace
