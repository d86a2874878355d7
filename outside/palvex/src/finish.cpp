#include "finish.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>

namespace Selmet::Palvex::detail {

namespace {

// Index boxes are small; anything larger is not a file this writer made.
constexpr std::int64_t k_max_index_box = std::int64_t(64) << 20;
constexpr std::int64_t k_max_size32 = std::numeric_limits<std::uint32_t>::max();

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

// The boxes that lie before `end`.
std::vector<top_box> boxes_before(const std::vector<top_box>& layout, std::int64_t end) {
    std::vector<top_box> before;
    for (const top_box& b : layout) {
        if (b.position + b.size <= end) before.push_back(b);
    }
    return before;
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
        if (b.header != 8 || b.size > k_max_size32) return {};
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
        true, -1, true});
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

namespace {

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f s", seconds);
    return text;
}

std::string fragments_text(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " complete fragment" : " complete fragments");
}

// One end of a recording: the file read once up to its media's end, then
// the steps of the policy, each write counted (the seams may stop them
// early, as a crash would).
class finisher {
  public:
    finisher(storage& file, const finish_record& record, const seams& seams, ending& out)
        : m_file(file), m_record(record), m_seams(seams), m_out(out) {}

    fault read();
    // After a clean end the fragments hold every sample the muxer was given.
    fault check_samples() const;
    // Step 1: the index of every fragment after the media.
    fault finish_after_media();
    // The policy, from step 1 to 4.
    void run();
    bool halted() const { return m_halted; }

  private:
    std::size_t fragments() const { return m_c.m.fragment_starts.size(); }
    std::int64_t end_of(std::size_t kept) const {
        return kept < fragments() ? m_c.m.fragment_starts[kept] : m_c.end;
    }
    fault index_of(std::size_t kept, byte_vector& out) const {
        return build_moov(m_c.first_moov, m_c.m, m_record.sound, kept, out);
    }
    fault size_now(std::int64_t& size);
    // One write or cut of the finish, and its sync where it is a barrier;
    // `done` (where given) tells whether the write or cut itself was made.
    fault change(const patch& p, bool* done = nullptr);
    fault apply_plan(const std::vector<patch>& plan);
    // The index of the first `kept` fragments where they end, over whatever
    // follows them.
    fault finish_kept(std::size_t kept);
    fault give_up_in_place(std::size_t kept);
    // `finished` gets the fragments that the index it wrote covers.
    fault cut_back_and_append(std::size_t kept, std::size_t& finished);
    // The header tells the length of the first `kept` fragments, on the
    // disk before any of the others stops counting.
    fault lower_length(std::size_t kept);
    void leave_fragmented();
    void settle(ending::e_outcome outcome, std::size_t kept);

    storage& m_file;
    const finish_record& m_record;
    const seams& m_seams;
    ending& m_out;
    contents m_c;
    std::int32_t m_writes = 0;
    bool m_halted = false;
    std::size_t m_told = 0;  // fragments the header's length may count
};

fault finisher::read() {
    if (fault f = read_contents(m_file, m_record.media_end, m_c)) return f;
    m_told = fragments();
    m_out.fragments = fragments();
    return {};
}

fault finisher::check_samples() const {
    for (std::size_t i = 0; m_record.ended && i < m_record.samples_written.size(); ++i) {
        const auto found =
            i < m_c.m.tracks.size() ? std::int64_t(m_c.m.tracks[i].samples.size()) : 0;
        if (found != m_record.samples_written[i]) {
            return failure(e_fault_layout, "track " + std::to_string(i + 1) + " holds " +
                                               std::to_string(found) + " samples, but " +
                                               std::to_string(m_record.samples_written[i]) +
                                               " were written");
        }
    }
    return {};
}

fault finisher::size_now(std::int64_t& size) {
    if (fault f = m_file.size(size)) return io_fault("cannot tell the file's size", f);
    return {};
}

fault finisher::change(const patch& p, bool* done) {
    if (done != nullptr) *done = false;
    if (m_seams.finish_writes >= 0 && m_writes >= m_seams.finish_writes) {
        m_halted = true;
        return failure(e_fault_finish, "stopped early");
    }
    const std::int64_t limit = m_file.size_limit();
    if (!p.bytes.empty() && limit >= 0 && p.position + std::int64_t(p.bytes.size()) > limit) {
        return failure(e_fault_finish, "it would pass the file size limit");
    }
    ++m_writes;
    ++m_out.changes;
    if (p.bytes.empty()) {
        if (fault f = m_file.truncate(p.position)) return failure(e_fault_finish, f.text);
    } else if (fault f = m_file.write_at(p.position, p.bytes)) {
        return failure(e_fault_finish, f.text);
    }
    if (done != nullptr) *done = true;
    if (p.barrier) {
        if (fault f = m_file.sync()) return failure(e_fault_finish, f.text);
    }
    return {};
}

