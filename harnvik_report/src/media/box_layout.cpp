#include "media/box_layout.h"

#include <string>
#include <string_view>

namespace Harnvik::Report {

namespace {

constexpr std::int64_t k_header = 8;         // 32-bit size and type
constexpr std::int64_t k_large_header = 16;  // size 1: a 64-bit size follows the type
// More top-level boxes than any recording has (a day of one-second fragments
// is under 200,000): beyond them the walk stops, so it stays bounded whatever
// the file holds.
constexpr std::int64_t k_most_boxes = 10'000'000;
// Children of an index looked at; a real one has a handful.
constexpr std::int64_t k_most_children = 10'000;

std::uint64_t big_endian(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

// Box types are four printable ASCII characters.
bool is_box_type(const std::uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7E) return false;
    }
    return true;
}

std::string at_byte(std::int64_t offset) {
    return " at byte " + std::to_string(offset);
}

// Walks the children of `parent` (named by `within`) up to the first for
// which `visit` returns true, and returns whether one did. A damaged child
// list ends the walk: `problem` says how.
template <typename visitor>
bool find_child(const byte_source& source, const box_header& parent, const std::string& within,
                visitor&& visit, std::string& problem) {
    const std::int64_t end = parent.offset + parent.size;
    std::int64_t offset = parent.offset + parent.header;
    for (std::int64_t children = 0; children < k_most_children; ++children) {
        box_header child;
        const e_box_read result = read_box(source, offset, end, within, child, problem);
        if (result != e_box_whole) return false;
        if (visit(child)) return true;
        offset += child.size;
    }
    return false;
}

// Where a field of a full box lies in its payload, after the version and
// the flags, for versions 0 and 1.
struct field_place {
    std::int64_t at = 0;
    std::int64_t size = 0;  // 4 or 8 bytes
};

// Reads a field of a full box (`name` at `full`) whose place its version
// chooses: false, with `note` saying why, when the version is neither 0 nor
// 1 or the box ends before the field does; `problem` too when a read fails.
// `place` gets where the field lies in the file.
bool read_versioned_field(const byte_source& source, const box_header& full,
                          const std::string& name, const field_place (&places)[2],
                          std::uint64_t& value, std::string& note, std::string& problem,
                          field_place* place_in_file = nullptr) {
    const std::int64_t payload = full.offset + full.header;
    const std::int64_t holds = full.size - full.header;
    const std::string named = name + at_byte(full.offset);
    std::uint8_t bytes[8];
    if (holds < 4) {
        note = named + " holds " + std::to_string(holds) + " bytes, too few for its version";
        return false;
    }
    if (!source.read(payload, bytes, 4)) {
        problem = note = "cannot read" + at_byte(payload);
        return false;
    }
    const int version = bytes[0];
    if (version > 1) {
        note = named + " has version " + std::to_string(version) + ", which has no known form";
        return false;
    }
    const field_place& place = places[version];
    if (holds < place.at + place.size) {
        note = named + " is cut short: version " + std::to_string(version) + " needs " +
               std::to_string(place.at + place.size) + " bytes, it holds " + std::to_string(holds);
        return false;
    }
    if (!source.read(payload + place.at, bytes, static_cast<std::size_t>(place.size))) {
        problem = note = "cannot read" + at_byte(payload + place.at);
        return false;
    }
    value = big_endian(bytes, static_cast<int>(place.size));
    if (place_in_file != nullptr) *place_in_file = field_place{payload + place.at, place.size};
    return true;
}

// Where the fragments' header (`fragments_header`, mvex) keeps the length
// in its movie extends header (mehd), and the time scale of the movie header
// (`movie_header`, mvhd; null when the index has none before mvex). False
// with `note` saying why when it tells none, and `problem` when a box is
// damaged or a read fails.
bool locate_header_length(const byte_source& source, const box_header* movie_header,
                          const box_header& fragments_header, header_length_place& length,
                          std::string& note, std::string& problem) {
    const std::string within = "the fragments' header (mvex)" + at_byte(fragments_header.offset);
    box_header length_box;
    const auto is_length_box = [&length_box](const box_header& child) {
        if (!child.is("mehd")) return false;
        length_box = child;
        return true;
    };
    std::string broken;
    if (!find_child(source, fragments_header, within, is_length_box, broken)) {
        if (broken.empty()) {
            note = "no movie extends header (mehd) in " + within;
        } else {
            note = within + " breaks off before any movie extends header (mehd)";
            problem = "in " + within + ": " + broken;
        }
        return false;
    }
    // mehd: version 0 has a 32-bit length, version 1 a 64-bit one.
    static constexpr field_place k_length[2] = {{4, 4}, {4, 8}};
    std::uint64_t ticks = 0;
    field_place field;
    if (!read_versioned_field(source, length_box, "the movie extends header (mehd)", k_length,
                              ticks, note, problem, &field)) {
        return false;
    }
    if (movie_header == nullptr) {
        note = "no movie header (mvhd) before " + within + ", so no time scale";
        return false;
    }
    // mvhd: the time scale follows the creation and modification times, 32
    // bits each in version 0 and 64 in version 1.
    static constexpr field_place k_time_scale[2] = {{12, 4}, {20, 4}};
    std::uint64_t time_scale = 0;
    if (!read_versioned_field(source, *movie_header, "the movie header (mvhd)", k_time_scale,
                              time_scale, note, problem)) {
        return false;
    }
    if (time_scale == 0) {
        note = "the movie header (mvhd)" + at_byte(movie_header->offset) + " has a time scale of 0";
        return false;
    }
    length = header_length_place{field.at, field.size, time_scale};
    return true;
}

}  // namespace

