// MP4 writer: H.264 video and AAC audio from message-library messages.
#pragma once

#include <cstdint>

#include "karvon/wendrix/audio_message.h"
#include "karvon/wendrix/video_message.h"
#include "platform/wide_char.h"
#include "selmet/palvex/export.h"

namespace Selmet::Palvex::writer {

class SELMET_PALVEX_API mp4 {
  public:
    using wchar16 = Karvon::Platform::wchar16;

    // Settings, changed field by field after default construction.
    struct SELMET_PALVEX_API info {
        info();

        const wchar16* file_name;     // NUL-terminated UTF-16; null until set
        std::int32_t bit_rate;        // video, bits per second, held constant
        std::int32_t key_frame_ms;    // longest distance between key frames
        std::int32_t frame_width;     // pixels
        std::int32_t frame_height;    // pixels
        std::int32_t time_scale;      // ticks per second
        std::int32_t frame_duration;  // ticks per frame
        std::int32_t audio_bit_rate;  // bits per second, all channels together
        const char* encoder_preset;   // speed preset of the H.264 encoder
    };

    // Opens the output; any failure shows in error() afterwards. Keeps no
    // reference to the record.
    explicit mp4(info& settings);
    // Closes the output through close() unless the user did.
    ~mp4();

    mp4(const mp4&) = delete;
    mp4& operator=(const mp4&) = delete;

    // Null while healthy; from the first failure on, a readable UTF-16 text
    // that stays until the writer is destroyed. After a failed write, close()
    // adds what became of the file to a new text (the first stays readable).
    const wchar16* error() const;

    // Ends the recording: drains the encoders and turns the file into an
    // ordinary MP4 with one full index. After a failed write, or media
    // stopped at a full disk or a size limit, the file ends with its last
    // complete fragment: finished in the room kept for the index beyond the
    // media where the file system could keep it, and otherwise in place of
    // the fewest last fragments that hold the index (error() then tells how
    // many seconds of media that gave up). Only where that cannot be done is
    // the file left fragmented, cut back to its last complete fragment, with
    // its length in its header. A failure shows in error(), and the file
    // then still plays up to its last complete fragment. True when error()
    // is null afterwards. Writes after close() are refused; calling it again
    // changes nothing.
    bool close();

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
    // time is in time-scale ticks; -1 means the next frame in sequence.
    const bool write_video(const Karvon::Wendrix::video::message* frame, std::int64_t time);
    const bool write_audio(const Karvon::Wendrix::audio::message* samples);
#pragma GCC diagnostic pop

  private:
    struct state;
    state* m_state;
};

}  // namespace Selmet::Palvex::writer
