// One stream of the file: its encoder, its place in the muxer, its kind.
#pragma once

#include <cstdint>
#include <functional>

#include "fault.h"
#include "selmet/palvex/mp4.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace Selmet::Palvex::detail {

enum e_stream_kind { e_stream_video, e_stream_audio };

// Frames from one key frame to the next, as the video encoder is given it
// (settings checked).
std::int64_t key_frame_interval(const writer::mp4::info& settings);

// The video encoder's threads on a machine of `cores` processors (0: this
// one): x264's own choice, one and a half a processor, but no more than
// hold k_encoder_hold_us of pictures. Each of x264's threads holds one
// picture more back before its first packet comes out, and media must
// reach the disk within two seconds of being handed over: the held
// pictures, x264's lookahead and a fragment of a second together.
constexpr std::int64_t k_encoder_hold_us = 320000;
std::int32_t encoder_threads(const writer::mp4::info& settings, std::int32_t cores);

class stream {
  public:
    explicit stream(e_stream_kind kind) : m_kind(kind) {}
    ~stream();
    stream(const stream&) = delete;
    stream& operator=(const stream&) = delete;

    // H.264 through libx264, or MPEG-4 part 2 where libx264 is missing; its
    // threads counted from `cores` processors (0: the machine's).
    fault open_video(AVFormatContext* output, const writer::mp4::info& settings,
                     std::int32_t cores = 0);
    fault open_audio(AVFormatContext* output, std::int32_t channels, std::int32_t rate,
                     std::int32_t bit_rate);

    // Hands a frame to the encoder (null: no more frames) and every packet
    // that comes out to `take`, in the encoder's time base.
    using packet_taker = std::function<fault(AVPacket* packet, AVRational from)>;
    fault encode(const AVFrame* frame, AVPacket* scratch, const packet_taker& take);

    bool open() const { return m_codec != nullptr && m_stream != nullptr; }
    e_stream_kind kind() const { return m_kind; }
    // Its index among the file's streams.
    int index() const { return m_stream->index; }
    AVCodecContext* codec() const { return m_codec; }

  private:
    fault add_to(AVFormatContext* output);

    e_stream_kind m_kind;
    AVCodecContext* m_codec = nullptr;
    AVStream* m_stream = nullptr;
};

}  // namespace Selmet::Palvex::detail
