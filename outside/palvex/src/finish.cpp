#include "finish.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <map>

namespace Selmet::Palvex::detail {

namespace {

// Index boxes are small; anything larger is not a file this writer made.
constexpr std::int64_t k_max_index_box = std::int64_t(64) << 20;
constexpr std::int64_t k_max_u32 = std::numeric_limits<std::uint32_t>::max();

fault io_fault(const std::string& what, const fault& cause) {
    return failure(e_fault_finish, what + ": " + cause.text);
}

byte_vector type_bytes(std::uint32_t type) {
    return {std::uint8_t(type >> 24), std::uint8_t(type >> 16), std::uint8_t(type >> 8),
            std::uint8_t(type)};
}

// The header of a free box of `length` bytes (at least 8; 16 past 4 GiB).
byte_vector free_header(std::int64_t length) {
    return header_bytes(fourcc("free"), std::uint64_t(length));
}

fault read_at(storage& file, std::int64_t position, byte_vector& out) {
    if (fault f = file.read_at(position, out)) return io_fault("cannot read the file", f);
    return {};
}

// What the finish reads of a file: the top-level boxes up to the media's
// end, the first moov's payload, and the movie that it and every moof
// describe.
struct contents {
    std::int64_t size = 0;  // of the whole file
    std::int64_t end = 0;   // of the last whole box up to the media's end
    std::vector<top_box> layout;
    byte_vector first_moov;
    movie m;
};

// Reads the file up to `media_end` (negative: all of it). Fewer than 8
// bytes after the last box are not a box.
fault read_contents(storage& file, std::int64_t media_end, contents& out) {
    if (fault f = file.size(out.size)) return io_fault("cannot tell the file's size", f);
    const std::int64_t end = media_end < 0 ? out.size : media_end;
    if (end > out.size) return failure(e_fault_layout, "the file is shorter than its media");
    std::int64_t at = 0;
    for (; end - at >= 8;) {
        byte_vector head(std::size_t(std::min<std::int64_t>(16, end - at)));
        if (fault f = read_at(file, at, head)) return f;
        top_box b;
        if (!read_top_box(head, at, end, b)) {
            return failure(e_fault_layout, "the file has a box cut short");
        }
        out.layout.push_back(b);
        at += b.size;
        if (b.type != fourcc("moov") && b.type != fourcc("moof")) continue;
        if (b.size > k_max_index_box) return failure(e_fault_layout, "an index box is too large");
        byte_vector payload(std::size_t(b.size - b.header));
        if (fault f = read_at(file, b.position + b.header, payload)) return f;
        if (b.type == fourcc("moov")) {
            if (!out.first_moov.empty()) return failure(e_fault_layout, "the file has two indexes");
            out.first_moov = std::move(payload);
            if (fault f = read_movie(out.first_moov, out.m)) return f;
        } else if (out.first_moov.empty()) {
            return failure(e_fault_layout, "a fragment comes before the index");
        } else {
            if (fault f = add_fragment(payload, b.position, end, out.m)) return f;
        }
    }
    if (out.first_moov.empty()) return failure(e_fault_layout, "the file has no index");
    out.end = at;
    return {};
}

std::size_t fragment_count(const contents& c) {
    return c.m.fragment_starts.size();
}

// The boxes that lie before `end`.
std::vector<top_box> boxes_before(const std::vector<top_box>& layout, std::int64_t end) {
    std::vector<top_box> before;
    for (const top_box& b : layout) {
        if (b.position + b.size <= end) before.push_back(b);
    }
    return before;
}

fault apply(storage& file, const patch& p) {
    if (p.bytes.empty()) {
        if (fault f = file.truncate(p.position)) return io_fault("cannot cut the file", f);
    } else if (fault f = file.write_at(p.position, p.bytes)) {
        return io_fault("patching the file failed", f);
    }
    if (p.barrier) {
        if (fault f = file.sync()) return io_fault("the file could not be put on the disk", f);
    }
    return {};
}

}  // namespace

std::vector<patch> plan_finish(const std::vector<top_box>& layout, std::int64_t media_end,
                               std::int64_t file_size, byte_vector full_index) {
    std::vector<patch> plan;
    const top_box* first_moov = nullptr;
    std::int64_t fragments_end = 0;
    for (const top_box& b : layout) {
        if (b.type == fourcc("moov") && first_moov == nullptr) first_moov = &b;
        if (b.type == fourcc("moof") || b.type == fourcc("mdat")) {
            fragments_end = b.position + b.size;
        }
    }
    if (first_moov == nullptr || first_moov->size < 16 || fragments_end <= first_moov->position ||
        fragments_end > media_end || media_end > file_size || full_index.size() < 8) {
        return plan;
    }
    const auto index_end = media_end + std::int64_t(full_index.size());
    // A box that reaches to the end of the file would take the index in: it
    // gets its size first.
    for (const top_box& b : layout) {
        if (!b.to_end) continue;
        if (b.header != 8 || b.size > k_max_u32) return {};
        byte_writer size;
        size.u32(std::uint32_t(b.size));
        plan.push_back(patch{b.position, size.take(), true});
    }
    // A torn fragment after the media becomes free space, and so does what
    // the index will not cover of it, each on the disk before the index
    // overwrites the first header.
    if (file_size - media_end >= 8) {
        plan.push_back(patch{media_end, free_header(file_size - media_end), true});
        if (file_size - index_end >= 8) {
            plan.push_back(patch{index_end, free_header(file_size - index_end), true});
        }
    }
    const byte_vector free_type = type_bytes(fourcc("free"));
    // Written as a free box: until it is on the disk whole, the fragmented
    // form stays the one that counts.
    patch index{media_end, std::move(full_index), true, media_end};
    std::copy(free_type.begin(), free_type.end(), index.bytes.begin() + 4);
    plan.push_back(std::move(index));
    // The torn fragment is gone once the index is on the disk.
    if (file_size > index_end) plan.push_back(patch{index_end, {}, true});
    // The fragments' random access index is no use to an ordinary file.
    for (const top_box& b : layout) {
        if (b.type == fourcc("mfra")) plan.push_back(patch{b.position + 4, free_type, false});
    }
    // The full index comes alive behind the first one, which players take
    // while it is there.
    plan.push_back(patch{media_end + 4, type_bytes(fourcc("moov")), true});
    // In one write of 16 bytes the first index becomes the head of one media
    // data box over the first index and all fragments: their headers become
    // opaque bytes among the samples, and the full index is the only one.
    plan.push_back(patch{
        first_moov->position,
        header_bytes(fourcc("mdat"), std::uint64_t(fragments_end - first_moov->position), true),
        true});
    // The brands the muxer chose announce fragments; an ordinary file says so
    // too, in the same room.
    if (!layout.empty() && layout.front().type == fourcc("ftyp") && layout.front().size == 28) {
        byte_writer brands;
        for (const char* brand : {"isom", "\0\0\2\0", "isom", "avc1", "mp41"}) {
            brands.raw(byte_span(reinterpret_cast<const std::uint8_t*>(brand), 4));
        }
        plan.push_back(patch{8, brands.take(), false});
    }
    return plan;
}

std::int64_t last_complete_end(std::int64_t file_size,
                               const std::vector<std::int64_t>& complete_ends) {
    std::int64_t last = -1;
    for (const std::int64_t end : complete_ends) {
        if (end <= file_size) last = std::max(last, end);
    }
    return last;
}

std::int64_t torn_tail(std::int64_t file_size, const std::vector<std::int64_t>& complete_ends) {
    const std::int64_t last = last_complete_end(file_size, complete_ends);
    if (last <= 0 || file_size - last < 8 || file_size - last > k_max_u32) return -1;
    return last;
}

namespace {

// Writes the plan, after making sure that the file is still the one read.
fault apply_plan(storage& file, const std::vector<patch>& plan, std::int64_t size_read,
                 std::int32_t write_limit, bool* changed) {
    std::int64_t now = 0;
    if (fault f = file.size(now)) return io_fault("cannot tell the file's size", f);
    if (now != size_read) return failure(e_fault_finish, "the file changed while it was read");
    std::int32_t written = 0;
    for (const patch& p : plan) {
        if (write_limit >= 0 && written == write_limit) return {};
        if (changed != nullptr) *changed = true;
        if (fault f = apply(file, p)) {
            // Cut back, and that on the disk, where the step left bytes behind.
            if (p.cut_on_failure >= 0 && !file.truncate(p.cut_on_failure)) file.sync();
            return f;
        }
        ++written;
    }
    if (fault f = file.sync()) return io_fault("the file could not be put on the disk", f);
    return {};
}

}  // namespace

fault finish_file(storage& file, const finish_record& record, std::int64_t media_end, bool* changed,
                  const seams& seams) {
    if (changed != nullptr) *changed = false;
    contents c;
    if (fault f = read_contents(file, media_end, c)) return f;
    // Nothing recorded: the file stays as the muxer left it.
    if (fragment_count(c) == 0) return {};
    // After a clean end the fragments hold every sample the muxer was given.
    for (std::size_t i = 0; media_end < 0 && i < record.samples_written.size(); ++i) {
        const auto found = i < c.m.tracks.size() ? std::int64_t(c.m.tracks[i].samples.size()) : 0;
        if (found != record.samples_written[i]) {
            return failure(e_fault_layout, "track " + std::to_string(i + 1) + " holds " +
                                               std::to_string(found) + " samples, but " +
                                               std::to_string(record.samples_written[i]) +
                                               " were written");
        }
    }
    byte_vector full_index;
    if (fault f = build_moov(c.first_moov, c.m, record.sound, full_index)) return f;
    const std::vector<patch> plan = plan_finish(c.layout, c.end, c.size, std::move(full_index));
    if (plan.empty())
        return failure(e_fault_layout, "the file is not laid out as the muxer writes");
    return apply_plan(file, plan, c.size, seams.finish_writes, changed);
}

std::size_t most_fragments_kept(std::size_t fragments,
                                const std::function<std::int64_t(std::size_t)>& index_size,
                                const std::function<std::int64_t(std::size_t)>& room) {
    const auto fits = [&](std::size_t kept) { return index_size(kept) <= room(kept); };
    if (fragments == 0 || fits(fragments)) return fragments;
    // The index of fewer fragments is no larger than that of all: where the
    // room holds that one, the index fits for sure, and usually one
    // fragment more does not.
    const std::int64_t largest = index_size(fragments);
    std::size_t low = 0;           // fits, or keeps nothing
    std::size_t high = fragments;  // does not fit
    for (std::size_t kept = fragments - 1; kept > 0 && low == 0; --kept) {
        if (room(kept) >= largest) low = kept;
    }
    // From there a few steps, growing, to one that does not fit; the
    // largest that does lies between.
    for (std::size_t step = 1; low > 0 && low + step < high; step *= 2) {
        if (!fits(low + step)) {
            high = low + step;
            break;
        }
        low += step;
    }
    while (high - low > 1) {
        const std::size_t middle = low + (high - low) / 2;
        (fits(middle) ? low : high) = middle;
    }
    return low;
}

fault finish_giving_up(storage& file, const finish_record& record, std::int64_t media_end,
                       given_up& out, bool* changed, const seams& seams) {
    if (changed != nullptr) *changed = false;
    out = given_up{};
    contents c;
    if (fault f = read_contents(file, media_end, c)) return f;
    const std::size_t fragments = fragment_count(c);
    if (fragments == 0) return {};
    // Where the first `kept` fragments end, and the size of their index.
    const auto end_of = [&c, fragments](std::size_t kept) {
        return kept < fragments ? c.m.fragment_starts[kept] : c.end;
    };
    fault built;
    std::map<std::size_t, std::int64_t> sizes;
    const auto index_size = [&](std::size_t kept) -> std::int64_t {
        if (const auto known = sizes.find(kept); known != sizes.end()) return known->second;
        byte_vector index;
        if (!built) built = build_moov(c.first_moov, c.m, record.sound, kept, index);
        return sizes[kept] = built ? INT64_MAX : std::int64_t(index.size());
    };
    const auto room = [&](std::size_t kept) { return c.size - end_of(kept); };
    const std::size_t kept = most_fragments_kept(fragments, index_size, room);
    if (built) return built;
    const std::int64_t all = movie_length(c.m);
    out.fragments = fragments;
    out.kept = kept;
    if (kept == 0) {
        out.seconds = double(all) / c.m.timescale;
        return failure(e_fault_finish, "its index does not fit in the file");
    }
    const std::int64_t length = movie_length(c.m, kept);
    out.seconds = double(all - length) / c.m.timescale;
    byte_vector index;
    if (fault f = build_moov(c.first_moov, c.m, record.sound, kept, index)) return f;
    const std::int64_t end = end_of(kept);
    // The header tells no more than the fragments kept, on the disk before
    // the ones given up stop counting.
    std::size_t offset = 0, bytes = 0;
    if (kept < fragments && find_length(c.first_moov, offset, bytes)) {
        const top_box& moov = *std::find_if(c.layout.begin(), c.layout.end(), [](const top_box& b) {
            return b.type == fourcc("moov");
        });
        byte_writer value;
        bytes == 8 ? value.u64(std::uint64_t(length))
                   : value.u32(std::uint32_t(std::min<std::int64_t>(length, k_max_u32)));
        if (changed != nullptr) *changed = true;
        const std::int64_t at = moov.position + moov.header + std::int64_t(offset);
        if (fault f = apply(file, patch{at, value.take(), true})) return f;
    }
    const std::vector<top_box> layout = boxes_before(c.layout, end);
    std::vector<patch> plan = plan_finish(layout, end, c.size, index);
    if (plan.empty()) {
        return failure(e_fault_layout, "the file is not laid out as the muxer writes");
    }
    fault f = apply_plan(file, plan, c.size, seams.finish_writes, changed);
    std::int64_t now = -1;
    // A file system that writes every change to new room (copy on write)
    // may have none for the index in place of the fragments: the cut back
    // after the failed write freed theirs, which takes it at the end.
    if (f && !file.size(now) && now == end && end < c.size) {
        plan = plan_finish(layout, end, end, std::move(index));
        if (!plan.empty()) f = apply_plan(file, plan, end, seams.finish_writes, changed);
    }
    return f;
}

fault cut_torn_fragment(storage& file, const finish_record& record) {
    std::int64_t size = 0;
    if (fault f = file.size(size)) return io_fault("cannot tell the file's size", f);
    const std::int64_t tail = torn_tail(size, record.complete_ends);
    if (tail < 0) return {};
    // Overwriting bytes already in the file needs no room on the disk.
    return apply(file, patch{tail, free_header(size - tail), true});
}

}  // namespace Selmet::Palvex::detail
