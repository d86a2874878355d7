// One recording: the settings checked, the two streams, the muxer, and the
// sound samples waiting for a whole encoder frame. Every call returns a
// fault; the public writer turns the first one into its error text.
#pragma once

#include <cstdint>
#include <string>

#include "checks.h"
#include "fault.h"
#include "finish.h"
#include "muxer.h"
#include "stream.h"

extern "C" {
#include <libavutil/audio_fifo.h>
}

namespace Selmet::Palvex::detail {

class recording {
  public:
    recording() = default;
    ~recording();
    recording(const recording&) = delete;
    recording& operator=(const recording&) = delete;

    // Into the file the settings name, or into `file` where one is given.
    fault open(const writer::mp4::info& settings, std::unique_ptr<storage> file = nullptr,
               const seams& seams = {});
    fault write_video(const video_message* frame, std::int64_t time);
    fault write_audio(const audio_message* samples);

    // Ends the recording: the file finished into an ordinary MP4 after a
    // clean end, and after a failed write or stopped media while the room
    // for the index is held; otherwise cut back to its last complete
    // fragment. The first fault is the one returned.
    fault close();

    // The first step of close(): drains the encoders and ends the file,
    // which stays open for the finish. The record tells the finisher what it
    // needs; torn() whether a write failed on the way.
    fault end(finish_record& record);
    bool torn() const { return m_muxer.torn(); }
    // What close() did with the file after a failed write, for the user to
    // read after the failure itself; empty when there is nothing to add.
    const std::string& close_note() const { return m_close_note; }
    // Null until open() has opened the file.
    output* file_output() { return m_muxer.format() != nullptr ? &m_muxer.file_output() : nullptr; }

  private:
    fault close_file();
    fault start_sound(const audio_message* samples);
    fault encode_audio_frame(std::int32_t count);
    fault take(AVPacket* packet, AVRational from) { return m_muxer.write(packet, from); }

    std::string m_path;  // UTF-8
    std::string m_close_note;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::int32_t m_frame_duration = 0;
    std::int32_t m_audio_bit_rate = 0;

    muxer m_muxer;
    stream m_video{e_stream_video};
    stream m_audio{e_stream_audio};
    stream::packet_taker m_take;
    AVFrame* m_video_frame = nullptr;
    AVFrame* m_audio_frame = nullptr;
    AVPacket* m_packet = nullptr;
    AVAudioFifo* m_fifo = nullptr;

    std::int64_t m_last_frame = -1;  // number of the last frame taken
    std::int64_t m_audio_samples = 0;
    std::int32_t m_audio_channels = 0;
    std::int32_t m_audio_rate = 0;
};

}  // namespace Selmet::Palvex::detail
