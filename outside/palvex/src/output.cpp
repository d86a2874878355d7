#include "output.h"

#include <algorithm>

#include "index.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace Selmet::Palvex::detail {

namespace {

using Karvon::Platform::file;

// FFmpeg's buffer in front of the callbacks. A fragment of a second at
// 5 Mbit/s goes to the file in about ten writes.
constexpr int k_buffer_size = 64 << 10;
// Room is allocated this far ahead of what is needed, so that the file
// system is asked about once a second of media, not at every write.
constexpr std::int64_t k_room_step = std::int64_t(1) << 20;

const std::uint8_t k_moof[4] = {'m', 'o', 'o', 'f'};
const std::uint8_t k_free[4] = {'f', 'r', 'e', 'e'};

const char* const k_stop_tail =
    "; the file keeps its last complete fragment and room for its index, and is finished when "
    "the writer closes";

}  // namespace

output::~output() {
    if (m_io != nullptr) {
        // The buffer may have been replaced by FFmpeg: free the one it holds.
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
}

fault output::open() {
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(k_buffer_size));
    if (buffer != nullptr) {
        m_io = avio_alloc_context(buffer, k_buffer_size, 1, this, nullptr, &write_packet, &seek);
    }
    if (m_io == nullptr) {
        av_free(buffer);
        return failure(e_fault_memory, {});
    }
    return {};
}

output::output(std::unique_ptr<storage> file, const seams& seams)
    : m_file(std::move(file)), m_hide_fragments(seams.hide_fragments) {
    if (!seams.keep_room) {
        m_room = e_room_none;
        m_why_fragmented = "no room was reserved for its index";
    }
}

int output::write_packet(void* opaque, av_bytes data, int size) {
    auto& self = *static_cast<output*>(opaque);
    // The header has its length box: the muxer's own header is gone.
    if (self.m_position < self.m_header_end) {
        self.m_problem = failure(e_fault_write, "The muxer wrote into the file's header again");
        return AVERROR(EIO);
    }
    const std::int64_t end = self.m_position + size;
    if (end > self.m_end && !self.make_room(end)) return AVERROR(ENOSPC);
    std::span<const std::uint8_t> bytes(data, std::size_t(size));
    // The type of the next fragment's moof, when this write holds it.
    const std::int64_t type_at = self.m_next_fragment + 4 - self.m_position;
    if (self.m_next_fragment >= 0 && type_at >= 0 && type_at + 4 <= size &&
        std::equal(data + type_at, data + type_at + 4, k_moof)) {
        self.m_scratch.assign(data, data + size);
        std::copy(k_free, k_free + 4, self.m_scratch.begin() + type_at);
        bytes = self.m_scratch;
        self.m_hidden = self.m_next_fragment;
        self.m_next_fragment = -1;
    }
    if (fault f = self.m_file->write_at(self.m_position, bytes)) {
        std::string text = "Write failed: " + f.text;
        if (self.m_room == e_room_none)
            text += "; no room was kept for the index: " + self.m_why_fragmented;
        self.m_problem = failure(e_fault_write, text);
        return AVERROR(EIO);
    }
    self.m_position = end;
    self.m_end = std::max(self.m_end, end);
    return size;
}

std::int64_t output::seek(void* opaque, std::int64_t offset, int whence) {
    auto& self = *static_cast<output*>(opaque);
    std::int64_t to = 0;
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return self.m_end - self.m_shift;
        case SEEK_SET:
            to = self.in_file(offset);
            break;
        case SEEK_CUR:
            to = self.m_position + offset;
            break;
        case SEEK_END:
            to = self.m_end + offset;
            break;
        default:
            return AVERROR(EINVAL);
    }
    if (to < self.m_shift) return AVERROR(EINVAL);
    self.m_position = to;
    return to - self.m_shift;
}

bool output::make_room(std::int64_t end) {
    if (m_room == e_room_none) return true;
    const std::int64_t need = end + m_index_room;
    const std::int64_t limit = m_file->size_limit();
    if (limit >= 0 && need > limit) {
        return no_room("Recording stopped: the file size limit is reached",
                       "the file size limit leaves too little room for the first fragment and "
                       "its index");
    }
    if (need <= m_allocated) return true;
    std::int64_t target = need + k_room_step;
    if (limit >= 0) target = std::min(target, limit);
    std::string reason;
    storage::e_room result = m_file->allocate(target, reason);
    // Short of room for the step ahead, what is needed may still fit.
    if (result == file::e_room_full && target > need) {
        target = need;
        result = m_file->allocate(target, reason);
    }
    switch (result) {
        case file::e_room_done:
            m_allocated = target;
            return true;
        case file::e_room_full:
            return no_room("Recording stopped: the disk is full",
                           "the disk had no room for the first fragment's index");
        case file::e_room_unsupported:
            return no_room(
                "Recording stopped: room for the file's index cannot be allocated (" + reason + ")",
                "this system cannot allocate room ahead for the file (" + reason + ")");
        default:
            return no_room("Recording stopped: room for the file's index could not be allocated (" +
                               reason + ")",
                           "room for its index could not be allocated (" + reason + ")");
    }
}

bool output::no_room(const std::string& stop, const std::string& reason) {
    if (m_room == e_room_pending) {
        m_room = e_room_none;
        m_why_fragmented = reason;
        return true;
    }
    m_problem = failure(e_fault_stopped, stop + k_stop_tail);
    return false;
}

fault output::put_on_disk(bool holds_media) {
    if (fault f = sync()) return f;
    if (m_hidden >= 0) {
        // The fragment is on the disk: its moof comes alive, and that too
        // before anything counts it.
        if (fault f = m_file->write_at(m_hidden + 4, byte_span(k_moof, 4))) {
            m_problem = failure(e_fault_write, "Write failed: " + f.text);
            return m_problem;
        }
        m_hidden = -1;
        if (fault f = sync()) return f;
    }
    if (m_hide_fragments) m_next_fragment = m_end;
    if (holds_media && m_room == e_room_pending) m_room = e_room_held;
    return {};
}

fault output::sync() {
    if (fault f = m_file->sync()) {
        m_problem = failure(e_fault_write, "The file could not be put on the disk: " + f.text);
        return m_problem;
    }
    return {};
}

fault output::add_length_field(byte_vector& with_length) {
    byte_vector header(static_cast<std::size_t>(m_end));
    std::int64_t field = 0;
    if (fault f = m_file->read_at(0, header)) {
        return failure(e_fault_read, "The file's header could not be read back: " + f.text);
    }
    if (fault f = add_length_box(header, with_length, field)) return f;
    const auto grown = std::int64_t(with_length.size()) - m_end;
    // The header grows over what will be the first fragment's room.
    if (!make_room(m_end + grown)) return m_problem;
    if (fault f = m_file->write_at(0, with_length)) {
        m_problem = failure(e_fault_write, "Write failed: " + f.text);
        return m_problem;
    }
    m_shift = grown;
    m_end += grown;
    m_position = m_end;
    m_header_end = m_end;
    m_length_field = field;
    return {};
}

fault output::write_length(std::int64_t length) {
    byte_writer value;
    value.u64(std::uint64_t(length));
    if (fault f = m_file->write_at(m_length_field, value.bytes())) {
        m_problem = failure(e_fault_write, "Write failed: " + f.text);
        return m_problem;
    }
    return {};
}

}  // namespace Selmet::Palvex::detail
