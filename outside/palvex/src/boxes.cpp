#include "boxes.h"

namespace Selmet::Palvex::detail {

std::string fourcc_text(std::uint32_t type) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((type >> shift) & 0xFF);
        text += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

e_box_header read_box_header(byte_span data, std::uint64_t room, box_header& out) {
    byte_reader r(data);
    std::uint64_t size = r.u32();
    out.type = r.u32();
    out.header = 8;
    if (size == 1) {
        size = r.u64();
        out.header = 16;
    }
    out.size = size;
    if (!r.ok()) return e_box_header_cut_short;
    return size >= out.header && size <= room ? e_box_header_whole : e_box_header_bad;
}

bool read_top_box(byte_span head, std::int64_t position, std::int64_t file_size, top_box& out) {
    box_header h;
    if (position < 0 || file_size < position ||
        read_box_header(head, std::uint64_t(file_size - position), h) != e_box_header_whole) {
        return false;
    }
    out = top_box{h.type, position, std::int64_t(h.size), h.header};
    return true;
}

bool split_boxes(byte_span data, std::vector<box>& out) {
    out.clear();
    std::size_t at = 0;
    while (data.size() - at >= 8) {
        box_header h;
        if (read_box_header(data.subspan(at), data.size() - at, h) != e_box_header_whole) {
            return false;
        }
        const auto size = std::size_t(h.size);
        out.push_back(
            box{h.type, data.subspan(at, size), data.subspan(at + h.header, size - h.header)});
        at += size;
    }
    return true;
}

const box* find_box(const std::vector<box>& boxes, std::uint32_t type) {
    for (const box& b : boxes) {
        if (b.type == type) return &b;
    }
    return nullptr;
}

std::uint64_t byte_reader::uint(std::size_t bytes) {
    if (!m_ok || left() < bytes) {
        m_ok = false;
        return 0;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | m_data[m_at++];
    return value;
}

void byte_reader::skip(std::size_t bytes) {
    if (!m_ok || left() < bytes) {
        m_ok = false;
        return;
    }
    m_at += bytes;
}

void byte_reader::full_header(std::uint32_t& version, std::uint32_t& flags) {
    const std::uint32_t word = u32();
    version = word >> 24;
    flags = word & 0xFFFFFF;
}

void byte_writer::u16(std::uint32_t value) {
    const std::uint8_t bytes[2] = {std::uint8_t(value >> 8), std::uint8_t(value)};
    m_bytes.insert(m_bytes.end(), bytes, bytes + 2);
}

// A full index holds millions of these: each goes in with one append.
void byte_writer::u32(std::uint32_t value) {
    const std::uint8_t bytes[4] = {std::uint8_t(value >> 24), std::uint8_t(value >> 16),
                                   std::uint8_t(value >> 8), std::uint8_t(value)};
    m_bytes.insert(m_bytes.end(), bytes, bytes + 4);
}

void byte_writer::u64(std::uint64_t value) {
    const std::uint8_t bytes[8] = {std::uint8_t(value >> 56), std::uint8_t(value >> 48),
                                   std::uint8_t(value >> 40), std::uint8_t(value >> 32),
                                   std::uint8_t(value >> 24), std::uint8_t(value >> 16),
                                   std::uint8_t(value >> 8),  std::uint8_t(value)};
    m_bytes.insert(m_bytes.end(), bytes, bytes + 8);
}

byte_vector header_bytes(std::uint32_t type, std::uint64_t size, bool large) {
    byte_writer header;
    if (large || size > 0xFFFFFFFFu) {
        header.u32(1);
        header.u32(type);
        header.u64(size);
    } else {
        header.u32(std::uint32_t(size));
        header.u32(type);
    }
    return header.take();
}

std::size_t byte_writer::begin(std::uint32_t type) {
    const std::size_t start = m_bytes.size();
    // The size follows in end(), once the contents are in.
    raw(header_bytes(type, 0));
    return start;
}

std::size_t byte_writer::begin_full(std::uint32_t type, std::uint32_t version,
                                    std::uint32_t flags) {
    const std::size_t start = begin(type);
    u32(version << 24 | flags);
    return start;
}

void byte_writer::patch_u32(std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) m_bytes[at + i] = std::uint8_t(value >> (24 - 8 * i));
}

}  // namespace Selmet::Palvex::detail
