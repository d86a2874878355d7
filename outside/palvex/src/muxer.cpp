#include "muxer.h"

#include "platform/file_sync.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace Selmet::Palvex::detail {

namespace {

// Video packets kept while the header waits for the first audio block; past
// this the file is started without sound.
constexpr std::size_t k_max_held_packets = 250;
// A fragment at every key frame; the index goes at the front of each fragment
// relative to the fragment itself, so each one stands on its own.
constexpr const char* k_movflags = "+frag_keyframe+empty_moov+default_base_moof";
// Complete fragment ends remembered for cutting a torn tail.
constexpr std::size_t k_kept_ends = 8;

}  // namespace

muxer::~muxer() {
    for (auto& [packet, from] : m_held) av_packet_free(&packet);
    if (m_output != nullptr) {
        if (m_output->pb != nullptr) avio_closep(&m_output->pb);
        avformat_free_context(m_output);
    }
}

fault muxer::open(const std::string& path) {
    m_path = path;
    // The container is chosen by name, whatever the file name's extension.
    const AVOutputFormat* format = av_guess_format("mp4", nullptr, nullptr);
    if (format == nullptr) return failure(e_fault_setup, "This FFmpeg has no mp4 muxer");
    int result = avformat_alloc_output_context2(&m_output, format, nullptr, nullptr);
    if (result < 0 || m_output == nullptr) {
        return failure(e_fault_setup, "Cannot set up the mp4 muxer", result);
    }
    // "file:" keeps a name with a colon from being taken for another protocol.
    result = avio_open(&m_output->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
    if (result < 0) return failure(e_fault_setup, "Cannot open output file '" + path + "'", result);
    return {};
}

fault muxer::write_fault(int code) {
    // The I/O layer keeps the operating system's reason; the muxer's result
    // may only say that something failed.
    if (m_output->pb != nullptr && m_output->pb->error < 0) code = m_output->pb->error;
    m_torn = true;
    return failure(e_fault_write, {}, code);
}

fault muxer::handed_over() {
    // The muxer writes only whole fragments; each goes to the operating system
    // at once, so that a killed process leaves it complete in the file.
    // Between fragments nothing is buffered and this costs nothing.
    avio_flush(m_output->pb);
    if (m_output->pb->error < 0) return write_fault(m_output->pb->error);
    const std::int64_t end = avio_tell(m_output->pb);
    if (!m_complete_ends.empty() && m_complete_ends.back() == end) return {};
    // A new fragment: on the disk before the next one is made, so that a
    // power loss, too, leaves every fragment but the last.
    Karvon::Platform::sync_file_data(m_path.c_str());
    if (m_complete_ends.size() >= k_kept_ends) m_complete_ends.erase(m_complete_ends.begin());
    m_complete_ends.push_back(end);
    return {};
}

fault muxer::start() {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", k_movflags, 0);
    const int result = avformat_write_header(m_output, &options);
    av_dict_free(&options);
    if (result < 0) {
        if (m_output->pb->error < 0) return write_fault(result);
        return failure(e_fault_setup, "Cannot start the file", result);
    }
    m_started = true;
    m_samples_written.assign(m_output->nb_streams, 0);
    fault problem = handed_over();
    for (auto& [packet, from] : m_held) {
        if (!problem) problem = write_now(packet, from);
        av_packet_free(&packet);
    }
    m_held.clear();
    return problem;
}

fault muxer::write(AVPacket* packet, AVRational from) {
    if (!m_started) {
        if (m_held.size() < k_max_held_packets) {
            AVPacket* held = av_packet_alloc();
            if (held == nullptr) return failure(e_fault_memory, {});
            av_packet_move_ref(held, packet);
            m_held.emplace_back(held, from);
            return {};
        }
        // No sound has come with the first seconds of pictures: the file
        // goes on without a sound track.
        if (fault f = start()) return f;
    }
    return write_now(packet, from);
}

fault muxer::write_now(AVPacket* packet, AVRational from) {
    const int index = packet->stream_index;
    av_packet_rescale_ts(packet, from, m_output->streams[index]->time_base);
    const int result = av_interleaved_write_frame(m_output, packet);
    if (result < 0 || m_output->pb->error < 0) {
        return write_fault(result < 0 ? result : m_output->pb->error);
    }
    ++m_samples_written[std::size_t(index)];
    return handed_over();
}

fault muxer::end() {
    fault problem;
    if (!m_torn && m_output != nullptr && m_output->pb != nullptr) {
        if (!m_started) problem = start();
        if (!problem) {
            const int result = av_write_trailer(m_output);
            problem = result < 0 || m_output->pb->error < 0 ? write_fault(result) : handed_over();
        }
    }
    close();
    return problem;
}

void muxer::close() {
    if (m_output != nullptr && m_output->pb != nullptr) avio_closep(&m_output->pb);
}

}  // namespace Selmet::Palvex::detail
