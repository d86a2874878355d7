#include "finish.h"

#include <algorithm>
#include <cstdio>

#include "finish_plan.h"

namespace Selmet::Palvex::detail {

namespace {

// Index boxes are small; anything larger is not a file this writer made.
constexpr std::int64_t k_max_index_box = std::int64_t(64) << 20;

fault layout_fault(const std::string& text) {
    return failure(e_fault_layout, text);
}

// What the end reads of a file: the top-level boxes up to the media's end,
// the first moov's payload, and the movie that it and every moof describe.
struct contents {
    std::int64_t end = 0;  // of the last whole box up to the media's end
    std::vector<top_box> layout;
    byte_vector first_moov;
    movie m;
};

// Reads the file of `size` bytes up to `media_end`. Fewer than 8 bytes
// after the last box are not a box.
fault read_contents(storage& file, std::int64_t media_end, std::int64_t size, contents& out) {
    if (media_end > size) return layout_fault("the file is shorter than its media");
    std::int64_t at = 0;
    while (media_end - at >= 8) {
        byte_vector head(std::size_t(std::min<std::int64_t>(16, media_end - at)));
        if (fault f = file.read_at(at, head)) return f;
        top_box b;
        if (!read_top_box(head, at, media_end, b)) return layout_fault("a box is cut short");
        out.layout.push_back(b);
        at += b.size;
        if (b.type != fourcc("moov") && b.type != fourcc("moof")) continue;
        if (b.size > k_max_index_box) return layout_fault("an index box is too large");
        byte_vector payload(std::size_t(b.size - b.header));
        if (fault f = file.read_at(b.position + b.header, payload)) return f;
        if (b.type == fourcc("moov")) {
            if (!out.first_moov.empty()) return layout_fault("the file has two indexes");
            out.first_moov = std::move(payload);
            if (fault f = read_movie(out.first_moov, out.m)) return f;
        } else if (out.first_moov.empty()) {
            return layout_fault("a fragment comes before the index");
        } else if (fault f = add_fragment(payload, b.position, media_end, out.m)) {
            return f;
        }
    }
    if (out.first_moov.empty()) return layout_fault("the file has no index");
    out.end = at;
    return {};
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f s", seconds);
    return text;
}

// One end of a recording: the file read once up to its media's end, then
// the steps of the policy. Every write and cut goes through change(), which
// counts it, keeps it below the size limit and syncs a barrier; the seams
// may stop it early, as a crash would.
class finisher {
  public:
    finisher(storage& file, const finish_record& record, const seams& seams, ending& out)
        : m_file(file), m_record(record), m_seams(seams), m_out(out) {}

    void run() {
        m_out.copies_on_write = m_record.copies_on_write;
        fault f = m_file.size(m_size);
        if (!f && m_record.media_end == 0) {
            m_out.outcome = m_size > 0 ? ending::e_header_cut : ending::e_empty;
            return;
        }
        if (!f) f = read_contents(m_file, m_record.media_end, m_size, m_c);
        if (f) {
            failed("it cannot be read back", f);
            m_out.outcome = ending::e_fragmented;
            return;
        }
        const std::size_t all = fragments();
        m_told = all;
        m_out.fragments = all;
        if (all == 0) {
            if (m_size > m_c.end) cut(m_c.end);
            return settle(ending::e_empty, 0);
        }
        // 1. After the media: into the room kept, or where nothing would be
        //    lost by trying.
        if (m_record.room_held || m_size <= m_c.end) {
            f = check_samples();
            if (!f) f = finish_kept(all);
            if (m_halted) return;
            if (!f) return settle(ending::e_finished, all);
            if (f.kind == e_fault_layout) {
                failed("it cannot be finished", f);
                return leave_fragmented();
            }
            failed("writing its index after its media failed", f);
        }
        // 2. In place of the fewest last fragments whose bytes, and the room
        //    below the size limit, hold the index.
        fault built;
        const auto index_size = [&](std::size_t kept) {
            byte_vector index;
            if (!built) built = index_of(kept, index);
            return built ? INT64_MAX : std::int64_t(index.size());
        };
        const std::int64_t reach = std::max(m_size, m_file.size_limit());
        const auto room = [&](std::size_t kept) { return reach - end_of(kept); };
        const std::size_t kept = most_fragments_kept(all, index_size, room);
        if (built) {
            failed("it cannot be finished", built);
            return leave_fragmented();
        }
        if (kept == 0) {
            m_out.failed.push_back("its index does not fit in place of its fragments");
            return leave_fragmented();
        }
        f = lower_length(kept);
        if (!f) f = finish_kept(kept);
        if (m_halted) return;
        if (!f) return settle(ending::e_finished, kept);
        failed(kept == all ? "writing its index over its torn fragment failed"
                           : "writing its index in place of its last fragments failed",
               f);
        if (f.kind == e_fault_layout) return leave_fragmented();
        // 3. Cut back to media that the header tells no more than, which frees
        //    room (on a disk that copies on write, a write in place needs it),
        //    and the index after it.
        std::size_t finished = kept;
        f = cut_back_and_append(kept, finished);
        if (m_halted) return;
        if (!f) return settle(ending::e_finished, finished);
        failed("cutting it back and adding its index failed", f);
        // 4. Fragmented, with the media its header tells.
        leave_fragmented();
    }

