#include "fragmented_file.h"

#include <algorithm>

namespace Selmet::Palvex::detail {

namespace {

using Karvon::Platform::file;

// Room is allocated this far ahead of what is needed, so that the file
// system is asked about once a second of media, not at every fragment.
constexpr std::int64_t k_room_step = std::int64_t(1) << 20;
// No box of the muxer's comes near this: a fragment holds seconds of media.
constexpr std::uint64_t k_max_box = std::uint64_t(1) << 30;

const std::uint8_t k_moof[4] = {'m', 'o', 'o', 'f'};
const std::uint8_t k_free[4] = {'f', 'r', 'e', 'e'};

const char* const k_room_kept_tail =
    "; the file keeps its last complete fragment and room for its index, and is finished when "
    "the writer closes";

enum e_next { e_next_wait, e_next_whole, e_next_bad };

// The box at `at` of the bytes taken: whole, not whole yet, or no box.
e_next next_box(byte_span bytes, std::size_t at, box_header& h) {
    switch (read_box_header(bytes.subspan(at), k_max_box, h)) {
        case e_box_header_cut_short:
            return e_next_wait;
        case e_box_header_bad:
            return e_next_bad;
        default:
            return h.size > bytes.size() - at ? e_next_wait : e_next_whole;
    }
}

}  // namespace

fragmented_file::fragmented_file(std::unique_ptr<storage> file, const seams& seams)
    : m_file(std::move(file)), m_seams(seams) {
    if (!seams.keep_room) {
        m_room = e_room_none;
        m_why_no_room = "no room was reserved for its index";
    }
}

void fragmented_file::take(byte_span bytes) {
    if (!m_problem) m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
}

fault fragmented_file::commit() {
    std::size_t at = 0;
    while (!m_problem) {
        box_header h;
        const e_next next = next_box(m_pending, at, h);
        if (next == e_next_wait) break;
        if (next == e_next_bad)
            return fail(e_fault_write, "The muxer's output is not a chain of boxes");
        const auto size = std::size_t(h.size);
        if (m_header_end == 0) {
            // The header is every box up to the first index, written at once.
            if (h.type == fourcc("moof") || h.type == fourcc("mdat")) {
                return fail(e_fault_write, "The muxer's fragments come before its index");
            }
            if (h.type == fourcc("moov")) {
                if (fault f = write_header(at + size)) return f;
                m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(at + size));
                at = 0;
            } else {
                at += size;
            }
            continue;
        }
        if (h.type != fourcc("moof")) {
            return fail(e_fault_write, "The muxer wrote a " + fourcc_text(h.type) +
                                           " box where a fragment belongs");
        }
        // A fragment: its moof and the mdat after it, both whole.
        box_header media;
        const e_next after = next_box(m_pending, at + size, media);
        if (after == e_next_wait) break;
        if (after == e_next_bad || media.type != fourcc("mdat")) {
            return fail(e_fault_write, "A fragment of the muxer's has no media after its index");
        }
        if (fault f = append_fragment(at, h, std::size_t(media.size))) return f;
        at += size + std::size_t(media.size);
    }
    if (m_problem) return m_problem;
    // Before the header, `at` counts boxes taken but not written yet.
    if (m_header_end > 0) {
        m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(at));
    }
    return {};
}

fault fragmented_file::write_header(std::size_t end) {
    const byte_span header(m_pending.data(), end);
    byte_vector bytes;
    std::int64_t field = -1;
    if (m_seams.keep_length) {
        if (fault f = add_length_box(header, bytes, field)) return fail(e_fault_write, f.text);
    } else {
        bytes.assign(header.begin(), header.end());
    }
    std::vector<box> top;
    const box* moov = split_boxes(bytes, top) ? find_box(top, fourcc("moov")) : nullptr;
    if (moov == nullptr) return fail(e_fault_write, "The muxer's header has no index");
    if (fault f = read_movie(moov->payload, m_clock)) return fail(e_fault_write, f.text);
    if (fault f = measure_index(moov->payload, m_clock, m_index)) {
        return fail(e_fault_write, f.text);
    }
    m_clock.times_only = true;
    const auto size = std::int64_t(bytes.size());
    if (!make_room(size, index_size(m_index, m_clock))) return m_problem;
    if (fault f = write(0, bytes)) return f;
    // Whole on the disk, unless the sync fails: the end then finds a file
    // that holds its header and no fragment.
    m_end = m_media_end = m_header_end = size;
    m_length_field = field;
    return sync();
}

