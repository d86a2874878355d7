// MP4 boxes as bytes: the one place that knows how a box header looks.
// byte_reader reads big-endian fields and never past its end; byte_writer
// writes them and back-patches box sizes. Flag bits of the fragment boxes are
// named here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace Selmet::Palvex::detail {

using byte_vector = std::vector<std::uint8_t>;
using byte_span = std::span<const std::uint8_t>;

constexpr std::uint32_t fourcc(const char (&name)[5]) {
    return std::uint32_t(std::uint8_t(name[0])) << 24 | std::uint32_t(std::uint8_t(name[1])) << 16 |
           std::uint32_t(std::uint8_t(name[2])) << 8 | std::uint32_t(std::uint8_t(name[3]));
}

std::string fourcc_text(std::uint32_t type);

// Track fragment header (tfhd) flags.
namespace tfhd_flags {
constexpr std::uint32_t base_data_offset = 0x000001;
constexpr std::uint32_t sample_description_index = 0x000002;
constexpr std::uint32_t default_sample_duration = 0x000008;
constexpr std::uint32_t default_sample_size = 0x000010;
constexpr std::uint32_t default_sample_flags = 0x000020;
constexpr std::uint32_t duration_is_empty = 0x010000;
constexpr std::uint32_t default_base_is_moof = 0x020000;
}  // namespace tfhd_flags

// Track run (trun) flags: which fields each sample carries.
namespace trun_flags {
constexpr std::uint32_t data_offset = 0x000001;
constexpr std::uint32_t first_sample_flags = 0x000004;
constexpr std::uint32_t sample_duration = 0x000100;
constexpr std::uint32_t sample_size = 0x000200;
constexpr std::uint32_t sample_flags = 0x000400;
constexpr std::uint32_t sample_composition_offset = 0x000800;
}  // namespace trun_flags

// Bits of a sample's flags word.
namespace sample_flags {
constexpr std::uint32_t is_non_sync = 0x00010000;
constexpr std::uint32_t depends_on_others = 0x01000000;
constexpr std::uint32_t depends_on_none = 0x02000000;
}  // namespace sample_flags

// A box header: type, header length (8, or 16 with a 64-bit size) and the
// length of the whole box.
struct box_header {
    std::uint32_t type = 0;
    std::uint32_t header = 0;
    std::uint64_t size = 0;
};

enum e_box_header {
    e_box_header_whole,      // the box fits in its room
    e_box_header_cut_short,  // fewer bytes than the header takes
    e_box_header_bad,        // a size smaller than its header or larger than the room, or 0 ("to
                             // the end"), which the muxer never writes
};

// Reads the header at the start of `data`. `room` is how far the enclosing
// range reaches from there; it may be more than data.size() when the rest is
// on disk or still to come.
e_box_header read_box_header(byte_span data, std::uint64_t room, box_header& out);

// A box at the top level of a file, read from its first bytes.
struct top_box {
    std::uint32_t type = 0;
    std::int64_t position = 0;
    std::int64_t size = 0;
    std::uint32_t header = 0;
};

// Reads the header of the top-level box at `position` from its first bytes
// (16 or what is left of the file) in a file of `file_size` bytes; false
// unless the box lies whole inside the file.
bool read_top_box(byte_span head, std::int64_t position, std::int64_t file_size, top_box& out);

// A box held in memory.
struct box {
    std::uint32_t type = 0;
    byte_span whole;    // header included
    byte_span payload;  // after the header
};

// Splits a range into the boxes it consists of; false unless it is exactly a
// sequence of whole boxes (at most 7 bytes of padding may follow).
bool split_boxes(byte_span data, std::vector<box>& out);

// The first box of a type, or null.
const box* find_box(const std::vector<box>& boxes, std::uint32_t type);

class byte_reader {
  public:
    explicit byte_reader(byte_span data) : m_data(data) {}

    std::uint64_t uint(std::size_t bytes);  // 1 to 8 bytes, big-endian
    std::uint8_t u8() { return std::uint8_t(uint(1)); }
    std::uint32_t u32() { return std::uint32_t(uint(4)); }
    std::uint64_t u64() { return uint(8); }
    void skip(std::size_t bytes);
    // Version and flags of a full box.
    void full_header(std::uint32_t& version, std::uint32_t& flags);

    // False from the first read past the end on; such reads give 0.
    bool ok() const { return m_ok; }
    std::size_t position() const { return m_at; }
    std::size_t left() const { return m_data.size() - m_at; }
    byte_span rest() const { return m_data.subspan(m_at); }

  private:
    byte_span m_data;
    std::size_t m_at = 0;
    bool m_ok = true;
};

// The header of a box of `size` bytes, its header included: 8 bytes, or 16
// with a 64-bit size where the size needs it or `large` asks for it (a
// header that must take exactly 16 bytes). The one way a box header is
// written; byte_writer::begin() and end() write through it.
byte_vector header_bytes(std::uint32_t type, std::uint64_t size, bool large = false);

class byte_writer {
  public:
    void u8(std::uint32_t value) { m_bytes.push_back(std::uint8_t(value)); }
    void u16(std::uint32_t value);
    void u32(std::uint32_t value);
    void u64(std::uint64_t value);
    void raw(byte_span bytes) { m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end()); }

    // Starts a box; end() writes its size once its contents are in.
    std::size_t begin(std::uint32_t type);
    std::size_t begin_full(std::uint32_t type, std::uint32_t version, std::uint32_t flags);
    void end(std::size_t start) { patch_u32(start, std::uint32_t(m_bytes.size() - start)); }
    void patch_u32(std::size_t at, std::uint32_t value);

    std::size_t size() const { return m_bytes.size(); }
    const byte_vector& bytes() const { return m_bytes; }
    byte_vector take() { return std::move(m_bytes); }

  private:
    byte_vector m_bytes;
};

}  // namespace Selmet::Palvex::detail
