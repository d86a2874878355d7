#include "muxer.h"

#include <numeric>

#include "index.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace Selmet::Palvex::detail {

namespace {

// Video packets kept while the header waits for the first audio block; past
// this the file is started without sound.
constexpr std::size_t k_max_held_packets = 250;
// A fragment at every key frame; the index goes at the front of each fragment
// relative to the fragment itself, so each one stands on its own. No random
// access index at the end: its positions would be the muxer's, which the
// header's length box moved, and the header tells the length instead.
constexpr const char* k_movflags = "+frag_keyframe+empty_moov+default_base_moof+skip_trailer";
// Complete fragment ends remembered for cutting a torn tail.
constexpr std::size_t k_kept_ends = 8;

}  // namespace

muxer::~muxer() {
    for (auto& [packet, from] : m_held) av_packet_free(&packet);
    // The I/O context is the output's: FFmpeg leaves it alone.
    if (m_format != nullptr) avformat_free_context(m_format);
}

fault muxer::open(std::unique_ptr<storage> file, const seams& seams) {
    m_keep_length = seams.keep_length;
    m_output = std::make_unique<output>(std::move(file), seams);
    if (fault f = m_output->open()) return f;
    // The container is chosen by name, whatever the file name's extension.
    const AVOutputFormat* format = av_guess_format("mp4", nullptr, nullptr);
    if (format == nullptr) return failure(e_fault_setup, "This FFmpeg has no mp4 muxer");
    int result = avformat_alloc_output_context2(&m_format, format, nullptr, nullptr);
    if (result < 0 || m_format == nullptr) {
        return failure(e_fault_setup, "Cannot set up the mp4 muxer", result);
    }
    m_format->pb = m_output->context();
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
    update_index_room();
    return {};
}

void muxer::update_index_room() {
    const auto samples =
        std::accumulate(m_samples_written.begin(), m_samples_written.end(), std::int64_t(0));
    // The fragment being made counts as well.
    m_output->need_index_room(
        index_bound(m_header_end, std::int64_t(m_format->nb_streams), samples, m_fragments + 1));
}

fault muxer::write_fault(int code) {
    m_torn = true;
    // The output keeps the system's reason, or why it took no more media;
    // the muxer's result may only say that something failed.
    if (m_output->problem()) return m_output->problem();
    if (m_format->pb->error < 0) code = m_format->pb->error;
    return failure(e_fault_write, {}, code);
}

fault muxer::hand_over() {
    // The muxer writes only whole fragments; each goes to the operating system
    // at once, so that a killed process leaves it complete in the file.
    // Between fragments nothing is buffered and this costs nothing.
    avio_flush(m_format->pb);
    if (m_format->pb->error < 0) return write_fault(m_format->pb->error);
    const bool header = m_complete_ends.empty();
    if (header && m_keep_length) {
        if (fault f = add_length()) return file_fault(f);
    }
    const std::int64_t end = m_output->in_file(avio_tell(m_format->pb));
    if (!header && m_complete_ends.back() == end) return {};
    // A new fragment (or the header): on the disk before the next one is
    // made, so that a power loss, too, leaves every fragment but the last.
    if (m_output->put_on_disk(!header)) return write_fault(0);
    const std::int64_t from = header ? 0 : m_complete_ends.back();
    if (header) {
        m_header_end = end;
    } else {
        ++m_fragments;
    }
    if (m_complete_ends.size() >= k_kept_ends) m_complete_ends.erase(m_complete_ends.begin());
    m_complete_ends.push_back(end);
    update_index_room();
    // Only a fragment on the disk counts in the header's length.
    if (!header && m_keep_length) {
        if (fault f = count_length(from, end)) return file_fault(f);
    }
    return {};
}

fault muxer::file_fault(const fault& problem) {
    m_torn = true;
    return m_output->problem() ? m_output->problem() : problem;
}

fault muxer::add_length() {
    byte_vector header;
    if (fault f = m_output->add_length_field(header)) return f;
    std::vector<box> top;
    const box* moov = split_boxes(header, top) ? find_box(top, fourcc("moov")) : nullptr;
    if (moov == nullptr) return failure(e_fault_layout, "the file's header has no index");
    if (fault f = read_movie(moov->payload, m_clock)) return f;
    m_clock.times_only = true;
    return {};
}

fault muxer::count_length(std::int64_t from, std::int64_t to) {
    storage& file = m_output->file();
    for (std::int64_t at = from; to - at >= 8;) {
        byte_vector head(std::size_t(std::min<std::int64_t>(16, to - at)));
        if (fault f = file.read_at(at, head)) {
            return failure(e_fault_read, "The file could not be read back: " + f.text);
        }
        top_box b;
        if (!read_top_box(head, at, to, b))
            return failure(e_fault_layout, "a fragment is cut short");
        if (b.type == fourcc("moof")) {
            byte_vector payload(std::size_t(b.size - b.header));
            if (fault f = file.read_at(at + b.header, payload)) {
                return failure(e_fault_read, "The file could not be read back: " + f.text);
            }
            if (fault f = add_fragment(payload, at, to, m_clock)) return f;
        }
        at += b.size;
    }
    return m_output->write_length(movie_length(m_clock));
}

fault muxer::start() {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", k_movflags, 0);
    const int result = avformat_write_header(m_format, &options);
    av_dict_free(&options);
    if (result < 0) {
        if (m_format->pb->error < 0) return write_fault(result);
        return failure(e_fault_setup, "Cannot start the file", result);
    }
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
    av_packet_rescale_ts(packet, from, m_format->streams[index]->time_base);
    const int result = av_interleaved_write_frame(m_format, packet);
    if (result < 0 || m_format->pb->error < 0) {
        return write_fault(result < 0 ? result : m_format->pb->error);
    }
    ++m_samples_written[std::size_t(index)];
    update_index_room();
    return hand_over();
}

fault muxer::end() {
    fault problem;
    if (!m_torn && m_format != nullptr) {
        if (!m_started) problem = start();
        if (!problem) {
            const int result = av_write_trailer(m_format);
            problem = result < 0 || m_format->pb->error < 0 ? write_fault(result) : hand_over();
        }
    }
    close();
    return problem;
}

void muxer::close() {
    if (m_format != nullptr && m_format->pb != nullptr) avio_flush(m_format->pb);
}

}  // namespace Selmet::Palvex::detail
