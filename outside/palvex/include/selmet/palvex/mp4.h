// -----------------------------------------------------------------------------
// File: selmet/palvex/mp4.h
// -----------------------------------------------------------------------------
//
// An MP4 writer: H.264 video and AAC sound from message-library messages,
// recorded into a file that plays up to its last complete fragment whatever
// happens to the process or the machine, and that close() turns into an
// ordinary MP4 with one full index. How the file lies on the disk, and why
// each end comes out as it does: the recorder's README.
//
// Example:
//
//   Selmet::Palvex::writer::mp4::info settings;  // usable defaults
//   settings.file_name = name;  // UTF-16, NUL-terminated: u"..." (L"..." on Windows)
//   settings.bit_rate = 5000000;
//   Selmet::Palvex::writer::mp4 writer(settings);
//   while (writer.error() == nullptr) {
//       auto* frame = new Karvon::Wendrix::video::message(
//           Karvon::Wendrix::video::message::e_data_format_yuv420p,
//           settings.frame_width, settings.frame_height);
//       auto* block = new Karvon::Wendrix::audio::message(1920, 4, 0);
//       block->sample_rate() = 48000;
//       writer.write_video(frame, -1);  // the next frame in sequence
//       writer.write_audio(block);      // the sound that goes with it
//       frame->release();
//       block->release();
//   }
//   writer.close();  // error() now also says what became of the file
//
// Failures are reported by state, never by exception: error() is null while
// the writer is healthy. The writer is not thread-safe: one thread at a time.
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

    // Creates (or empties) the file the settings name and opens it for the
    // whole recording, through one handle that child processes do not
    // inherit. Settings it cannot record, or a file it cannot open, show in
    // error() at once, and every write is refused. Keeps no reference to the
    // record, and leaves its fields as they were.
    explicit mp4(info& settings);
    // close(), unless the user called it.
    ~mp4();

    mp4(const mp4&) = delete;
    mp4& operator=(const mp4&) = delete;

    // Null while healthy; from the first failure on, a readable UTF-16 text
    // of it that stays valid until the writer's end. Once the disk is full
    // or a file-size limit is reached, media stops and the file keeps every
    // complete fragment; the text says so ("Recording stopped: ..."), or,
    // where no room could be kept for the index and a write met the full
    // disk, "Write failed: ...". After close(), the text of a failure has
    // what the close did with the file added ("...; the file is finished,
    // with all of its media"), in a new text that stays until the writer's
    // end (the first one stays readable); and after a recording without a
    // failure, a file that holds less than was recorded is told the same
    // way.
    const wchar16* error() const;

    // Ends the recording: drains the encoders (unless media had stopped),
    // puts the rest on the disk and turns the file into an ordinary MP4 by
    // the soundest way that works: the index after the media (into the room
    // kept for it), else in place of the fewest last fragments that hold it,
    // else after cutting the file back; only where none works is the file
    // left fragmented, its header telling the length of what it holds.
    // error() afterwards says which, and why. True when error() is null
    // afterwards. Writes after close() are refused; calling it again changes
    // nothing.
    bool close();

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
    // One picture of the settings' frame size, YUV 4:2:0, at `time` in
    // time-scale ticks from the start (rounded to the nearest frame, which
    // must come after the last), or -1 for the next frame in sequence. The
    // writer takes its own hold on the message for as long as the encoder
    // needs it; the caller releases its own when the call returns. True
    // when taken; false (and error() set, for good) for a message it cannot
    // take or a failure, or after a failure or close().
    const bool write_video(const Karvon::Wendrix::video::message* frame, std::int64_t time);
    // Sound that follows the sound before it without a gap, planar 32-bit
    // float. The first block decides the file's channels (1 to 8) and
    // sample rate (one AAC carries), and starts the file; pictures written
    // before it wait for it, a second of them at most: after that the file
    // starts without a sound track, and sound is refused. The writer copies
    // the samples; the caller releases its hold when the call returns.
    // Results as write_video's.
    const bool write_audio(const Karvon::Wendrix::audio::message* samples);
#pragma GCC diagnostic pop

  private:
    struct state;
    state* m_state;
};

}  // namespace Selmet::Palvex::writer
