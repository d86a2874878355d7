// The public MP4 writer (its contract is in mp4.h, the file's layout in the
// recorder's README). This file is the single reporting point: the first
// fault of a recording becomes the text error() shows, and what close() did
// with the file is added to it.
#include "selmet/palvex/mp4.h"

#include <new>

#include "fault.h"
#include "platform/wide_text.h"
#include "recording.h"

namespace Selmet::Palvex::writer {

mp4::info::info()
    : file_name(nullptr),
      bit_rate(5000000),
      key_frame_ms(1000),
      frame_width(1920),
      frame_height(1080),
      time_scale(30000),
      frame_duration(1200),
      audio_bit_rate(192000),
      encoder_preset("veryfast") {}

struct mp4::state {
    detail::recording recording;
    bool failed = false;
    bool closed = false;
    Karvon::Platform::wstring16 error;
    std::string error_utf8;
    // The error with what close() did with the file added; the first text
    // stays, for whoever holds it.
    Karvon::Platform::wstring16 error_after_close;

    // Keeps the first fault; true when there is none.
    bool report(const detail::fault& problem) {
        if (!problem) return true;
        if (!failed) {
            failed = true;
            error_utf8 = detail::describe(problem);
            error = Karvon::Platform::utf8_to_utf16(error_utf8);
        }
        return false;
    }

    // Runs one step of the recording, which may run out of memory.
    template <typename step>
    bool run(step&& body) {
        try {
            return report(body());
        } catch (const std::bad_alloc&) {
            return report(detail::failure(detail::e_fault_memory, {}));
        }
    }
};

mp4::mp4(info& settings) : m_state(new state) {
    m_state->run([&] { return m_state->recording.open(settings); });
}

mp4::~mp4() {
    close();
    delete m_state;
}

bool mp4::close() {
    if (m_state->closed) return !m_state->failed;
    m_state->closed = true;
    m_state->run([&] { return m_state->recording.close(); });
    // What the close did with the file: after a failure, added to its text;
    // without one, the text itself where the file holds less than recorded.
    const std::string text = m_state->recording.text_after_close(m_state->error_utf8);
    if (m_state->failed) {
        if (text != m_state->error_utf8) {
            m_state->error_after_close = Karvon::Platform::utf8_to_utf16(text);
        }
    } else if (!text.empty()) {
        m_state->failed = true;
        m_state->error_utf8 = text;
        m_state->error = Karvon::Platform::utf8_to_utf16(text);
    }
    return !m_state->failed;
}

const mp4::wchar16* mp4::error() const {
    if (!m_state->failed) return nullptr;
    return (m_state->error_after_close.empty() ? m_state->error : m_state->error_after_close)
        .c_str();
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
const bool mp4::write_video(const Karvon::Wendrix::video::message* frame, std::int64_t time) {
    if (m_state->failed) return false;
    if (m_state->closed) {
        return m_state->report(
            detail::failure(detail::e_fault_closed, "A video write came after close"));
    }
    return m_state->run([&] { return m_state->recording.write_video(frame, time); });
}

const bool mp4::write_audio(const Karvon::Wendrix::audio::message* samples) {
    if (m_state->failed) return false;
    if (m_state->closed) {
        return m_state->report(
            detail::failure(detail::e_fault_closed, "An audio write came after close"));
    }
    return m_state->run([&] { return m_state->recording.write_audio(samples); });
}
#pragma GCC diagnostic pop

}  // namespace Selmet::Palvex::writer
