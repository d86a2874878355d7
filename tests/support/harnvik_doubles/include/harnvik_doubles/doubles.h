// Control and record of the program's test doubles. Every call the program
// makes into the work, message and recorder libraries, and every sleep, is
// appended to one ordered log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harnvik_doubles/export.h"

namespace harnvik_doubles {

enum class e_call : std::int32_t {
    item_new,         // value[0]: size asked for; object: the storage
    item_launch,      // object: the item; value[0]: launch argument
    item_wait,        // object: the item; value[0]: time-out
    sleep,            // value[0]: milliseconds
    info_construct,   // object: the record
    writer_open,      // text: file name; value: bit rate, time scale, frame duration,
                      // frame width, frame height, bytes the program had printed to
                      // standard output by then
    writer_error,     // value[0]: 1 if error() returned a text
    write_video,      // object: message; value: time, data format, field type, width,
                      // height, holds the message still has
    write_audio,      // object: message; value: samples, channels, channel stride,
                      // sample rate, holds the message still has
    writer_close,     // the destructor; value[0]: bytes the program had printed to
                      // standard output by then
    writer_end,       // close(), called by the user
    video_new,        // value[0]: size asked for
    video_construct,  // object: message; value: data format, width, height
    video_release,    // object: message; value[0]: holds left
    audio_new,        // value[0]: size asked for
    audio_construct,  // object: message; value: samples, channels, channel stride
    audio_release,    // object: message; value[0]: holds left
};

struct call {
    e_call kind;
    const void* object;
    std::int64_t value[6];
    std::u16string text;
};

struct script {
    // The writer's error() turns non-null at construction.
    bool fail_open = false;
    // ... or after this many pairs of writes (0: never).
    std::int32_t fail_at_pair = 0;
    // Writes (video and audio counted together, from 1) that return false
    // while error() stays null.
    std::vector<std::int32_t> false_writes;
    // The settings record's default frame size.
    std::int32_t default_width = 1920;
    std::int32_t default_height = 1080;
    // What every wait returns.
    bool wait_result = true;
    // After every pair of writes the writer changes the settings record it
    // was built from: frame size, time scale and frame duration (see
    // record_after_pair), so a soak that kept copies would use stale values.
    bool change_record = false;
    // Safety stop for a soak that never ends: after this many pairs the
    // writer fails anyway and the test sees the extra pairs.
    std::int32_t pair_limit = 1000;
};

// The record's frame width, height, time scale and frame duration after
// `pairs` pairs of writes, when the script changes the record.
struct record_values {
    std::int32_t width, height, time_scale, frame_duration;
};
HARNVIK_DOUBLES_API record_values record_after_pair(std::int32_t pairs);

// Empties the log, frees what the doubles allocated and installs a script.
HARNVIK_DOUBLES_API void reset(const script& next = script{});
HARNVIK_DOUBLES_API std::vector<call> calls();
// Appends to the log (the program's sleep double uses it).
HARNVIK_DOUBLES_API void record(const call& entry);

// Clock readings that GetTickCount hands out, in order. Once they are used
// up, the next reading signals ticks_used_up() and blocks its thread forever.
HARNVIK_DOUBLES_API void script_ticks(const std::vector<std::uint32_t>& readings);
HARNVIK_DOUBLES_API std::uint32_t next_tick();
// Waits until the readings are used up; false after the time-out.
HARNVIK_DOUBLES_API bool wait_ticks_used_up(std::uint32_t timeout_ms);

}  // namespace harnvik_doubles
