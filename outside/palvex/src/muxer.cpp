#include "muxer.h"

#include <string>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace Selmet::Palvex::detail {

namespace {

// A fragment at every key frame (and by time, frag_duration); the index goes
// at the front of each fragment relative to the fragment itself, so each one
// stands on its own. No random access index at the end: the header tells
// the length instead, and the file's positions are the fragmented file's.
constexpr const char* k_movflags = "+frag_keyframe+empty_moov+default_base_moof+skip_trailer";
// FFmpeg's buffer in front of take(): a fragment arrives in a few pieces.
constexpr int k_buffer_size = 64 << 10;

}  // namespace

muxer::~muxer() {
    for (auto& [packet, from] : m_held) av_packet_free(&packet);
    // The I/O context is the muxer's own: FFmpeg leaves it alone.
    if (m_format != nullptr) avformat_free_context(m_format);
    if (m_io != nullptr) {
        // The buffer may have been replaced by FFmpeg: free the one it holds.
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
}

fault muxer::open(std::unique_ptr<storage> file, std::int64_t key_frame_us, const seams& seams) {
    m_fragment_us = key_frame_us + k_fragment_slack_us;
    m_file = std::make_unique<fragmented_file>(std::move(file), seams);
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(k_buffer_size));
    // Without a seek function the output is one FFmpeg cannot seek: it only
    // appends.
    if (buffer != nullptr) {
        m_io = avio_alloc_context(buffer, k_buffer_size, 1, this, nullptr, &take, nullptr);
    }
    if (m_io == nullptr) {
        av_free(buffer);
        return failure(e_fault_memory, {});
    }
    // The container is chosen by name, whatever the file name's extension.
    const AVOutputFormat* format = av_guess_format("mp4", nullptr, nullptr);
    if (format == nullptr) return failure(e_fault_setup, "This FFmpeg has no mp4 muxer");
    const int result = avformat_alloc_output_context2(&m_format, format, nullptr, nullptr);
    if (result < 0 || m_format == nullptr) {
        return failure(e_fault_setup, "Cannot set up the mp4 muxer", result);
    }
    m_format->pb = m_io;
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
    m_format->max_interleave_delta = k_first_interleave_us;
    return {};
}

int muxer::take(void* opaque, av_bytes data, int size) {
    static_cast<muxer*>(opaque)->m_file->take(byte_span(data, std::size_t(size)));
    return size;
}

fault muxer::muxer_fault(int code, const char* what) {
    m_failed = true;
    return failure(e_fault_write, what, code);
}

fault muxer::hand_over() {
    avio_flush(m_format->pb);
    return m_file->commit();
}

fault muxer::start() {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", k_movflags, 0);
    av_dict_set(&options, "frag_duration", std::to_string(m_fragment_us).c_str(), 0);
    const int result = avformat_write_header(m_format, &options);
    av_dict_free(&options);
    if (result < 0) return failure(e_fault_setup, "Cannot start the file", result);
    m_started = true;
    m_samples_written.assign(m_format->nb_streams, 0);
    fault problem = hand_over();
    for (auto& [packet, from] : m_held) {
        if (!problem) problem = write_now(packet, from);
        av_packet_free(&packet);
    }
    m_held.clear();
    return problem;
}

fault muxer::write(AVPacket* packet, AVRational from) {
    if (!m_started) {
        AVPacket* held = av_packet_alloc();
        if (held == nullptr) return failure(e_fault_memory, {});
        av_packet_move_ref(held, packet);
        m_held.emplace_back(held, from);
        return {};
    }
    return write_now(packet, from);
}

fault muxer::write_now(AVPacket* packet, AVRational from) {
    if (m_file->problem()) return m_file->problem();
    const int index = packet->stream_index;
    av_packet_rescale_ts(packet, from, m_format->streams[index]->time_base);
    const int result = av_interleaved_write_frame(m_format, packet);
    if (result < 0) return muxer_fault(result, "The muxer refused a packet");
    if (m_samples_written[std::size_t(index)]++ == 0) ++m_streams_begun;
    if (m_one_alone) {
        m_format->max_interleave_delta = k_interleave_slack_us;
    } else if (m_streams_begun == m_samples_written.size()) {
        m_format->max_interleave_delta = m_interleave_us;
    }
    return hand_over();
}

fault muxer::end() {
    if (stopped() || m_format == nullptr) return {};
    if (!m_started) {
        if (fault f = start()) return f;
    }
    const int result = av_write_trailer(m_format);
    if (result < 0) return muxer_fault(result, "The muxer could not end the file");
    return hand_over();
}

}  // namespace Selmet::Palvex::detail
