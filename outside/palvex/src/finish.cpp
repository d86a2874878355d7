#include "finish.h"

#include <limits>

#include "platform/file_sync.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/dict.h>
}

namespace Selmet::Palvex::detail {

namespace {

// Index boxes are small; anything larger is not a file this writer made.
constexpr std::int64_t k_max_index_box = std::int64_t(64) << 20;
constexpr std::int64_t k_max_u32 = std::numeric_limits<std::uint32_t>::max();

std::string url(const std::string& path) {
    // "file:" keeps a name with a colon from being taken for another protocol.
    return "file:" + path;
}

fault io_fault(const std::string& text, int code) {
    return failure(e_fault_finish, text, code);
}

byte_vector type_bytes(std::uint32_t type) {
    return {std::uint8_t(type >> 24), std::uint8_t(type >> 16), std::uint8_t(type >> 8),
            std::uint8_t(type)};
}

// The file through FFmpeg's I/O, which takes UTF-8 names on every system.
class file {
  public:
    enum e_mode { e_mode_read, e_mode_patch };

    file(const std::string& path, e_mode mode) : m_path(path) {
        AVDictionary* options = nullptr;
        // Patching keeps what is in the file.
        if (mode == e_mode_patch) av_dict_set(&options, "truncate", "0", 0);
        m_result =
            avio_open2(&m_io, url(path).c_str(),
                       mode == e_mode_read ? AVIO_FLAG_READ : AVIO_FLAG_WRITE, nullptr, &options);
        av_dict_free(&options);
    }
    ~file() { avio_closep(&m_io); }
    file(const file&) = delete;
    file& operator=(const file&) = delete;

    fault open_fault() const {
        return m_result < 0 ? io_fault("cannot open the file", m_result) : fault{};
    }
    std::int64_t size() { return avio_size(m_io); }
    fault read(std::int64_t position, byte_vector& out) {
        if (avio_seek(m_io, position, SEEK_SET) < 0) return io_fault("cannot seek in the file", 0);
        const int got = avio_read(m_io, out.data(), int(out.size()));
        if (got != int(out.size())) return io_fault("cannot read the file", got < 0 ? got : 0);
        return {};
    }
    fault write(const patch& p) {
        avio_seek(m_io, p.position, SEEK_SET);
        avio_write(m_io, p.bytes.data(), int(p.bytes.size()));
        avio_flush(m_io);
        if (m_io->error < 0) return io_fault("patching the file failed", m_io->error);
        if (p.barrier) return sync();
        return {};
    }
    fault sync() {
        if (!Karvon::Platform::sync_file_data(m_path.c_str())) {
            return io_fault("the file could not be put on the disk", 0);
        }
        return {};
    }

