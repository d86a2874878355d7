// Recordings made box by box, as the recorder lays them out while it
// records, for the tests of the reading of boxes and for the benchmark:
// ftyp, an index of one video track whose fragments' header keeps the
// length, then one-second fragments (moof + mdat) of 25 frames.
#pragma once

#include <cstdint>
#include <vector>

namespace Harnvik::Report::test {

using bytes = std::vector<std::uint8_t>;

void put_big_endian(bytes& out, std::uint64_t value, int count);
// A box with a 32-bit size around `payload`.
bytes box(const char* type, const bytes& payload = {});
bytes operator+(bytes a, const bytes& b);

// The video's ticks per second, and the header's (milliseconds).
constexpr std::uint32_t k_synthetic_time_scale = 12800;
constexpr std::uint32_t k_synthetic_header_scale = 1000;
constexpr int k_synthetic_frames = 25;  // per fragment, a second

// ftyp and the index (moov: mvhd, trak with tkhd and mdia/mdhd, mvex with
// mehd version 1 and trex), the length 0.
bytes synthetic_header();
// Where the header keeps its length: 8 bytes, big-endian milliseconds.
std::int64_t synthetic_length_at();
// The index (moof, typed `type`) of fragment `index`, a second from second
// `index` on, and the head of its mdat of `media_bytes`: the media follows.
bytes synthetic_fragment_head(std::int64_t index, std::int64_t media_bytes,
                              const char* type = "moof");

}  // namespace Harnvik::Report::test
