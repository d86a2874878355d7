#include "media/recording_scan.h"

#include <algorithm>
#include <limits>

#include "core/media_facts.h"

namespace Harnvik::Report {

namespace {

// A fragmented file's index of its tracks takes a few KiB, a fragment's
// index (moof) a few KiB per second of media: more is damage, not read.
constexpr std::int64_t k_most_index_bytes = 64 << 20;
constexpr std::int64_t k_most_fragment_index_bytes = 16 << 20;

// tfhd flags: which fields follow the track's id.
constexpr std::uint32_t k_base_data_offset = 0x1;
constexpr std::uint32_t k_description_index = 0x2;
constexpr std::uint32_t k_default_duration = 0x8;
// trun flags: which fields follow the sample count, and each sample.
constexpr std::uint32_t k_data_offset = 0x1;
constexpr std::uint32_t k_first_sample_flags = 0x4;
constexpr std::uint32_t k_sample_duration = 0x100;
constexpr std::uint32_t k_sample_size = 0x200;
constexpr std::uint32_t k_sample_flags = 0x400;
constexpr std::uint32_t k_composition_offset = 0x800;

std::string at_byte(std::int64_t offset) {
    return " at byte " + std::to_string(offset);
}

// Bytes of the file from `base` on, copied into memory; offsets stay the
// file's, so the boxes found in them name their place in the file.
struct copy {
    std::int64_t base = 0;
    std::vector<std::uint8_t> bytes;

    byte_source source() const {
        byte_source made;
        made.size = base + static_cast<std::int64_t>(bytes.size());
        made.read = [this](std::int64_t offset, std::uint8_t* out, std::size_t count) {
            if (offset < base || offset - base + static_cast<std::int64_t>(count) >
                                     static_cast<std::int64_t>(bytes.size())) {
                return false;
            }
            std::copy_n(bytes.begin() + (offset - base), count, out);
            return true;
        };
        return made;
    }

