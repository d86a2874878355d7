// Shared by the recorder's tests: texts, settings, test pictures and sounds,
// and what the library's own index code finds in a file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording.h"
#include "selmet/palvex/mp4.h"

namespace palvex_test {

namespace detail = Selmet::Palvex::detail;

using Selmet::Palvex::writer::mp4;
using video_message = Karvon::Wendrix::video::message;
using audio_message = Karvon::Wendrix::audio::message;
using wstring16 = std::basic_string<mp4::wchar16>;

wstring16 wide(const std::string& text);
// UTF-16 to ASCII, '?' for the rest; empty for null.
std::string narrow(const mp4::wchar16* text);

// Settings as the recording soak sets them, for a new file in the working
// directory.
struct settings {
    wstring16 name;
    mp4::info info;
    explicit settings(const std::string& file, std::int32_t width = 1920,
                      std::int32_t height = 1080);
};

// Pictures and sound that carry their own timing: a white picture on every
// whole second and black ones between, and a 1 kHz tone for the first 10 ms
// of every second over silence. 25 frames a second, 48 kHz, 4 channels.
class clock_signal {
  public:
    clock_signal(std::int32_t width, std::int32_t height) : m_width(width), m_height(height) {}
    // The next picture and the sound that goes with it (1920 samples); the
    // caller owns one hold on each.
    video_message* next_frame();
    audio_message* next_block();

  private:
    std::int32_t m_width;
    std::int32_t m_height;
    std::int64_t m_frame = 0;
    std::int64_t m_sample = 0;
};

// Writes n pairs of the clock signal; false at the first refused write.
bool write_clock(mp4& writer, clock_signal& signal, int pairs);

// The inner recording, for tests that look at what the public writer hides.
// Writes pairs of the clock signal (or only its pictures, or only its
// sound) until one fails: the first fault, and in `offered` how many pairs
// were offered, the failing one included.
enum e_streams { e_both, e_pictures, e_sound };
detail::fault write_clock_to(detail::recording& r, clock_signal& signal, std::int32_t pairs,
                             std::int32_t* offered = nullptr, e_streams streams = e_both);
// Opens it for the small recordings of the tests: 320x240 at `bit_rate`,
// sound at 16 kbit/s, into `file` (a disk in memory, usually).
detail::fault open_small(detail::recording& r, std::unique_ptr<detail::storage> file,
                         std::int32_t bit_rate = 200000, const detail::seams& seams = {});

std::vector<std::uint8_t> read_file(const std::string& file);
void write_file(const std::string& file, const std::vector<std::uint8_t>& bytes);
std::int64_t file_size(const std::string& file);

// The top-level boxes of a file, by type ("?" for one cut short).
std::vector<std::string> top_level_boxes(const std::vector<std::uint8_t>& bytes);
// The types inside the first top-level box of a type.
std::vector<std::string> child_boxes(const std::vector<std::uint8_t>& bytes,
                                     const std::string& parent);

// The length a first moov's length box (mvex/mehd, version 0 or 1) tells;
// -1 without one.
std::int64_t told_length(detail::byte_span moov_payload);

// What the fragments of a file hold that are followed by all their data.
struct fragments {
    std::int64_t end = 0;  // of the last complete fragment (or of the first index)
    std::int64_t count = 0;
    std::vector<std::int64_t> samples;  // per track
    std::int64_t length = 0;            // how long they last, in the movie's time scale
    // What the first index's length box tells; -1 without one (or without
    // an index at the top level).
    std::int64_t header_length = -1;
};
fragments complete_fragments(const std::vector<std::uint8_t>& bytes);
// Where each top-level moof of a file starts.
std::vector<std::int64_t> fragment_starts(const std::vector<std::uint8_t>& bytes);

// What the full index of an ordinary file lists: the samples per track (from
// stsz) and the size of the moov box; empty samples when there is none.
struct full_index {
    std::int64_t size = 0;
    std::vector<std::int64_t> samples;
};
full_index read_full_index(const std::vector<std::uint8_t>& bytes);

}  // namespace palvex_test
