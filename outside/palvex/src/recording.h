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

    // Ends the recording: drains the encoders, puts the rest of the media
    // on the disk and ends the file by the end policy (end_file), whose
    // outcome file_ending() tells. The fault returned is the first of the
    // drain and the trailer; the policy's steps are in the outcome.
    fault close();

    // The first step of close(): drains the encoders and ends the media,
    // unless the file stopped taking it. The file stays open; the record
    // tells the finish what it needs.
    fault end(finish_record& record);
    bool stopped() const { return m_muxer.format() != nullptr && m_muxer.stopped(); }
    // What close() did with the file.
    const ending& file_ending() const { return m_ending; }
    // The error text after close(): `before` (the text of the first failure,
    // empty without one) with what the close did with the file. Empty when
    // nothing failed and the file is finished with all of its media.
    std::string text_after_close(const std::string& before) const;
    // Null until open() has opened the file.
    fragmented_file* file() { return m_muxer.format() != nullptr ? &m_muxer.file() : nullptr; }

  private:
    fault start_sound(const audio_message* samples);
    fault encode_audio_frame(std::int32_t count);
    fault take(AVPacket* packet, AVRational from);
    // Tells the muxer whether the media handed over of one stream runs far
    // ahead of the other's.
    void note_streams_apart();

    std::string m_path;  // UTF-8
    seams m_seams;
    ending m_ending;
    bool m_file_ended = false;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::int32_t m_frame_duration = 0;
    std::int32_t m_time_scale = 0;
    std::int32_t m_audio_bit_rate = 0;

    muxer m_muxer;
    stream m_video{e_stream_video};
    stream m_audio{e_stream_audio};
    stream::packet_taker m_take;
    AVFrame* m_video_frame = nullptr;
    AVFrame* m_audio_frame = nullptr;
    AVPacket* m_packet = nullptr;
    AVAudioFifo* m_fifo = nullptr;

    std::int64_t m_first_frame = -1;  // number of the first frame taken
    std::int64_t m_last_frame = -1;   // and of the last
    std::int64_t m_frames_taken = 0;
    bool m_video_begun = false;        // the video encoder gave its first packet
    std::int64_t m_audio_samples = 0;  // handed to the encoder
    std::int64_t m_audio_taken = 0;    // of the messages, the FIFO's included
    std::int32_t m_audio_channels = 0;
    std::int32_t m_audio_rate = 0;
};

}  // namespace Selmet::Palvex::detail