  private:
    std::size_t fragments() const { return m_c.m.fragment_starts.size(); }
    std::int64_t end_of(std::size_t kept) const {
        return kept < fragments() ? m_c.m.fragment_starts[kept] : m_c.end;
    }
    fault index_of(std::size_t kept, byte_vector& out) const {
        return build_moov(m_c.first_moov, m_c.m, m_record.sound, kept, out);
    }
    // After a clean end the fragments hold every sample the muxer was given.
    fault check_samples() const {
        for (std::size_t i = 0; m_record.ended && i < m_record.samples_written.size(); ++i) {
            const auto found =
                i < m_c.m.tracks.size() ? std::int64_t(m_c.m.tracks[i].samples.size()) : 0;
            if (found != m_record.samples_written[i]) {
                return layout_fault("track " + std::to_string(i + 1) + " holds " +
                                    std::to_string(found) + " samples, but " +
                                    std::to_string(m_record.samples_written[i]) + " were written");
            }
        }
        return {};
    }
    // `done` (where given) tells whether the write or cut itself was made.
    fault change(const patch& p, bool* done = nullptr) {
        if (done != nullptr) *done = false;
        if (m_seams.finish_writes >= 0 && m_writes >= m_seams.finish_writes) {
            m_halted = true;
            return failure(e_fault_finish, "stopped early");
        }
        const std::int64_t limit = m_file.size_limit();
        const std::int64_t end = p.position + std::int64_t(p.bytes.size());
        if (!p.bytes.empty() && limit >= 0 && end > limit) {
            return failure(e_fault_finish, "it would pass the file size limit");
        }
        ++m_writes;
        ++m_out.changes;
        const fault f =
            p.bytes.empty() ? m_file.truncate(p.position) : m_file.write_at(p.position, p.bytes);
        // A write or cut that failed may have changed the file's size in part.
        if (f) {
            m_file.size(m_size);
        } else {
            m_size = p.bytes.empty() ? p.position : std::max(m_size, end);
        }
        if (f) return failure(e_fault_finish, f.text);
        if (done != nullptr) *done = true;
        if (!p.barrier) return {};
        if (fault s = m_file.sync()) return failure(e_fault_finish, s.text);
        return {};
    }
    fault cut(std::int64_t size) { return change(patch{size, {}, true}); }
    // The index of the first `kept` fragments where they end, over whatever
    // follows them.
    fault finish_kept(std::size_t kept) {
        byte_vector index;
        if (fault f = index_of(kept, index)) return f;
        const std::int64_t end = end_of(kept);
        std::vector<top_box> before;
        for (const top_box& b : m_c.layout) {
            if (b.position + b.size <= end) before.push_back(b);
        }
        const std::vector<patch> plan = plan_finish(before, end, m_size, std::move(index));
        if (plan.empty()) return layout_fault("the file is not laid out as the muxer writes");
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
                if (p.cut_on_failure >= 0 && m_size > p.cut_on_failure) cut(p.cut_on_failure);
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
    // The header tells the length of the first `kept` fragments, on the
    // disk before any of the others stops counting.
    fault lower_length(std::size_t kept) {
        if (kept >= m_told && m_told_exact) return {};
        if (m_record.length_field >= 0) {
            byte_writer value;
            value.u64(std::uint64_t(movie_length(m_c.m, kept)));
            bool written = false;
            if (fault f = change(patch{m_record.length_field, value.take(), true}, &written)) {
                // What the disk holds now is the old length or the new one.
                m_told_exact = m_told_exact && !written;
                return f;
            }
        }
        m_told = kept;
        m_told_exact = true;
        return {};
    }
    // `finished` gets the fragments that the index it wrote covers.
    fault cut_back_and_append(std::size_t kept, std::size_t& finished) {
        fault last = failure(e_fault_finish, "nothing left to cut");
        // The torn fragment's room, where the header still tells every fragment.
        if (m_told == fragments() && m_size > m_c.end) {
            if (fault f = cut(m_c.end)) return f;
            finished = fragments();
            last = finish_kept(fragments());
            if (!last || m_halted) return last;
        }
        if (kept >= fragments()) return last;
        finished = kept;
        if (fault f = lower_length(kept)) return f;
        if (m_size > end_of(kept)) {
            if (fault f = cut(end_of(kept))) return f;
        }
        return finish_kept(kept);
    }
    void leave_fragmented() {
        if (m_size > end_of(m_told)) cut(end_of(m_told));
        settle(ending::e_fragmented, m_told);
    }
    void settle(ending::e_outcome outcome, std::size_t kept) {
        m_out.outcome = outcome;
        m_out.kept = kept;
        m_out.length = m_record.length_field < 0 ? ending::e_length_none
                       : m_told_exact            ? ending::e_length_kept
                                                 : ending::e_length_at_most_kept;
        const double scale = m_c.m.timescale > 0 ? double(m_c.m.timescale) : 1.0;
        const std::int64_t all = movie_length(m_c.m);
        const std::int64_t length = movie_length(m_c.m, kept);
        m_out.seconds_kept = double(length) / scale;
        m_out.seconds_given_up = double(all - length) / scale;
    }
    void failed(const std::string& step, const fault& f) {
        m_out.failed.push_back(step + " (" + f.text + ")");
    }

    storage& m_file;
    const finish_record& m_record;
    const seams& m_seams;
    ending& m_out;
    contents m_c;
    std::int64_t m_size = 0;  // of the file now
    std::int32_t m_writes = 0;
    bool m_halted = false;
    std::size_t m_told = 0;    // fragments the header's length may count
    bool m_told_exact = true;  // and it counts exactly those
};

}  // namespace

std::string describe(const ending& e) {
    std::string outcome;
    switch (e.outcome) {
        case ending::e_header_cut:
            outcome = "the file holds no playable media: its header was cut short";
            break;
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
                break;
            }
            outcome = e.kept == e.fragments ? "the file is left fragmented, with all of its "
                                            : "the file is left fragmented, with the first " +
                                                  std::to_string(e.kept) + " of its ";
            outcome += std::to_string(e.fragments) + " complete fragment" +
                       (e.fragments == 1 ? "" : "s") + " (" + seconds_text(e.seconds_kept) +
                       " of media)";
            if (e.length == ending::e_length_kept) {
                outcome += ", its header telling their length";
            } else if (e.length == ending::e_length_at_most_kept) {
                outcome += ", its header telling no more than their length";
            }
            break;
    }
    if (e.failed.empty()) return outcome;
    std::string steps;
    for (const std::string& step : e.failed) steps += (steps.empty() ? "" : ", ") + step;
    std::string text = steps + ", so " + outcome;
    if (!e.copies_on_write.empty()) {
        text += " (the file system copies every block written over, and " + e.copies_on_write + ")";
    }
    return text;
}

ending end_file(storage& file, const finish_record& record, const seams& seams) {
    ending out;
    finisher(file, record, seams, out).run();
    return out;
}

}  // namespace Selmet::Palvex::detail
