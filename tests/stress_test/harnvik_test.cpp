// The program's own code, linked with doubles of the work, message and
// recorder libraries and with a clock and sleep that the test drives.
#include "harnvik.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "harnvik_doubles/doubles.h"
#include "karvon/wendrix/audio_message.h"
#include "karvon/wendrix/video_message.h"

namespace {

using harnvik_doubles::call;
using harnvik_doubles::e_call;

const std::string k_start_text = "Starting to record to disk using Intel Media SDK ...\n";

std::vector<call> of_kind(const std::vector<call>& log, e_call kind) {
    std::vector<call> found;
    for (const call& c : log) {
        if (c.kind == kind) found.push_back(c);
    }
    return found;
}

// One letter per call, so that sequences read at a glance.
std::string shape(const std::vector<call>& log) {
    static const std::map<e_call, char> letters = {
        {e_call::item_new, 'n'},      {e_call::item_launch, 'l'},    {e_call::item_wait, 'w'},
        {e_call::sleep, 'S'},         {e_call::info_construct, 'I'}, {e_call::writer_open, 'O'},
        {e_call::writer_error, 'E'},  {e_call::write_video, 'V'},    {e_call::write_audio, 'A'},
        {e_call::writer_close, 'C'},  {e_call::video_new, 'v'},      {e_call::video_construct, 'f'},
        {e_call::video_release, 'r'}, {e_call::audio_new, 'a'},      {e_call::audio_construct, 's'},
        {e_call::audio_release, 'q'}, {e_call::writer_end, 'X'},
    };
    std::string text;
    for (const call& c : log) text += letters.at(c.kind);
    return text;
}

// Bytes that the printed text takes in the captured standard output: in a
// Windows text stream every line end is two bytes.
std::int64_t bytes_printed(const std::string& text) {
    std::int64_t bytes = std::int64_t(text.size());
#if defined(_WIN32)
    bytes += std::count(text.begin(), text.end(), '\n');
#endif
    return bytes;
}

std::string repeat(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

class harnvik_program : public ::testing::Test {
  protected:
    void TearDown() override { harnvik_doubles::reset(); }
};

// --- entry -----------------------------------------------------------------

void check_entry_sequence(bool wait_result) {
    harnvik_doubles::script script;
    script.fail_open = true;  // the soak ends right after opening
    script.wait_result = wait_result;
    harnvik_doubles::reset(script);

    const Harnvik::wchar16 arg0[] = {'H', 0};
    const Harnvik::wchar16 arg1[] = {'-', '-', 'x', 0};
    const Harnvik::wchar16* argv[] = {arg0, arg1, nullptr};
    testing::internal::CaptureStdout();
    const std::int32_t status = Harnvik::entry(2, argv);
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, k_start_text + "Error recording file.");
    const std::vector<call> log = harnvik_doubles::calls();
    // Eight times allocate, launch, wait; then the pause, then the soak.
    ASSERT_EQ(shape(log), repeat("nlw", 8) + "S" + "IOEC");
    for (std::int32_t index = 0; index < 8; ++index) {
        const call& allocated = log[3 * index];
        const call& launched = log[3 * index + 1];
        const call& waited = log[3 * index + 2];
        EXPECT_EQ(allocated.value[0], std::int64_t(sizeof(Harnvik::worker_item)));
        EXPECT_EQ(launched.object, allocated.object);
        EXPECT_EQ(launched.value[0], 0);
        EXPECT_EQ(waited.object, allocated.object);
        EXPECT_EQ(waited.value[0], 0xFFFFFFFFll);

        const auto* item = static_cast<const Harnvik::worker_item*>(allocated.object);
        EXPECT_EQ(item->fcn_run, &Harnvik::run_item);
        EXPECT_EQ(item->fcn_bound, &Harnvik::run_copy_worker);
        EXPECT_EQ(item->bound_argument, index);
    }
    EXPECT_EQ(log[24].value[0], 30000);
}

TEST_F(harnvik_program, entry_launches_and_waits_for_each_worker_in_turn_then_pauses_then_records) {
    check_entry_sequence(true);
}

TEST_F(harnvik_program, entry_ignores_the_waits_result) {
    check_entry_sequence(false);
}

std::int32_t g_bound_argument_seen = 0;
std::int32_t g_bound_calls = 0;
void record_bound_call(std::int32_t argument) {
    g_bound_argument_seen = argument;
    ++g_bound_calls;
}

TEST_F(harnvik_program,
       run_item_calls_the_bound_function_with_the_bound_argument_and_returns_zero) {
    for (std::int32_t argument : {7, -5, std::numeric_limits<std::int32_t>::max()}) {
        g_bound_calls = 0;
        auto* item = new Harnvik::worker_item(&record_bound_call, argument);
        EXPECT_EQ(item->fcn_run, &Harnvik::run_item);
        EXPECT_EQ(item->fcn_run(item), 0);
        EXPECT_EQ(g_bound_calls, 1);
        EXPECT_EQ(g_bound_argument_seen, argument);
    }
}

// --- rate ------------------------------------------------------------------

std::string printed_rate(std::int32_t index, std::uint32_t elapsed_ms) {
    testing::internal::CaptureStdout();
    Harnvik::print_rate(index, elapsed_ms);
    return testing::internal::GetCapturedStdout();
}

TEST_F(harnvik_program, rate_is_printed_in_the_fixed_format) {
    EXPECT_EQ(Harnvik::copy_rate(1000), 9.765625f);
    EXPECT_EQ(printed_rate(0, 1000), "Thread 0, memcpy = 9.77Gb/s\n");
    EXPECT_EQ(printed_rate(7, 10000), "Thread 7, memcpy = 0.98Gb/s\n");
    EXPECT_EQ(printed_rate(3, 100), "Thread 3, memcpy = 97.66Gb/s\n");
    EXPECT_EQ(printed_rate(5, 1), "Thread 5, memcpy = 9765.62Gb/s\n");  // 9765.625 to even
    EXPECT_EQ(printed_rate(1, 0xFFFFFFFFu), "Thread 1, memcpy = 0.00Gb/s\n");
}

TEST_F(harnvik_program, zero_elapsed_prints_the_runtimes_infinity) {
    EXPECT_TRUE(std::isinf(Harnvik::copy_rate(0)));
    // glibc's and mingw's (ANSI) formatted print both spell it "inf".
    EXPECT_EQ(printed_rate(2, 0), "Thread 2, memcpy = infGb/s\n");
}

// --- soak ------------------------------------------------------------------

// What the soak must have read from the record for each pair.
struct pair_values {
    std::int32_t width, height, samples;
};
using expected_values = std::function<pair_values(std::int32_t pair)>;

expected_values fixed(std::int32_t width, std::int32_t height) {
    return [=](std::int32_t) { return pair_values{width, height, 1920}; };
}

// Checks the soak's calls after the writer was opened, for a writer that
// fails after `pairs` pairs of writes.
void check_pairs(const std::vector<call>& log, std::int32_t pairs, const expected_values& expected,
                 const std::string& printed) {
    // Per pair: video new+construct, audio new+construct, both writes,
    // error(), both releases. Then the writer closes.
    ASSERT_EQ(shape(log), "IOE" + repeat("vfasVAErq", pairs) + "C");

    const call& open = log[1];
    EXPECT_EQ(open.text, u"HelloWorld.m4v");
    EXPECT_EQ(open.value[0], 5000000);
    EXPECT_EQ(open.value[1], 30000);
    EXPECT_EQ(open.value[2], 1200);
    // The final text was out before the writer was destroyed.
    EXPECT_EQ(log.back().value[0], bytes_printed(printed));

    std::map<const void*, int> releases;
    for (std::int32_t pair = 0; pair < pairs; ++pair) {
        const call* p = &log[3 + 9 * pair];
        const call &video_new = p[0], &video = p[1], &audio_new = p[2], &audio = p[3];
        const call &write_video = p[4], &write_audio = p[5], &error = p[6];
        const call &video_release = p[7], &audio_release = p[8];
        SCOPED_TRACE("pair " + std::to_string(pair + 1));
        const pair_values values = expected(pair);

        EXPECT_EQ(video_new.value[0], std::int64_t(sizeof(Karvon::Wendrix::video::message)));
        EXPECT_EQ(audio_new.value[0], std::int64_t(sizeof(Karvon::Wendrix::audio::message)));
        EXPECT_EQ(video.object, video_new.object);
        EXPECT_EQ(audio.object, audio_new.object);
        // Construction: format 0 at the record's frame size; 1920 samples, 4, 0.
        EXPECT_EQ(video.value[0], 0);
        EXPECT_EQ(video.value[1], values.width);
        EXPECT_EQ(video.value[2], values.height);
        EXPECT_EQ(audio.value[0], values.samples);
        EXPECT_EQ(audio.value[1], 4);
        EXPECT_EQ(audio.value[2], 0);
        // What the writer saw: this pair's messages, still held, with the
        // next-frame time, field type 3 and sample rate 48000 set.
        EXPECT_EQ(write_video.object, video.object);
        EXPECT_EQ(write_video.value[0], -1);
        EXPECT_EQ(write_video.value[1], 0);
        EXPECT_EQ(write_video.value[2], 3);
        EXPECT_EQ(write_video.value[5], 1);
        EXPECT_EQ(write_audio.object, audio.object);
        EXPECT_EQ(write_audio.value[0], values.samples);
        EXPECT_EQ(write_audio.value[3], 48000);
        EXPECT_EQ(write_audio.value[4], 1);
        EXPECT_EQ(error.value[0], pair + 1 == pairs ? 1 : 0);
        EXPECT_EQ(video_release.object, video.object);
        EXPECT_EQ(audio_release.object, audio.object);
    }
    for (const call& c : of_kind(log, e_call::video_release)) ++releases[c.object];
    for (const call& c : of_kind(log, e_call::audio_release)) ++releases[c.object];
    EXPECT_EQ(releases.size(), std::size_t(2 * pairs));  // every message, each once
    for (const auto& [message, count] : releases) EXPECT_EQ(count, 1);
    for (const call& c : of_kind(log, e_call::video_release)) EXPECT_EQ(c.value[0], 0);
    for (const call& c : of_kind(log, e_call::audio_release)) EXPECT_EQ(c.value[0], 0);
}

std::string run_soak() {
    testing::internal::CaptureStdout();
    Harnvik::record_soak();
    return testing::internal::GetCapturedStdout();
}

TEST_F(harnvik_program, soak_writes_pairs_until_the_writer_reports_an_error) {
    for (std::int32_t pairs : {1, 3, 40}) {
        SCOPED_TRACE("writer fails after " + std::to_string(pairs) + " pairs");
        harnvik_doubles::script script;
        script.fail_at_pair = pairs;
        script.default_width = 640;  // the soak uses whatever the record holds
        script.default_height = 360;
        harnvik_doubles::reset(script);
        const std::string printed = run_soak();
        EXPECT_EQ(printed, k_start_text + "Error writing to file.");
        check_pairs(harnvik_doubles::calls(), pairs, fixed(640, 360), printed);
    }
}

TEST_F(harnvik_program, soak_reads_frame_size_and_timing_from_the_record_for_every_pair) {
    harnvik_doubles::script script;
    script.fail_at_pair = 4;
    script.change_record = true;
    harnvik_doubles::reset(script);
    const std::string printed = run_soak();
    EXPECT_EQ(printed, k_start_text + "Error writing to file.");
    check_pairs(
        harnvik_doubles::calls(), 4,
        [](std::int32_t pair) {
            const auto record = harnvik_doubles::record_after_pair(pair);
            return pair_values{record.width, record.height,
                               48000 * record.frame_duration / record.time_scale};
        },
        printed);
}

TEST_F(harnvik_program, soak_ignores_false_from_writes_while_error_stays_null) {
    harnvik_doubles::script script;
    script.false_writes = {1, 2, 4, 7};
    script.fail_at_pair = 5;
    harnvik_doubles::reset(script);
    const std::string printed = run_soak();
    EXPECT_EQ(printed, k_start_text + "Error writing to file.");
    check_pairs(harnvik_doubles::calls(), 5, fixed(1920, 1080), printed);
}

// The start text is out before the writer is made (opening the file may take
// a while), not merely ahead of the final text in the output.
TEST_F(harnvik_program, soak_prints_its_start_text_before_it_makes_the_writer) {
    harnvik_doubles::script script;
    script.fail_at_pair = 1;
    harnvik_doubles::reset(script);
    const std::string printed = run_soak();
    EXPECT_EQ(printed, k_start_text + "Error writing to file.");
    const std::vector<call> opens = of_kind(harnvik_doubles::calls(), e_call::writer_open);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].value[5], bytes_printed(k_start_text));
}

TEST_F(harnvik_program, soak_creates_no_message_when_the_writer_cannot_open) {
    harnvik_doubles::script script;
    script.fail_open = true;
    harnvik_doubles::reset(script);
    const std::string printed = run_soak();
    EXPECT_EQ(printed, k_start_text + "Error recording file.");
    const std::vector<call> log = harnvik_doubles::calls();
    EXPECT_EQ(shape(log), "IOEC");
    // The final text was out before the writer was destroyed.
    EXPECT_EQ(log.back().value[0], bytes_printed(printed));
}

}  // namespace
