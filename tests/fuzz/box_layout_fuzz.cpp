// The report's reader of an MP4 file's top-level boxes over any file a user
// may point it at.
//
// The first byte chooses what the rest is:
// - even: four bytes (big-endian) naming the first byte that cannot be read,
//   as a disk error would (all ones: none), then the file. The reader must
//   ask only for bytes inside the file, a few at a time; agree with a plain
//   walk of the boxes in memory; give a reason whenever its boxes end before
//   the file does; read the same boxes from the file cut where they end; and
//   with the unreadable byte, give what it read before it and say it could
//   not read on. The length the first fragments' header tells (mvex/mehd in
//   the time scale of mvhd) must be what a plain reading finds, or none with
//   a reason.
// - odd: a description of boxes (kind and payload size, two bytes each),
//   written as a file and, when the first byte says so, cut inside its last
//   box: the reader must give back exactly what was written, the length of
//   the first index for fragments included.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "media/box_layout.h"

namespace {

using namespace Harnvik::Report;
using bytes = std::vector<std::uint8_t>;

void expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

constexpr std::int64_t k_never = -1;
// More than a box header: the reader asks for no more at once.
constexpr std::size_t k_most_per_read = 16;

struct reading {
    box_layout layout;
    std::int64_t reads = 0;
    bool refused = false;  // a read reached the unreadable byte
};

reading read_file(const bytes& file, std::int64_t unreadable) {
    reading out;
    byte_source source;
    source.size = static_cast<std::int64_t>(file.size());
    source.read = [&](std::int64_t offset, std::uint8_t* to, std::size_t count) {
        ++out.reads;
        expect(offset >= 0 && count > 0 && count <= k_most_per_read &&
                   offset + static_cast<std::int64_t>(count) <= source.size,
               "a read outside the file, or too large");
        if (unreadable != k_never && offset + static_cast<std::int64_t>(count) > unreadable) {
            out.refused = true;
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) to[i] = file[static_cast<std::size_t>(offset) + i];
        return true;
    };
    out.layout = read_box_layout(source);
    return out;
}

// A plain walk of the boxes in memory.
struct model {
    std::int64_t boxes = 0;
    std::int64_t fragments = 0;
    std::int64_t end = 0;
    std::int64_t children = 0;  // of every index, read or not
    bool problem = false;       // the top level ends before the file
    bool child_problem = false;
    bool full_index = false;
    bool fragment_index = false;
    bool has_length = false;  // the first fragments' header tells a length
    double length_s = 0.0;
};

std::uint64_t big_endian(const bytes& file, std::int64_t at, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | file[static_cast<std::size_t>(at + i)];
    return value;
}

// The box at `at` among boxes ending at `end`: false when there is none
// whole there.
bool box_at(const bytes& file, std::int64_t at, std::int64_t end, std::int64_t& size,
            std::int64_t& header, std::string& type) {
    if (end - at < 8) return false;
    type.assign(file.begin() + at + 4, file.begin() + at + 8);
    for (const char c : type) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    std::uint64_t claimed = big_endian(file, at, 4);
    header = 8;
    if (claimed == 1) {
        if (end - at < 16) return false;
        claimed = big_endian(file, at + 8, 8);
        header = 16;
    } else if (claimed == 0) {
        claimed = static_cast<std::uint64_t>(end - at);
    }
    if (claimed < static_cast<std::uint64_t>(header) ||
        claimed > static_cast<std::uint64_t>(end - at)) {
        return false;
    }
    size = static_cast<std::int64_t>(claimed);
    return true;
}

// A field of a full box (version and flags first) at `at[version]` in its
// payload, `size[version]` bytes: false for versions above 1 or a box that
// ends first.
bool field_of(const bytes& file, std::int64_t payload, std::int64_t holds, const int (&at)[2],
              const int (&size)[2], std::uint64_t& value) {
    if (holds < 4) return false;
    const int version = file[static_cast<std::size_t>(payload)];
    if (version > 1 || holds < at[version] + size[version]) return false;
    value = big_endian(file, payload + at[version], size[version]);
    return true;
}

// A whole box: where it starts, its size and its header's.
struct whole_box {
    std::int64_t at = -1;  // -1: none
    std::int64_t size = 0;
    std::int64_t header = 0;
};

// Visits the children of `parent` in turn until `visit` returns true; a
// child that is not whole ends the visit as a problem.
template <typename visitor>
void each_child(const bytes& file, const whole_box& parent, model& m, visitor&& visit) {
    const std::int64_t end = parent.at + parent.size;
    for (std::int64_t at = parent.at + parent.header; at < end;) {
        whole_box child{at};
        std::string type;
        ++m.children;
        if (!box_at(file, at, end, child.size, child.header, type)) {
            m.child_problem = true;
            return;
        }
        if (visit(child, type)) return;
        at += child.size;
    }
}

// The children of the fragments' header up to the first mehd, and the
// length it tells in the time scale of the movie header (mvhd) before it.
void read_length(const bytes& file, const whole_box& fragments, const whole_box& movie, model& m) {
    whole_box mehd;
    each_child(file, fragments, m, [&mehd](const whole_box& child, const std::string& type) {
        if (type != "mehd") return false;
        mehd = child;
        return true;
    });
    std::uint64_t ticks = 0;
    if (mehd.at < 0 ||
        !field_of(file, mehd.at + mehd.header, mehd.size - mehd.header, {4, 4}, {4, 8}, ticks)) {
        return;
    }
    std::uint64_t time_scale = 0;
    if (movie.at < 0 ||
        !field_of(file, movie.at + movie.header, movie.size - movie.header, {12, 20}, {4, 4},
                  time_scale) ||
        time_scale == 0) {
        return;
    }
    m.has_length = true;
    m.length_s = static_cast<double>(ticks) / static_cast<double>(time_scale);
}

model walk(const bytes& file) {
    model m;
    const auto size = static_cast<std::int64_t>(file.size());
    std::int64_t box_size = 0;
    std::int64_t header = 0;
    std::string type;
    while (m.end < size) {
        if (!box_at(file, m.end, size, box_size, header, type)) {
            m.problem = true;
            break;
        }
        if (type == "moov") {
            bool fragmented = false;
            whole_box movie;  // the first mvhd
            each_child(file, {m.end, box_size, header}, m,
                       [&](const whole_box& child, const std::string& child_type) {
                           if (child_type == "mvex") {
                               if (!m.fragment_index) read_length(file, child, movie, m);
                               fragmented = true;
                               return true;
                           }
                           if (child_type == "mvhd" && movie.at < 0) movie = child;
                           return false;
                       });
            (fragmented ? m.fragment_index : m.full_index) = true;
        }
        m.fragments += type == "moof";
        m.end += box_size;
        ++m.boxes;
    }
    return m;
}

e_layout kind_of(const model& m) {
    if (m.fragments > 0 || m.fragment_index) return e_layout_fragmented;
    return m.full_index ? e_layout_ordinary : e_layout_no_index;
}

void check_file(const bytes& file, std::int64_t unreadable) {
    const model m = walk(file);
    const reading whole = read_file(file, k_never);
    const box_layout& l = whole.layout;
    expect(l.read, "a layout not read");
    expect(l.boxes == m.boxes && l.fragments == m.fragments && l.boxes_end == m.end,
           "the boxes differ from a plain walk");
    expect(l.kind == kind_of(m), "the kind differs from a plain walk");
    expect(l.problem.empty() == (!m.problem && !m.child_problem),
           "a problem not told, or one told that is none");
    expect(l.boxes_end <= static_cast<std::int64_t>(file.size()), "boxes past the file's end");
    expect(l.boxes_end == static_cast<std::int64_t>(file.size()) || !l.problem.empty(),
           "boxes that end early without a reason");
    expect(
        l.has_header_length == m.has_length && (!m.has_length || l.header_length_s == m.length_s),
        "the header's length differs from a plain reading");
    expect(!l.has_header_length || (l.kind == e_layout_fragmented &&
                                    std::isfinite(l.header_length_s) && l.header_length_s >= 0),
           "a length that cannot be");
    expect((l.kind == e_layout_fragmented && !l.has_header_length) != l.header_length_note.empty(),
           "no length without a reason, or a reason with a length");
    // A header and its large size per box, and the same per child read; the
    // version and a field of mehd and of mvhd.
    expect(whole.reads <= 2 * (m.boxes + 1 + m.children) + 4, "more reads than boxes");

    if (l.boxes_end < static_cast<std::int64_t>(file.size())) {
        const bytes cut(file.begin(), file.begin() + l.boxes_end);
        const box_layout again = read_file(cut, k_never).layout;
        expect(again.boxes == l.boxes && again.fragments == l.fragments && again.kind == l.kind &&
                   again.boxes_end == l.boxes_end &&
                   again.has_header_length == l.has_header_length &&
                   again.header_length_s == l.header_length_s,
               "the file cut where its boxes end reads otherwise");
        expect(again.problem.empty() == !m.child_problem, "a problem after the cut");
    }

    if (unreadable != k_never && unreadable < static_cast<std::int64_t>(file.size())) {
        const reading failing = read_file(file, unreadable);
        const box_layout& f = failing.layout;
        expect(f.boxes <= l.boxes && f.fragments <= l.fragments && f.boxes_end <= l.boxes_end,
               "an unreadable byte gave more boxes");
        if (failing.refused) {
            expect(!f.problem.empty(), "a read that failed without a reason");
            expect(f.problem.find("cannot read") != std::string::npos || !l.problem.empty(),
                   "a failed read told as something else");
        } else {
            expect(f.boxes == l.boxes && f.fragments == l.fragments && f.kind == l.kind &&
                       f.problem == l.problem && f.has_header_length == l.has_header_length &&
                       f.header_length_s == l.header_length_s,
                   "an unread byte changed the layout");
        }
    }
}

void put(bytes& out, std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put_box(bytes& out, const char* type, const bytes& payload, bool large) {
    if (large) {
        put(out, 1, 4);
        out.insert(out.end(), type, type + 4);
        put(out, payload.size() + 16, 8);
    } else {
        put(out, payload.size() + 8, 4);
        out.insert(out.end(), type, type + 4);
    }
    out.insert(out.end(), payload.begin(), payload.end());
}

void check_written(const std::uint8_t* data, std::size_t size, bool cut) {
    static const char* const types[] = {"ftyp", "mdat", "free", "moof", "moov", "moov", "uuid"};
    bytes file;
    std::int64_t boxes = 0;
    std::int64_t fragments = 0;
    std::int64_t last_at = 0;
    bool full_index = false;
    bool fragment_index = false;
    bool has_length = false;  // the first index for fragments tells a length
    double length_s = 0.0;
    for (std::size_t i = 0; i + 1 < size && boxes < 64; i += 2) {
        const std::size_t kind = data[i] % 7;
        const bool large = (data[i] & 0x80) != 0;
        bytes payload(data[i + 1], 0x5A);
        if (kind == 4) {
            // A full index: a header, then a track.
            payload.clear();
            put_box(payload, "mvhd", bytes(data[i + 1] % 100, 0), false);
            put_box(payload, "trak", {}, (data[i] & 0x40) != 0);
            full_index = true;
        } else if (kind == 5) {
            // An index for fragments: the movie header, a track, and the
            // fragments' header with their length (mehd) and defaults. The
            // payload's byte chooses each box's version (versions above 1
            // laid out as 1) and the time scale, 0 included: a length only
            // from versions 0 and 1 and a time scale that is not 0.
            const std::uint8_t choice = data[i + 1];
            const std::uint8_t length_version = choice & 3;
            const std::uint8_t movie_version = (choice >> 2) & 3;
            const std::uint32_t time_scale = choice >> 4;
            const std::uint64_t ticks = std::uint64_t(choice) * 1000 + 7;
            bytes movie{movie_version, 0, 0, 0};
            put(movie, 0, movie_version > 0 ? 8 : 4);  // creation time
            put(movie, 0, movie_version > 0 ? 8 : 4);  // modification time
            put(movie, time_scale, 4);
            put(movie, 0, movie_version > 0 ? 8 : 4);
            bytes length{length_version, 0, 0, 0};
            put(length, ticks, length_version > 0 ? 8 : 4);
            bytes fragments_header;
            put_box(fragments_header, "mehd", length, false);
            put_box(fragments_header, "trex", bytes(24, 0), false);
            payload.clear();
            put_box(payload, "mvhd", movie, false);
            put_box(payload, "trak", {}, (data[i] & 0x40) != 0);
            put_box(payload, "mvex", fragments_header, false);
            if (!fragment_index && length_version <= 1 && movie_version <= 1 && time_scale != 0) {
                has_length = true;
                length_s = static_cast<double>(ticks) / static_cast<double>(time_scale);
            }
            fragment_index = true;
        }
        last_at = static_cast<std::int64_t>(file.size());
        put_box(file, types[kind], payload, large);
        fragments += kind == 3;
        ++boxes;
    }
    if (boxes == 0) return;
    const box_layout whole = read_file(file, k_never).layout;
    expect(whole.problem.empty(), "a problem in a written file");
    expect(whole.boxes == boxes && whole.fragments == fragments &&
               whole.boxes_end == static_cast<std::int64_t>(file.size()),
           "written boxes read back otherwise");
    const e_layout kind = fragments > 0 || fragment_index ? e_layout_fragmented
                          : full_index                    ? e_layout_ordinary
                                                          : e_layout_no_index;
    expect(whole.kind == kind, "a written file of another kind");
    expect(
        whole.has_header_length == has_length && (!has_length || whole.header_length_s == length_s),
        "a written length read back otherwise");
    if (!cut) return;
    // Cut inside the last box: the boxes before it stay, and the reader says
    // why the rest is not read.
    const std::size_t keep = static_cast<std::size_t>(last_at) +
                             data[0] % (file.size() - static_cast<std::size_t>(last_at));
    if (keep == static_cast<std::size_t>(last_at)) return;
    file.resize(keep);
    const box_layout cut_layout = read_file(file, k_never).layout;
    expect(cut_layout.boxes == boxes - 1 && cut_layout.boxes_end == last_at &&
               !cut_layout.problem.empty(),
           "a box cut short read as whole");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] % 2 == 1) {
        check_written(data + 1, size - 1, (data[0] & 2) != 0);
        return 0;
    }
    if (size < 5) return 0;
    std::uint32_t unreadable = 0;
    for (int i = 1; i <= 4; ++i) unreadable = unreadable << 8 | data[i];
    const bytes file(data + 5, data + size);
    check_file(file, unreadable == 0xFFFFFFFFu ? k_never : std::int64_t(unreadable));
    return 0;
}
