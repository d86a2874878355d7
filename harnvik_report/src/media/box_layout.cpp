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

struct box {
    std::int64_t offset = 0;
    std::int64_t size = 0;    // header included
    std::int64_t header = 0;  // 8, or 16 with a 64-bit size
    char type[5] = {};
};

enum e_box_read : std::uint8_t { e_box_whole, e_box_none_left, e_box_problem };

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

// Reads the header of the box at `offset` among boxes that end at `end`
// (the end of the file or of their parent, named by `within`).
e_box_read read_box(const byte_source& source, std::int64_t offset, std::int64_t end,
                    std::string_view within, box& found, std::string& problem) {
    if (offset >= end) return e_box_none_left;
    const std::int64_t left = end - offset;
    std::uint8_t bytes[k_large_header];
    if (left < k_header) {
        problem = std::to_string(left) + " bytes" + at_byte(offset) + ", too few for a box";
        return e_box_problem;
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
            return e_box_problem;
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
        return e_box_problem;
    }
    found.size = static_cast<std::int64_t>(size);
    found.header = header;
    return e_box_whole;
}

bool is(const box& found, std::string_view type) {
    return type == found.type;
}

// Whether an index holds the header of fragments (mvex). A damaged child
// list is a problem, kept when it is the first.
bool has_fragment_header(const byte_source& source, const box& index, std::string& problem) {
    const std::int64_t end = index.offset + index.size;
    const std::string within = std::string("the index") + at_byte(index.offset);
    std::int64_t offset = index.offset + index.header;
    for (std::int64_t children = 0; children < k_most_children; ++children) {
        box child;
        std::string child_problem;
        const e_box_read result = read_box(source, offset, end, within, child, child_problem);
        if (result == e_box_none_left) return false;
        if (result == e_box_problem) {
            if (problem.empty())
                problem = "in the index" + at_byte(index.offset) + ": " + child_problem;
            return false;
        }
        if (is(child, "mvex")) return true;
        offset += child.size;
    }
    return false;
}

}  // namespace

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
        box found;
        std::string problem;
        const e_box_read result = read_box(source, offset, source.size, "the file", found, problem);
        if (result == e_box_none_left) break;
        if (result == e_box_problem) {
            if (layout.problem.empty()) layout.problem = problem;
            break;
        }
        if (is(found, "moov")) {
            (has_fragment_header(source, found, layout.problem) ? fragment_index : full_index) =
                true;
        } else if (is(found, "moof")) {
            ++layout.fragments;
        }
        offset += found.size;
        ++layout.boxes;
    }
    layout.boxes_end = offset;
    if (layout.fragments > 0 || fragment_index) {
        layout.kind = e_layout_fragmented;
    } else if (full_index) {
        layout.kind = e_layout_ordinary;
    } else {
        layout.kind = e_layout_no_index;
    }
    return layout;
}

}  // namespace Harnvik::Report
