#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "karvon/wendrix/audio_message.h"
#include "karvon/wendrix/video_message.h"

#pragma GCC diagnostic ignored "-Wignored-qualifiers"

namespace {

using video_message = Karvon::Wendrix::video::message;
using audio_message = Karvon::Wendrix::audio::message;

bool all_equal(const std::uint8_t* data, std::size_t size, std::uint8_t value) {
    return std::all_of(data, data + size, [value](std::uint8_t b) { return b == value; });
}

bool picture_is_black(const video_message& frame) {
    for (std::int32_t p = 0; p < 3; ++p) {
        const std::uint8_t value = p == 0 ? 16 : 128;
        for (std::int32_t y = 0; y < frame.plane_height(p); ++y) {
            if (!all_equal(frame.plane(p) + std::size_t(y) * std::size_t(frame.stride(p)),
                           std::size_t(frame.plane_width(p)), value)) {
                return false;
            }
        }
    }
    return true;
}

// The interface the recording soak compiles against.
static_assert(sizeof(video_message::e_data_format) == 4);
static_assert(sizeof(video_message::e_field_type) == 4);
static_assert(std::is_same_v<decltype(&video_message::release),
                             const std::int32_t (video_message::*)() const>);
static_assert(std::is_same_v<decltype(std::declval<video_message&>().field_type()),
                             video_message::e_field_type&>);

TEST(video_message, new_frame_is_black_with_aligned_planes) {
    for (auto [w, h] : {std::pair{1920, 1080}, std::pair{33, 17}, std::pair{1, 1}}) {
        video_message* frame = new video_message(video_message::e_data_format_yuv420p, w, h);
        const video_message& view = *frame;
        EXPECT_EQ(view.plane_width(0), w);
        EXPECT_EQ(view.plane_height(0), h);
        EXPECT_EQ(view.plane_width(1), (w + 1) / 2);
        EXPECT_EQ(view.plane_height(2), (h + 1) / 2);
        for (std::int32_t p = 0; p < 3; ++p) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(view.plane(p)) % 64, 0u) << p;
            EXPECT_EQ(view.stride(p) % 64, 0) << p;
            EXPECT_GE(view.stride(p), view.plane_width(p)) << p;
            // 64 readable bytes past the last row of every plane.
            const std::uint8_t* end =
                view.plane(p) +
                std::size_t(view.stride(p)) * std::size_t(view.plane_height(p) - 1) +
                std::size_t(view.plane_width(p));
            EXPECT_LE(end + 64, view.plane(0) + view.buffer_size()) << p;
        }
        EXPECT_TRUE(picture_is_black(view)) << w << "x" << h;
        EXPECT_EQ(view.plane(3), nullptr);
        EXPECT_EQ(view.plane(-1), nullptr);
        EXPECT_EQ(view.stride(3), 0);
        frame->release();
    }
}

TEST(video_message, buffers_are_reused_and_painted_frames_come_back_black) {
    video_message* first = new video_message(video_message::e_data_format_yuv420p, 640, 360);
    const std::uint8_t* buffer = static_cast<const video_message*>(first)->plane(0);
    // Paint the picture; the next frame from the same buffer must be black again.
    std::fill_n(first->plane(0), 640, std::uint8_t(235));
    std::fill_n(first->plane(2), 320, std::uint8_t(0));
    first->release();
    video_message* second = new video_message(video_message::e_data_format_yuv420p, 640, 360);
    EXPECT_EQ(static_cast<const video_message*>(second)->plane(0), buffer);
    EXPECT_TRUE(picture_is_black(*second));
    second->release();

    // Frame after frame of the recording soak: one buffer serves them all,
    // however long it runs.
    video_message* frame = new video_message(video_message::e_data_format_yuv420p, 1920, 1080);
    const std::uint8_t* picture = static_cast<const video_message*>(frame)->plane(0);
    frame->release();
    for (int cycle = 0; cycle < 100; ++cycle) {
        frame = new video_message(video_message::e_data_format_yuv420p, 1920, 1080);
        ASSERT_EQ(static_cast<const video_message*>(frame)->plane(0), picture) << "cycle " << cycle;
        frame->release();
    }
}