fault fragmented_file::append_fragment(std::size_t moof, const box_header& moof_box,
                                       std::size_t mdat_size) {
    const auto moof_size = std::size_t(moof_box.size);
    const std::int64_t position = m_end;
    const std::int64_t end = position + std::int64_t(moof_size + mdat_size);
    // The clock moves on from the fragment in memory; it counts once the
    // fragment is on the disk.
    movie next = m_clock;
    if (fault f = add_fragment(
            byte_span(m_pending).subspan(moof + moof_box.header, moof_size - moof_box.header),
            position, end, next)) {
        return fail(e_fault_write, "A fragment of the muxer's cannot be read: " + f.text);
    }
    if (!make_room(end, index_size(m_index, next))) return m_problem;
    // Hidden as free until the whole fragment is on the disk: a power loss
    // that tears it leaves a free box cut short, which players pass over,
    // never a moof cut short, which stops them reading the file.
    if (m_seams.hide_fragments) std::copy(k_free, k_free + 4, m_pending.begin() + moof + 4);
    if (fault f = write(position, byte_span(m_pending.data() + moof, moof_size + mdat_size))) {
        return f;
    }
    if (fault f = sync()) return f;
    if (m_seams.hide_fragments) {
        if (fault f = write(position + 4, byte_span(k_moof, 4))) return f;
        if (fault f = sync()) return f;
    }
    m_end = m_media_end = end;
    ++m_fragments;
    m_clock = std::move(next);
    if (m_room == e_room_pending) m_room = e_room_held;
    if (!m_seams.keep_length || m_length_field < 0) return {};
    // No sync of its own: the next fragment's first sync carries it, and
    // that comes after the fragment it counts is whole and alive.
    m_length = movie_length(m_clock);
    byte_writer value;
    value.u64(std::uint64_t(m_length));
    return write(m_length_field, value.bytes());
}

bool fragmented_file::make_room(std::int64_t end, std::int64_t index) {
    const std::int64_t limit = m_file->size_limit();
    const std::int64_t need = end + index;
    if (m_room == e_room_none) {
        // Without room the limit still ends media before a write crosses it.
    } else if (limit >= 0 && need > limit) {
        if (!no_room("Recording stopped: the file size limit is reached",
                     "the file size limit leaves too little room for the first fragment and its "
                     "index")) {
            return false;
        }
    } else if (need > m_allocated) {
        std::int64_t target = need + k_room_step;
        if (limit >= 0) target = std::min(target, limit);
        std::string reason;
        storage::e_room result = m_file->allocate(target, reason);
        // Short of room for the step ahead, what is needed may still fit.
        if (result == file::e_room_full && target > need) {
            target = need;
            result = m_file->allocate(target, reason);
        }
        bool go_on = true;
        switch (result) {
            case file::e_room_done:
                m_allocated = target;
                break;
            case file::e_room_full:
                go_on = no_room("Recording stopped: the disk is full",
                                "the disk had no room for the first fragment's index");
                break;
            case file::e_room_unsupported:
                go_on =
                    no_room("Recording stopped: room for the file's index cannot be allocated (" +
                                reason + ")",
                            "this system cannot allocate room ahead for the file (" + reason + ")");
                break;
            default:
                go_on = no_room(
                    "Recording stopped: room for the file's index could not be allocated (" +
                        reason + ")",
                    "room for its index could not be allocated (" + reason + ")");
                break;
        }
        if (!go_on) return false;
    }
    if (m_room == e_room_none && limit >= 0 && end > limit) {
        fail(e_fault_stopped,
             m_fragments == 0
                 ? "Recording stopped: the file size limit is reached before the first complete "
                   "fragment"
                 : "Recording stopped: the file size limit is reached; the file keeps its last "
                   "complete fragment; no room was kept for the index: " +
                       m_why_no_room);
        return false;
    }
    return true;
}

bool fragmented_file::no_room(const std::string& stop, const std::string& reason) {
    if (m_room == e_room_pending) {
        m_room = e_room_none;
        m_why_no_room = reason;
        return true;
    }
    fail(e_fault_stopped, stop + k_room_kept_tail);
    return false;
}

fault fragmented_file::fail(e_fault kind, const std::string& text) {
    m_problem = failure(kind, text);
    m_pending.clear();
    m_pending.shrink_to_fit();
    return m_problem;
}

fault fragmented_file::write(std::int64_t position, byte_span bytes) {
    fault f = m_file->write_at(position, bytes);
    if (!f) return {};
    std::string text = "Write failed: " + f.text;
    if (m_room == e_room_none) text += "; no room was kept for the index: " + m_why_no_room;
    return fail(e_fault_write, text);
}

fault fragmented_file::sync() {
    if (fault f = m_file->sync()) {
        return fail(e_fault_write, "The file could not be put on the disk: " + f.text);
    }
    return {};
}

}  // namespace Selmet::Palvex::detail