fault finisher::apply_plan(const std::vector<patch>& plan) {
    if (plan.empty())
        return failure(e_fault_layout, "the file is not laid out as the muxer writes");
    bool finished = false;
    for (const patch& p : plan) {
        bool done = false;
        if (fault f = change(p, &done)) {
            if (m_halted) return {};
            // Once the file is an ordinary one, only the brands are left: a
            // step that fails after that leaves it ordinary, and is told.
            if (finished || (done && p.finishes)) {
                m_out.failed.push_back("its last writes failed (" + f.text + ")");
                return {};
            }
            // Cut back, and that on the disk, where the step left bytes behind.
            if (p.cut_on_failure >= 0) {
                ++m_out.changes;
                if (!m_file.truncate(p.cut_on_failure)) m_file.sync();
            }
            return f;
        }
        finished = finished || p.finishes;
    }
    if (fault f = m_file.sync()) {
        if (!finished) return failure(e_fault_finish, f.text);
        m_out.failed.push_back("its last writes failed (" + f.text + ")");
    }
    return {};
}

fault finisher::finish_kept(std::size_t kept) {
    byte_vector index;
    if (fault f = index_of(kept, index)) return f;
    std::int64_t size = 0;
    if (fault f = size_now(size)) return f;
    const std::int64_t end = end_of(kept);
    return apply_plan(plan_finish(boxes_before(m_c.layout, end), end, size, std::move(index)));
}

fault finisher::finish_after_media() {
    return finish_kept(fragments());
}

fault finisher::lower_length(std::size_t kept) {
    if (kept >= m_told) return {};
    if (m_record.length_field >= 0) {
        byte_writer value;
        value.u64(std::uint64_t(movie_length(m_c.m, kept)));
        if (fault f = change(patch{m_record.length_field, value.take(), true})) return f;
    }
    m_told = kept;
    return {};
}

fault finisher::give_up_in_place(std::size_t kept) {
    if (fault f = lower_length(kept)) return f;
    return finish_kept(kept);
}

fault finisher::cut_back_and_append(std::size_t kept, std::size_t& finished) {
    std::int64_t size = 0;
    if (fault f = size_now(size)) return f;
    fault last = failure(e_fault_finish, "nothing left to cut");
    // The torn fragment's room, where the header still tells every fragment.
    if (m_told == fragments() && size > m_c.end) {
        if (fault f = change(patch{m_c.end, {}, true})) return f;
        finished = fragments();
        last = finish_kept(fragments());
        if (!last || m_halted) return last;
    }
    if (kept >= fragments()) return last;
    finished = kept;
    if (fault f = lower_length(kept)) return f;
    if (fault f = size_now(size)) return f;
    if (size > end_of(kept)) {
        if (fault f = change(patch{end_of(kept), {}, true})) return f;
    }
    return finish_kept(kept);
}

void finisher::leave_fragmented() {
    const std::int64_t end = end_of(m_told);
    std::int64_t size = 0;
    if (!size_now(size) && size > end) change(patch{end, {}, true});
    settle(ending::e_fragmented, m_told);
}

void finisher::settle(ending::e_outcome outcome, std::size_t kept) {
    m_out.outcome = outcome;
    m_out.kept = kept;
    const double scale = m_c.m.timescale > 0 ? double(m_c.m.timescale) : 1.0;
    const std::int64_t all = movie_length(m_c.m);
    const std::int64_t length = movie_length(m_c.m, kept);
    m_out.seconds_kept = double(length) / scale;
    m_out.seconds_given_up = double(all - length) / scale;
}