TEST(video_message, bad_construction_values_throw_with_a_message) {
    struct bad {
        std::int32_t format, width, height;
    };
    for (const bad& b : {bad{1, 64, 64}, bad{-1, 64, 64}, bad{0, 0, 64}, bad{0, 64, -2},
                         bad{0, 16385, 64}, bad{0, 64, 1 << 30}}) {
        try {
            new video_message(video_message::e_data_format(b.format), b.width, b.height);
            ADD_FAILURE() << "no exception for " << b.format << " " << b.width << "x" << b.height;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("video::message"), std::string::npos);
        }
    }
}

TEST(video_message, reference_count_across_threads) {
    video_message* frame = new video_message(video_message::e_data_format_yuv420p, 64, 64);
    const video_message* shared = frame;
    constexpr int k_threads = 4;
    constexpr int k_rounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < k_threads; ++t) {
        threads.emplace_back([shared] {
            for (int i = 0; i < k_rounds; ++i) {
                shared->addref();
                shared->release();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(shared->addref(), 2);
    EXPECT_EQ(shared->release(), 1);
    EXPECT_EQ(shared->release(), 0);
}

// A message held on two threads: one writes it and lets go, the other only
// lets go, after it, and so destroys it. Nothing but the count orders the
// writer's work before the destruction (the flag between them is relaxed),
// so the last release must acquire what every earlier one released: else
// the destruction reads the writer's marks unordered (the thread sanitizer
// reports it), and the storage may go back to the pool as still black.
template <typename message, typename make, typename write, typename clean>
void last_release_on_another_thread(make made, write written, clean is_clean) {
    for (int round = 0; round < 20; ++round) {
        message* shared = made();
        shared->addref();  // one hold for each thread
        std::atomic<bool> writer_done{false};
        std::thread writer([shared, &writer_done, &written] {
            written(*shared);
            EXPECT_EQ(shared->release(), 1);
            writer_done.store(true, std::memory_order_relaxed);
        });
        std::thread last([shared, &writer_done] {
            while (!writer_done.load(std::memory_order_relaxed)) std::this_thread::yield();
            EXPECT_EQ(shared->release(), 0);
        });
        writer.join();
        last.join();
        message* next = made();
        EXPECT_TRUE(is_clean(*next)) << "round " << round;
        next->release();
    }
}

TEST(video_message, the_last_release_on_another_thread_sees_what_the_writer_did) {
    last_release_on_another_thread<video_message>(
        [] { return new video_message(video_message::e_data_format_yuv420p, 96, 64); },
        [](video_message& frame) {
            std::fill_n(frame.plane(0), 96, std::uint8_t(235));
            std::fill_n(frame.plane(2), 48, std::uint8_t(0));
            frame.field_type() = video_message::e_field_type_progressive;
        },
        [](const video_message& frame) { return picture_is_black(frame); });
}

TEST(audio_message, the_last_release_on_another_thread_sees_what_the_writer_did) {
    last_release_on_another_thread<audio_message>([] { return new audio_message(960, 2, 0); },
                                                  [](audio_message& block) {
                                                      std::fill_n(block.channel(1), 960, 0.25f);
                                                      block.sample_rate() = 44100;
                                                  },
                                                  [](const audio_message& block) {
                                                      return std::all_of(
                                                          block.channel(1), block.channel(1) + 960,
                                                          [](float s) { return s == 0.0f; });
                                                  });
}

TEST(video_message, threads_share_the_pools) {
    // Frames made and given up on several threads at once, some of them
    // painted: every new frame is black all the same.
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &bad] {
            for (int i = 0; i < 300; ++i) {
                video_message* frame =
                    new video_message(video_message::e_data_format_yuv420p, 64 + 2 * (i % 3), 48);
                audio_message* block = new audio_message(480, 2, 0);
                if (!picture_is_black(*frame)) ++bad;
                const audio_message& view = *block;
                if (!std::all_of(view.channel(1), view.channel(1) + 480,
                                 [](float s) { return s == 0.0f; })) {
                    ++bad;
                }
                if ((i + t) % 2 == 0) {
                    frame->plane(0)[0] = 200;
                    block->channel(1)[479] = 1.0f;
                }
                frame->release();
                block->release();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(audio_message, soak_call_sites_and_silence) {
    audio_message* block = new audio_message(48000 * 1200 / 30000, 4, 0);
    block->sample_rate() = 48000;
    static_assert(std::is_same_v<decltype(block->sample_rate()), std::int32_t&>);
    static_assert(std::is_same_v<decltype(&audio_message::release),
                                 const std::int32_t (audio_message::*)() const>);
    const audio_message& view = *block;
    EXPECT_EQ(view.samples(), 1920);
    EXPECT_EQ(view.channels(), 4);
    EXPECT_EQ(view.channel_stride(), 1920);
    EXPECT_EQ(view.sample_rate(), 48000);
    for (std::int32_t c = 0; c < 4; ++c) {
        // Planes packed one after another.
        EXPECT_EQ(view.channel(c), view.channel(0) + std::size_t(c) * 1920);
        EXPECT_TRUE(std::all_of(view.channel(c), view.channel(c) + 1920,
                                [](float s) { return s == 0.0f; }));
    }
    EXPECT_EQ(view.channel(4), nullptr);
    EXPECT_EQ(view.channel(-1), nullptr);
    EXPECT_EQ(view.release(), 0);
}

TEST(audio_message, written_samples_do_not_leak_into_the_next_block) {
    audio_message* first = new audio_message(1000, 2, 1024);
    EXPECT_EQ(static_cast<const audio_message*>(first)->channel(1),
              static_cast<const audio_message*>(first)->channel(0) + 1024);
    std::fill_n(first->channel(1), 1000, 0.5f);
    const float* storage = static_cast<const audio_message*>(first)->channel(0);
    first->release();
    audio_message* second = new audio_message(1000, 2, 1024);
    EXPECT_EQ(static_cast<const audio_message*>(second)->channel(0), storage);
    const audio_message& view = *second;
    EXPECT_TRUE(
        std::all_of(view.channel(1), view.channel(1) + 1000, [](float s) { return s == 0.0f; }));
    second->release();
}

TEST(audio_message, construction_values_on_both_sides_of_their_limits) {
    struct values {
        std::int32_t samples, channels, stride;
        bool taken;
    };
    const std::int32_t most = audio_message::k_max_samples;
    for (const values& v :
         {values{0, 4, 0, false}, values{-5, 4, 0, false}, values{1, 1, 0, true},
          values{1920, 0, 0, false}, values{1920, 64, 0, true}, values{1920, 65, 0, false},
          values{1920, 4, 100, false}, values{1920, 4, -1, false}, values{1920, 4, 1919, false},
          values{1920, 4, 1920, true}, values{1920, 4, 1921, true}, values{most, 1, 0, true},
          values{most + 1, 1, 0, false}, values{1920, 1, most, true},
          values{1920, 1, most + 1, false}}) {
        SCOPED_TRACE(testing::Message() << v.samples << " samples, " << v.channels
                                        << " channels, stride " << v.stride);
        try {
            const audio_message* block = new audio_message(v.samples, v.channels, v.stride);
            EXPECT_TRUE(v.taken) << "no exception";
            EXPECT_EQ(block->channel_stride(), v.stride == 0 ? v.samples : v.stride);
            block->release();
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(v.taken) << e.what();
            EXPECT_NE(std::string(e.what()).find("audio::message"), std::string::npos);
        }
    }
}

}  // namespace