  private:
    std::string m_path;
    AVIOContext* m_io = nullptr;
    int m_result = 0;
};

// The top-level boxes, the first moov's payload, and the movie that it and
// every moof describe; `fragments` counts the moofs.
fault read_file(const std::string& path, std::vector<top_box>& layout, std::int64_t& size,
                byte_vector& moov, movie& m, std::int64_t& fragments) {
    file in(path, file::e_mode_read);
    if (fault f = in.open_fault()) return f;
    size = in.size();
    if (size < 0) return io_fault("cannot tell the file's size", int(size));
    for (std::int64_t at = 0; size - at >= 8;) {
        byte_vector head(std::size_t(std::min<std::int64_t>(16, size - at)));
        if (fault f = in.read(at, head)) return f;
        top_box b;
        if (!read_top_box(head, at, size, b)) {
            return failure(e_fault_layout, "the file has a box cut short");
        }
        layout.push_back(b);
        at += b.size;
        if (b.type != fourcc("moov") && b.type != fourcc("moof")) continue;
        if (b.size > k_max_index_box) return failure(e_fault_layout, "an index box is too large");
        byte_vector payload(std::size_t(b.size - b.header));
        if (fault f = in.read(b.position + b.header, payload)) return f;
        if (b.type == fourcc("moov")) {
            if (!moov.empty()) return failure(e_fault_layout, "the file has two indexes");
            moov = std::move(payload);
            if (fault f = read_movie(moov, m)) return f;
        } else if (moov.empty()) {
            return failure(e_fault_layout, "a fragment comes before the index");
        } else {
            if (fault f = add_fragment(payload, b.position, size, m)) return f;
            ++fragments;
        }
    }
    if (moov.empty()) return failure(e_fault_layout, "the file has no index");
    return {};
}

}  // namespace

std::vector<patch> plan_finish(const std::vector<top_box>& layout, std::int64_t file_size,
                               const byte_vector& full_index) {
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
        full_index.size() < 8) {
        return plan;
    }
    const byte_vector free_type = type_bytes(fourcc("free"));
    // Written as a free box: until it is on the disk whole, the fragmented
    // form stays the one that counts.
    patch index{file_size, full_index, true};
    std::copy(free_type.begin(), free_type.end(), index.bytes.begin() + 4);
    plan.push_back(std::move(index));
    // The fragments' random access index is no use to an ordinary file.
    for (const top_box& b : layout) {
        if (b.type == fourcc("mfra")) plan.push_back(patch{b.position + 4, free_type, false});
    }
    // The full index comes alive behind the first one, which players take
    // while it is there.
    plan.push_back(patch{file_size + 4, type_bytes(fourcc("moov")), true});
    // In one write of 16 bytes the first index becomes the head of one media
    // data box over the first index and all fragments: their headers become
    // opaque bytes among the samples, and the full index is the only one.
    byte_writer head;
    head.u32(1);
    head.u32(fourcc("mdat"));
    head.u64(std::uint64_t(fragments_end - first_moov->position));
    plan.push_back(patch{first_moov->position, head.take(), true});
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

std::int64_t torn_tail(std::int64_t file_size, const std::vector<std::int64_t>& complete_ends) {
    std::int64_t last = -1;
    for (const std::int64_t end : complete_ends) {
        if (end <= file_size) last = std::max(last, end);
    }
    if (last <= 0 || file_size - last < 8 || file_size - last > k_max_u32) return -1;
    return last;
}

fault finish_file(const finish_record& record) {
    std::vector<top_box> layout;
    std::int64_t size = 0;
    byte_vector first_moov;
    movie m;
    std::int64_t fragments = 0;
    if (fault f = read_file(record.path, layout, size, first_moov, m, fragments)) return f;
    // Nothing recorded: the file stays as the muxer left it.
    if (fragments == 0) return {};
    for (std::size_t i = 0; i < record.samples_written.size() && i < m.tracks.size(); ++i) {
        const auto found = std::int64_t(m.tracks[i].samples.size());
        if (found != record.samples_written[i]) {
            return failure(e_fault_layout, "track " + std::to_string(i + 1) + " holds " +
                                               std::to_string(found) + " samples, but " +
                                               std::to_string(record.samples_written[i]) +
                                               " were written");
        }
    }
    byte_vector full_index;
    if (fault f = build_moov(first_moov, std::move(m), record.sound, full_index)) return f;

    file out(record.path, file::e_mode_patch);
    if (fault f = out.open_fault()) return f;
    if (out.size() != size) return failure(e_fault_finish, "the file changed while it was read");
    std::int32_t written = 0;
    for (const patch& p : plan_finish(layout, size, full_index)) {
        if (record.write_limit >= 0 && written == record.write_limit) return {};
        if (fault f = out.write(p)) return f;
        ++written;
    }
    return out.sync();
}

fault cut_torn_fragment(const finish_record& record) {
    file out(record.path, file::e_mode_patch);
    if (fault f = out.open_fault()) return f;
    const std::int64_t size = out.size();
    const std::int64_t tail = torn_tail(size, record.complete_ends);
    if (tail < 0) return {};
    // Overwriting bytes already in the file needs no room on the disk.
    byte_writer header;
    header.u32(std::uint32_t(size - tail));
    header.u32(fourcc("free"));
    return out.write(patch{tail, header.take(), true});
}

}  // namespace Selmet::Palvex::detail
