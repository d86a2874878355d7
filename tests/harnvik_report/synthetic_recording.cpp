#include "synthetic_recording.h"

namespace Harnvik::Report::test {

namespace {

// A full box: version and flags before the payload.
bytes full_box(const char* type, int version, std::uint32_t flags, const bytes& payload) {
    bytes head;
    put_big_endian(head, static_cast<std::uint64_t>(version), 1);
    put_big_endian(head, flags, 3);
    return box(type, head + payload);
}

bytes numbers(std::initializer_list<std::uint32_t> values) {
    bytes out;
    for (const std::uint32_t value : values) put_big_endian(out, value, 4);
    return out;
}

constexpr std::uint32_t k_frame_ticks = k_synthetic_time_scale / k_synthetic_frames;

bytes file_type() {
    return box("ftyp", bytes{'i', 's', 'o', '5', 0, 0, 2, 0});
}

// The index's children before its fragments' header.
bytes movie_and_track() {
    return full_box("mvhd", 0, 0, numbers({0, 0, k_synthetic_header_scale, 0})) +
           box("trak",
               full_box("tkhd", 0, 3, numbers({0, 0, 1, 0})) +
                   box("mdia", full_box("mdhd", 0, 0, numbers({0, 0, k_synthetic_time_scale, 0}))));
}

}  // namespace

void put_big_endian(bytes& out, std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bytes box(const char* type, const bytes& payload) {
    bytes out;
    put_big_endian(out, payload.size() + 8, 4);
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes synthetic_header() {
    const bytes length = full_box("mehd", 1, 0, bytes(8, 0));
    const bytes defaults = full_box("trex", 0, 0, numbers({1, 1, k_frame_ticks, 0, 0}));
    return file_type() + box("moov", movie_and_track() + box("mvex", length + defaults));
}

std::int64_t synthetic_length_at() {
    // ftyp; the heads of moov, of mvex and of mehd with its version and flags.
    return static_cast<std::int64_t>(file_type().size() + 8 + movie_and_track().size() + 8 + 12);
}

bytes synthetic_fragment_head(std::int64_t index, std::int64_t media_bytes, const char* type) {
    // tfhd: default-base-is-moof and a default duration; tfdt version 1;
    // trun: sizes, the first frame's offset to its data.
    bytes decode_time;
    put_big_endian(decode_time, static_cast<std::uint64_t>(index) * k_synthetic_time_scale, 8);
    bytes sizes;
    for (int frame = 0; frame < k_synthetic_frames; ++frame) {
        put_big_endian(sizes, static_cast<std::uint64_t>(media_bytes / k_synthetic_frames), 4);
    }
    const bytes track =
        box("traf", full_box("tfhd", 0, 0x020008, numbers({1, k_frame_ticks})) +
                        full_box("tfdt", 1, 0, decode_time) +
                        full_box("trun", 0, 0x000201, numbers({k_synthetic_frames, 0}) + sizes));
    const bytes index_box =
        box(type, full_box("mfhd", 0, 0, numbers({static_cast<std::uint32_t>(index + 1)})) + track);
    bytes media;
    put_big_endian(media, static_cast<std::uint64_t>(media_bytes) + 8, 4);
    return index_box + media + bytes{'m', 'd', 'a', 't'};
}

}  // namespace Harnvik::Report::test
