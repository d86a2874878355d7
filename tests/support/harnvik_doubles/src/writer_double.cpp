// An MP4 writer that logs every call and fails when the script says so.
#include <algorithm>
#include <cstdio>

#include "internal.h"
#include "selmet/palvex/mp4.h"

namespace internal = harnvik_doubles::internal;
using harnvik_doubles::e_call;

#pragma GCC diagnostic ignored "-Wignored-qualifiers"  // the interface's const results

namespace Selmet::Palvex::writer {

struct mp4::state {
    std::int32_t writes = 0;
    std::int32_t pairs = 0;
    const wchar16* error = nullptr;
    info* settings = nullptr;
};

namespace {

const mp4::wchar16 k_open_failed[] = {'o', 'p', 'e', 'n', ' ', 'f', 'a', 'i', 'l', 'e', 'd', 0};
const mp4::wchar16 k_write_failed[] = {'w', 'r', 'i', 't', 'e', ' ', 'f',
                                       'a', 'i', 'l', 'e', 'd', 0};

std::u16string to_u16(const mp4::wchar16* text) {
    std::u16string copy;
    for (; text != nullptr && *text != 0; ++text) copy.push_back(static_cast<char16_t>(*text));
    return copy;
}

// How much the program has printed to standard output so far.
std::int64_t printed_so_far() {
    std::fflush(stdout);
    return std::ftell(stdout);
}

// Counts the write and tells whether the script wants it to return false.
bool count_write(std::int32_t& writes) {
    ++writes;
    const auto& falses = internal::current_script().false_writes;
    return std::find(falses.begin(), falses.end(), writes) == falses.end();
}

}  // namespace

mp4::info::info()
    : file_name(nullptr),
      bit_rate(0),
      key_frame_ms(0),
      frame_width(0),
      frame_height(0),
      time_scale(1000),  // not what the soak sets
      frame_duration(40),
      audio_bit_rate(0),
      encoder_preset(nullptr) {
    std::lock_guard<std::mutex> guard(internal::lock());
    frame_width = internal::current_script().default_width;
    frame_height = internal::current_script().default_height;
    internal::record_locked({e_call::info_construct, this, {}, {}});
}

mp4::mp4(info& settings) : m_state(new state) {
    std::lock_guard<std::mutex> guard(internal::lock());
    m_state->settings = &settings;
    if (internal::current_script().fail_open) m_state->error = k_open_failed;
    // How much the program had printed by now: a start text printed after
    // the writer is made would be missing here.
    internal::record_locked({e_call::writer_open,
                             this,
                             {settings.bit_rate, settings.time_scale, settings.frame_duration,
                              settings.frame_width, settings.frame_height, printed_so_far()},
                             to_u16(settings.file_name)});
}

mp4::~mp4() {
    // How much the program had printed by now: a final text printed after
    // the writer is gone would be missing here.
    harnvik_doubles::record({e_call::writer_close, this, {printed_so_far()}, {}});
    delete m_state;
}

bool mp4::close() {
    harnvik_doubles::record({e_call::writer_end, this, {}, {}});
    return m_state->error == nullptr;
}

const mp4::wchar16* mp4::error() const {
    harnvik_doubles::record({e_call::writer_error, this, {m_state->error != nullptr}, {}});
    return m_state->error;
}

const bool mp4::write_video(const Karvon::Wendrix::video::message* frame, std::int64_t time) {
    std::lock_guard<std::mutex> guard(internal::lock());
    internal::record_locked({e_call::write_video,
                             frame,
                             {time, frame->data_format(), frame->field_type(), frame->width(),
                              frame->height(), internal::holds(frame)},
                             {}});
    return count_write(m_state->writes);
}

const bool mp4::write_audio(const Karvon::Wendrix::audio::message* samples) {
    std::lock_guard<std::mutex> guard(internal::lock());
    internal::record_locked({e_call::write_audio,
                             samples,
                             {samples->samples(), samples->channels(), samples->channel_stride(),
                              samples->sample_rate(), internal::holds(samples)},
                             {}});
    const bool result = count_write(m_state->writes);
    ++m_state->pairs;
    const harnvik_doubles::script& s = internal::current_script();
    if (m_state->pairs == s.fail_at_pair || m_state->pairs >= s.pair_limit) {
        m_state->error = k_write_failed;
    }
    if (s.change_record) {
        const harnvik_doubles::record_values next =
            harnvik_doubles::record_after_pair(m_state->pairs);
        m_state->settings->frame_width = next.width;
        m_state->settings->frame_height = next.height;
        m_state->settings->time_scale = next.time_scale;
        m_state->settings->frame_duration = next.frame_duration;
    }
    return result;
}

}  // namespace Selmet::Palvex::writer

namespace harnvik_doubles {

// Sizes and frame timings that differ after every pair; the sample count
// 48000 x duration / time scale differs too, and would differ again if
// either value were taken from an earlier pair.
record_values record_after_pair(std::int32_t pairs) {
    return {1920 - 16 * pairs, 1080 - 16 * pairs, 30000 + 10000 * pairs, 1200 + 600 * pairs};
}

}  // namespace harnvik_doubles