void finisher::run() {
    // The header never reached the disk: there is nothing to read.
    if (m_record.media_end == 0) return;
    if (fault f = read()) {
        m_out.failed.push_back("it cannot be read back (" + f.text + ")");
        m_out.outcome = ending::e_fragmented;
        return;
    }
    const std::size_t all = fragments();
    if (all == 0) {
        std::int64_t size = 0;
        if (!size_now(size) && size > m_c.end) change(patch{m_c.end, {}, true});
        settle(ending::e_empty, 0);
        return;
    }
    std::int64_t size = 0;
    if (fault f = size_now(size)) {
        m_out.failed.push_back("it cannot be read back (" + f.text + ")");
        return settle(ending::e_fragmented, all);
    }
    // 1. After the media: into the room kept, or where nothing would be
    //    lost by trying.
    if (m_record.room_held || size <= m_c.end) {
        fault f = check_samples();
        if (!f) f = finish_after_media();
        if (m_halted) return;
        if (!f) return settle(ending::e_finished, all);
        if (f.kind == e_fault_layout) {
            m_out.failed.push_back("it cannot be finished (" + f.text + ")");
            return leave_fragmented();
        }
        m_out.failed.push_back("writing its index after its media failed (" + f.text + ")");
    }
    // 2. In place of the fewest last fragments that hold the index.
    if (fault f = size_now(size)) {
        m_out.failed.push_back("it cannot be read back (" + f.text + ")");
        return leave_fragmented();
    }
    std::map<std::size_t, std::int64_t> sizes;
    fault built;
    const auto index_size = [&](std::size_t kept) -> std::int64_t {
        if (const auto known = sizes.find(kept); known != sizes.end()) return known->second;
        byte_vector index;
        if (!built) built = index_of(kept, index);
        return sizes[kept] = built ? INT64_MAX : std::int64_t(index.size());
    };
    const auto room = [&](std::size_t kept) { return size - end_of(kept); };
    const std::size_t kept = most_fragments_kept(all, index_size, room);
    if (built) {
        m_out.failed.push_back("it cannot be finished (" + built.text + ")");
        return leave_fragmented();
    }
    if (kept == 0) {
        m_out.failed.push_back("its index does not fit in place of its fragments");
        return leave_fragmented();
    }
    fault f = give_up_in_place(kept);
    if (m_halted) return;
    if (!f) return settle(ending::e_finished, kept);
    m_out.failed.push_back((kept == all
                                ? "writing its index over its torn fragment failed ("
                                : "writing its index in place of its last fragments failed (") +
                           f.text + ")");
    if (f.kind == e_fault_layout) return leave_fragmented();
    // 3. Cut back to media that the header tells no more than, which frees
    //    room (on a disk that copies on write, a write in place needs it),
    //    and the index after it.
    std::size_t finished = kept;
    f = cut_back_and_append(kept, finished);
    if (m_halted) return;
    if (!f) return settle(ending::e_finished, finished);
    m_out.failed.push_back("cutting it back and adding its index failed (" + f.text + ")");
    // 4. Fragmented, with the media its header tells.
    leave_fragmented();
}

}  // namespace

std::string describe(const ending& e) {
    std::string outcome;
    switch (e.outcome) {
        case ending::e_empty:
            outcome = "the file holds no complete fragment";
            break;
        case ending::e_finished:
            outcome = e.kept == e.fragments ? "the file is finished, with all of its media"
                                            : "the file is finished, without its last " +
                                                  seconds_text(e.seconds_given_up) +
                                                  " of media, which made room for the index";
            break;
        case ending::e_fragmented:
            if (e.fragments == 0) {
                outcome = "the file is left as it is";
            } else if (e.kept == e.fragments) {
                outcome = "the file is left fragmented, with all of its " +
                          fragments_text(e.fragments) + " (" + seconds_text(e.seconds_kept) +
                          " of media), its header telling their length";
            } else {
                outcome = "the file is left fragmented, with the first " + std::to_string(e.kept) +
                          " of its " + fragments_text(e.fragments) + " (" +
                          seconds_text(e.seconds_kept) +
                          " of media), its header telling their length";
            }
            break;
    }
    if (e.failed.empty()) return outcome;
    std::string steps;
    for (const std::string& step : e.failed) steps += (steps.empty() ? "" : ", ") + step;
    return steps + ", so " + outcome;
}

ending end_file(storage& file, const finish_record& record, const seams& seams) {
    ending out;
    finisher f(file, record, seams, out);
    f.run();
    return out;
}

fault finish_file(storage& file, const finish_record& record, const seams& seams) {
    ending out;
    finisher f(file, record, seams, out);
    if (fault problem = f.read()) return problem;
    // Nothing recorded: the file stays as the muxer left it.
    if (out.fragments == 0) return {};
    if (fault problem = f.check_samples()) return problem;
    return f.finish_after_media();
}

}  // namespace Selmet::Palvex::detail