bool has_fragment_header(const byte_source& source, const box_header& index,
                         header_length_place* length, std::string& note, std::string& problem) {
    const std::string within = std::string("the index") + at_byte(index.offset);
    box_header movie_header;
    bool has_movie_header = false;
    box_header fragments_header;
    const auto visit = [&](const box_header& child) {
        if (child.is("mvex")) {
            fragments_header = child;
            return true;
        }
        if (child.is("mvhd") && !has_movie_header) {
            movie_header = child;
            has_movie_header = true;
        }
        return false;
    };
    std::string broken;
    if (!find_child(source, index, within, visit, broken)) {
        if (!broken.empty()) problem = "in the index" + at_byte(index.offset) + ": " + broken;
        return false;
    }
    if (length != nullptr) {
        locate_header_length(source, has_movie_header ? &movie_header : nullptr, fragments_header,
                             *length, note, problem);
    }
    return true;
}

box_layout read_box_layout(const byte_source& source) {
    box_layout layout;
    layout.read = true;
    bool full_index = false;
    bool fragment_index = false;
    std::int64_t offset = 0;
    for (;;) {
        if (layout.boxes == k_most_boxes) {
            if (offset < source.size) {
                layout.problem = "more than " + std::to_string(k_most_boxes) +
                                 " boxes: the rest of the file is not read";
            }
            break;
        }
        box_header found;
        std::string problem;
        const e_box_read result = read_box(source, offset, source.size, "the file", found, problem);
        if (result == e_box_none_left) break;
        if (result != e_box_whole) {
            if (layout.problem.empty()) layout.problem = problem;
            break;
        }
        if (found.is("moov")) {
            // The first index with the fragments' header tells the length.
            header_length_place place;
            std::string note;
            problem.clear();
            const bool first = !fragment_index;
            const bool fragments =
                has_fragment_header(source, found, first ? &place : nullptr, note, problem);
            if (!problem.empty() && layout.problem.empty()) layout.problem = problem;
            if (fragments && first) {
                layout.header_length_note = note;
                layout.has_header_length =
                    place.size != 0 && read_header_length(source, place, layout.header_length_s);
            }
            (fragments ? fragment_index : full_index) = true;
        } else if (found.is("moof")) {
            ++layout.fragments;
        }
        offset += found.size;
        ++layout.boxes;
    }
    layout.boxes_end = offset;
    if (layout.fragments > 0 || fragment_index) {
        layout.kind = e_layout_fragmented;
        if (!fragment_index)
            layout.header_length_note = "no index holds the fragments' header (mvex)";
    } else if (full_index) {
        layout.kind = e_layout_ordinary;
    } else {
        layout.kind = e_layout_no_index;
    }
    return layout;
}

bool box_header::is(const char* name) const {
    return std::string_view(name) == type;
}

e_box_read read_box(const byte_source& source, std::int64_t offset, std::int64_t end,
                    const std::string& within, box_header& found, std::string& problem) {
    if (offset >= end) return e_box_none_left;
    const std::int64_t left = end - offset;
    std::uint8_t bytes[k_large_header];
    if (left < k_header) {
        problem = std::to_string(left) + " bytes" + at_byte(offset) + ", too few for a box";
        return e_box_cut_short;
    }
    if (!source.read(offset, bytes, k_header)) {
        problem = "cannot read" + at_byte(offset);
        return e_box_problem;
    }
    if (!is_box_type(bytes + 4)) {
        problem = "no box" + at_byte(offset) + ": its bytes name no box type";
        return e_box_problem;
    }
    found.offset = offset;
    for (int i = 0; i < 4; ++i) found.type[i] = static_cast<char>(bytes[4 + i]);
    const std::string name = std::string("box '") + found.type + "'" + at_byte(offset);
    std::uint64_t size = big_endian(bytes, 4);
    std::int64_t header = k_header;
    if (size == 1) {
        if (left < k_large_header) {
            problem = name + " is cut short in its header";
            return e_box_cut_short;
        }
        if (!source.read(offset + k_header, bytes + k_header, k_large_header - k_header)) {
            problem = "cannot read" + at_byte(offset + k_header);
            return e_box_problem;
        }
        size = big_endian(bytes + k_header, 8);
        header = k_large_header;
    } else if (size == 0) {
        size = static_cast<std::uint64_t>(left);  // up to the end of `within`
    }
    if (size < static_cast<std::uint64_t>(header)) {
        problem = name + " claims " + std::to_string(size) + " bytes, less than its header";
        return e_box_problem;
    }
    if (size > static_cast<std::uint64_t>(left)) {
        problem = name + " claims " + std::to_string(size) + " bytes, but " + std::string(within) +
                  " holds only " + std::to_string(left) + " from there: it is cut short";
        return e_box_cut_short;
    }
    found.size = static_cast<std::int64_t>(size);
    found.header = header;
    return e_box_whole;
}

bool read_header_length(const byte_source& source, const header_length_place& place,
                        double& seconds) {
    std::uint8_t bytes[8];
    if (place.size < 1 || place.size > 8 || place.time_scale == 0 ||
        !source.read(place.offset, bytes, static_cast<std::size_t>(place.size))) {
        return false;
    }
    seconds = static_cast<double>(big_endian(bytes, static_cast<int>(place.size))) /
              static_cast<double>(place.time_scale);
    return true;
}

}  // namespace Harnvik::Report