    // The big-endian number of `size` bytes at `at` within `within`; false
    // when the box ends before it does.
    bool number(const box_header& within, std::int64_t at, int size, std::uint64_t& value) const {
        if (at < within.offset || at + size > within.end() || at < base ||
            at - base + size > static_cast<std::int64_t>(bytes.size())) {
            return false;
        }
        value = 0;
        for (int i = 0; i < size; ++i) value = (value << 8) | bytes[std::size_t(at - base + i)];
        return true;
    }
};

bool read_copy(const byte_source& source, const box_header& whole, copy& into) {
    into.base = whole.offset;
    into.bytes.resize(static_cast<std::size_t>(whole.size));
    return source.read(whole.offset, into.bytes.data(), into.bytes.size());
}

// Calls `visit` with each whole child of `parent` in `bytes`.
template <typename visitor>
void for_each_child(const copy& bytes, const box_header& parent, visitor&& visit) {
    const byte_source source = bytes.source();
    std::string problem;
    box_header child;
    for (std::int64_t at = parent.offset + parent.header;
         read_box(source, at, parent.end(), "", child, problem) == e_box_whole; at = child.end()) {
        visit(child);
    }
}

// A full box's version, and where its fields start.
int version_of(const copy& bytes, const box_header& full) {
    std::uint64_t version = 0;
    return bytes.number(full, full.offset + full.header, 1, version) ? static_cast<int>(version)
                                                                     : -1;
}

std::int64_t fields_of(const box_header& full) {
    return full.offset + full.header + 4;
}

// Takes the samples of one track's part of a fragment (traf) into its
// track's times: where they start to decode (the tfdt, or where the track's
// last fragment ended), and where each one's presentation ends. False when a
// run tells of more samples than it holds.
bool take_track_fragment(const copy& bytes, const box_header& traf,
                         std::vector<recording_scan::track>& tracks) {
    recording_scan::track* own = nullptr;
    std::uint32_t default_duration = 0;
    bool whole = true;
    for_each_child(bytes, traf, [&](const box_header& part) {
        std::uint64_t value = 0;
        if (part.is("tfhd")) {
            std::uint64_t flags = 0;
            std::uint64_t id = 0;
            if (!bytes.number(part, part.offset + part.header + 1, 3, flags) ||
                !bytes.number(part, fields_of(part), 4, id)) {
                return;
            }
            for (recording_scan::track& each : tracks) {
                if (each.id == id) own = &each;
            }
            if (own == nullptr) return;
            default_duration = own->default_duration;
            std::int64_t at = fields_of(part) + 4;
            if ((flags & k_base_data_offset) != 0) at += 8;
            if ((flags & k_description_index) != 0) at += 4;
            if ((flags & k_default_duration) != 0 && bytes.number(part, at, 4, value)) {
                default_duration = static_cast<std::uint32_t>(value);
            }
        } else if (own != nullptr && part.is("tfdt")) {
            const int size = version_of(bytes, part) == 1 ? 8 : 4;
            if (bytes.number(part, fields_of(part), size, value)) own->decode_end = value;
        } else if (own != nullptr && part.is("trun")) {
            std::uint64_t flags = 0;
            std::uint64_t count = 0;
            if (!bytes.number(part, part.offset + part.header + 1, 3, flags) ||
                !bytes.number(part, fields_of(part), 4, count)) {
                whole = false;
                return;
            }
            std::int64_t at = fields_of(part) + 4;
            if ((flags & k_data_offset) != 0) at += 4;
            if ((flags & k_first_sample_flags) != 0) at += 4;
            // Each sample's entry holds the fields its flags name, 4 bytes each.
            std::int64_t entry = 0;
            std::int64_t duration_at = -1;
            std::int64_t offset_at = -1;
            for (const std::uint32_t field :
                 {k_sample_duration, k_sample_size, k_sample_flags, k_composition_offset}) {
                if ((flags & field) == 0) continue;
                if (field == k_sample_duration) duration_at = entry;
                if (field == k_composition_offset) offset_at = entry;
                entry += 4;
            }
            const double scale = static_cast<double>(own->time_scale);
            const std::int64_t room = part.end() - at;
            if (room < 0) {
                whole = false;
                return;
            }
            if (entry == 0) {  // every sample lasts the default
                own->decode_end += count * default_duration;
                own->end_s = std::max(own->end_s, static_cast<double>(own->decode_end) / scale);
                return;
            }
            const auto held = static_cast<std::uint64_t>(room / entry);
            if (count > held) {
                whole = false;
                count = held;
            }
            const bool signed_offsets = version_of(bytes, part) == 1;
            for (std::uint64_t sample = 0; sample < count; ++sample, at += entry) {
                std::uint64_t duration = default_duration;
                std::uint64_t offset = 0;
                if (duration_at >= 0) bytes.number(part, at + duration_at, 4, duration);
                if (offset_at >= 0) bytes.number(part, at + offset_at, 4, offset);
                const double shift = signed_offsets
                                         ? static_cast<double>(static_cast<std::int32_t>(offset))
                                         : static_cast<double>(offset);
                own->end_s = std::max(own->end_s, (static_cast<double>(own->decode_end) + shift +
                                                   static_cast<double>(duration)) /
                                                      scale);
                own->decode_end += duration;
            }
        }
    });
    return whole;
}

}  // namespace

void recording_scan::restart() {
    *this = recording_scan{};
}

void recording_scan::note_once(std::vector<std::string>& notes, const std::string& text) {
    if (text == m_said) return;
    m_said = text;
    notes.push_back(text);
}

void recording_scan::look(const byte_source& file, recording_sample& sample,
                          std::vector<std::string>& notes) {
    m_bytes_read = 0;
    byte_source source;
    source.size = file.size;
    source.read = [this, &file](std::int64_t offset, std::uint8_t* out, std::size_t count) {
        m_bytes_read += static_cast<std::int64_t>(count);
        return file.read(offset, out, count);
    };
    if (source.size < m_next) {
        note_once(notes, "the recording was cut to " + std::to_string(source.size) +
                             " bytes (it had " + std::to_string(m_next) +
                             "): read again from its start");
        const std::string said = m_said;
        restart();
        m_said = said;
    }
    if (m_state != e_recording_fragmented && m_state != e_recording_finished) {
        read_header(source, sample, notes);
    }
    if (m_state == e_recording_fragmented) {
        // The recorder finishes the file by turning its first index into
        // the head of one mdat over everything.
        box_header index;
        std::string problem;
        if (read_box(source, m_index.offset, source.size, "the file", index, problem) !=
                e_box_whole ||
            !index.is("moov")) {
            m_state = e_recording_finished;
        }
    }
    if (m_state == e_recording_fragmented) {
        // The length first: it never tells more than the fragments that are
        // whole by now, which the walk then reads.
        sample.has_header_length =
            m_has_length && read_header_length(source, m_length, sample.header_length_s);
        read_fragments(source, notes);
    }
    sample.state = m_state;
    sample.file_bytes = source.size;
    sample.header_length_note = m_length_note;
    sample.fragments = m_fragments;
    sample.fragments_s = m_fragments_s;
    sample.media_bytes = m_media_bytes;
    if (m_state == e_recording_fragmented) compare_length(sample, notes);
}

bool recording_scan::read_header(const byte_source& source, recording_sample& sample,
                                 std::vector<std::string>& notes) {
    m_state = e_recording_no_header;
    box_header file_type;
    std::string problem;
    e_box_read result = read_box(source, 0, source.size, "the file", file_type, problem);
    // A first box cut short is waited for when it is an ftyp, or its type
    // is not there yet.
    const bool typed = file_type.type[0] != '\0';
    if (result == e_box_none_left ||
        (result == e_box_cut_short && (!typed || file_type.is("ftyp")))) {
        return false;
    }
    if (result != e_box_whole || !file_type.is("ftyp")) {
        m_state = e_recording_not_mp4;
        note_once(notes,
                  "the recording is no MP4 file: " +
                      (typed ? std::string("its first box is '") + file_type.type + "', not 'ftyp'"
                             : problem));
        return false;
    }
    result = read_box(source, file_type.end(), source.size, "the file", m_index, problem);
    if (result == e_box_none_left || result == e_box_cut_short) return false;
    if (result == e_box_problem || m_index.is("mdat")) {
        // The finished file: its first index became the head of its media.
        m_state = result == e_box_problem ? e_recording_not_mp4 : e_recording_finished;
        if (result == e_box_problem) note_once(notes, "the recording's header: " + problem);
        return false;
    }
    if (!m_index.is("moov")) {
        m_state = e_recording_not_mp4;
        note_once(notes, std::string("the recording's header has '") + m_index.type +
                             "' after 'ftyp', not its index (moov)");
        return false;
    }
    std::string note;
    if (!has_fragment_header(source, m_index, &m_length, note, problem)) {
        m_state = e_recording_finished;  // a full index: an ordinary MP4
        return false;
    }
    m_state = e_recording_fragmented;
    m_has_length = m_length.size != 0;
    m_length_note = note;
    if (!problem.empty()) note_once(notes, "the recording's header: " + problem);
    read_tracks(source, m_index);
    m_next = m_index.end();
    sample.has_header_length = false;
    return true;
}

void recording_scan::read_tracks(const byte_source& source, const box_header& index) {
    copy bytes;
    if (index.size > k_most_index_bytes || !read_copy(source, index, bytes)) return;
    for_each_child(bytes, index, [&](const box_header& child) {
        if (child.is("trak")) {
            track found;
            for_each_child(bytes, child, [&](const box_header& part) {
                std::uint64_t value = 0;
                // tkhd: the track's id after two times of 32 or 64 bits.
                if (part.is("tkhd") &&
                    bytes.number(part, fields_of(part) + (version_of(bytes, part) == 1 ? 16 : 8), 4,
                                 value)) {
                    found.id = static_cast<std::uint32_t>(value);
                }
                if (!part.is("mdia")) return;
                for_each_child(bytes, part, [&](const box_header& media) {
                    // mdhd: the time scale after the same two times.
                    if (media.is("mdhd") &&
                        bytes.number(media,
                                     fields_of(media) + (version_of(bytes, media) == 1 ? 16 : 8), 4,
                                     value)) {
                        found.time_scale = value;
                    }
                });
            });
            if (found.id != 0 && found.time_scale != 0) m_tracks.push_back(found);
        } else if (child.is("mvex")) {
            for_each_child(bytes, child, [&](const box_header& defaults) {
                std::uint64_t id = 0;
                std::uint64_t duration = 0;
                // trex: id, description index, duration, size, flags.
                if (!defaults.is("trex") || !bytes.number(defaults, fields_of(defaults), 4, id) ||
                    !bytes.number(defaults, fields_of(defaults) + 8, 4, duration)) {
                    return;
                }
                for (track& each : m_tracks) {
                    if (each.id == id) each.default_duration = static_cast<std::uint32_t>(duration);
                }
            });
        }
    });
}

void recording_scan::read_fragments(const byte_source& source, std::vector<std::string>& notes) {
    for (;;) {
        box_header found;
        std::string problem;
        e_box_read result = read_box(source, m_next, source.size, "the file", found, problem);
        if (result == e_box_none_left || result == e_box_cut_short) return;
        if (result == e_box_problem) {
            note_once(notes, "the recording's boxes break off, the fragments after are not read: " +
                                 problem);
            return;
        }
        box_header data;
        box_header beyond;
        if (found.is("free")) {
            // A fragment's moof is typed free until the fragment is on the
            // disk, so a free box is passed over only when two more whole
            // boxes follow it, and it is still free after they were seen.
            if (read_box(source, found.end(), source.size, "the file", data, problem) !=
                    e_box_whole ||
                read_box(source, data.end(), source.size, "the file", beyond, problem) !=
                    e_box_whole ||
                read_box(source, found.offset, source.size, "the file", found, problem) !=
                    e_box_whole) {
                return;
            }
            if (found.is("free")) {
                m_next = found.end();
                continue;
            }
        }
        if (!found.is("moof")) {
            // Media without an index, or what the finish writes after the
            // media: no fragment.
            m_next = found.end();
            continue;
        }
        result = read_box(source, found.end(), source.size, "the file", data, problem);
        if (result == e_box_none_left || result == e_box_cut_short) return;
        if (result == e_box_whole && data.is("mdat")) {
            take_fragment(source, found, notes);
            m_media_bytes += data.size - data.header;
            m_next = data.end();
            continue;
        }
        note_once(notes,
                  "the fragment" + at_byte(found.offset) + " has no media (mdat) after its " +
                      "index: " +
                      (problem.empty() ? std::string("'") + data.type + "' follows" : problem));
        m_next = found.end();
    }
}

void recording_scan::take_fragment(const byte_source& source, const box_header& fragment,
                                   std::vector<std::string>& notes) {
    ++m_fragments;
    copy bytes;
    if (fragment.size > k_most_fragment_index_bytes || !read_copy(source, fragment, bytes)) {
        note_once(notes, "the fragment's index" + at_byte(fragment.offset) + " (" +
                             std::to_string(fragment.size) + " bytes) is not read: its times are " +
                             "not counted");
        return;
    }
    bool whole = true;
    for_each_child(bytes, fragment, [&](const box_header& child) {
        if (child.is("traf")) whole = take_track_fragment(bytes, child, m_tracks) && whole;
    });
    if (!whole) {
        note_once(notes, "the fragment's index" + at_byte(fragment.offset) +
                             " holds fewer samples than it tells: their times are counted as far "
                             "as it goes");
    }
    for (const track& each : m_tracks) m_fragments_s = std::max(m_fragments_s, each.end_s);
}

void recording_scan::compare_length(recording_sample& sample, std::vector<std::string>& notes) {
    char text[256];
    if (sample.has_header_length && m_fragments > 0 &&
        sample.header_length_s > m_fragments_s + k_header_tolerance_s) {
        std::snprintf(text, sizeof(text),
                      "the header tells %.3f s, more than its complete fragments hold (%.3f s), "
                      "which is never right",
                      sample.header_length_s, m_fragments_s);
        note_once(notes, text);
    } else if (sample.has_header_length &&
               sample.header_length_s < m_fragments_s_before - k_header_tolerance_s) {
        std::snprintf(text, sizeof(text),
                      "the header tells %.3f s, less than the %.3f s its complete fragments "
                      "held at the look before",
                      sample.header_length_s, m_fragments_s_before);
        note_once(notes, text);
    }
    m_fragments_s_before = m_fragments_s;
}

}  // namespace Harnvik::Report
