// What the recorded file holds, as the demuxer and the decoders see it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Harnvik::Report {

// How an MP4 file's boxes lie at its top level.
enum e_layout : std::uint8_t {
    // One index (moov) of every sample and no fragments: what a finished
    // recording is.
    e_layout_ordinary,
    // An index of the tracks only (moov with mvex), then fragments (moof and
    // mdat), each with the index of its own samples.
    e_layout_fragmented,
    // No index among the boxes that could be read.
    e_layout_no_index,
};

inline const char* layout_name(e_layout kind) {
    switch (kind) {
        case e_layout_ordinary:
            return "ordinary";
        case e_layout_fragmented:
            return "fragmented";
        case e_layout_no_index:
            break;
    }
    return "no_index";
}

struct box_layout {
    bool read = false;  // false: not an MP4 file, its boxes were not read
    e_layout kind = e_layout_no_index;
    std::int64_t fragments = 0;  // whole moof boxes at the top level
    std::int64_t boxes = 0;      // whole boxes at the top level
    // Where the whole boxes end: the file's size when nothing is wrong.
    std::int64_t boxes_end = 0;
    // Why the boxes end before the file does (a box cut short, bytes that
    // are no box), or the first damage inside an index; empty when there is
    // none.
    std::string problem;

    // The length a fragmented file's index tells in its movie extends header
    // (moov/mvex/mehd), in seconds of its movie header's (mvhd) time scale:
    // how long its complete fragments last, as the writer last knew it.
    bool has_header_length = false;
    double header_length_s = 0.0;
    // Why a fragmented file's index tells no length (no mehd, a mehd or
    // mvhd cut short, a version without a known form, a time scale of 0);
    // empty when it tells one, and for files that are not fragmented.
    std::string header_length_note;
};

struct media_facts {
    std::string file;
    std::int64_t file_size = 0;  // bytes
    std::string container;       // the demuxer's name
    box_layout layout;

    bool has_video = false;
    std::string video_codec;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int64_t video_frames = 0;  // packets of the video stream
    double video_duration_s = 0.0;

    bool has_audio = false;
    std::string audio_codec;
    std::int32_t sample_rate = 0;
    std::int32_t channels = 0;
    std::int64_t audio_packets = 0;
    std::int64_t audio_samples = 0;  // per channel
    double audio_duration_s = 0.0;

    // From the earliest packet's start to the latest packet's end, over both
    // streams.
    double duration_s = 0.0;
    std::int64_t media_bytes = 0;                // packet payload of both streams
    double mean_bit_rate = 0.0;                  // bits per second of media
    std::vector<std::int64_t> bytes_per_second;  // per whole second of media

    // Bytes after the end of the last packet: a fragment cut short, or an
    // index at the end of the file.
    std::int64_t tail_bytes = 0;
    std::int64_t corrupt_packets = 0;   // packets the demuxer flagged as damaged
    std::string read_error;             // why reading stopped before the end; empty if it did not
    std::int64_t demuxer_messages = 0;  // errors FFmpeg reported while reading
    std::vector<std::string> messages;  // the first few of those (and of the decoders')

    bool decoded = false;  // a full decode was asked for and ran
    std::int64_t decoded_video_frames = 0;
    std::int64_t decoded_audio_frames = 0;
    std::int64_t decoded_audio_samples = 0;  // per channel
    // Packets the decoders refused, frames they flagged as damaged, and
    // errors they reported.
    std::int64_t decode_errors = 0;

    // Nothing went wrong reading (and decoding, when asked): the file plays
    // up to its last complete packet.
    bool plays_to_end() const {
        return read_error.empty() && corrupt_packets == 0 && demuxer_messages == 0 &&
               decode_errors == 0;
    }
};

// How the length a fragmented file's header tells stands to the media its
// complete fragments hold (`duration_s`, from the packets).
enum e_header_fit : std::uint8_t {
    e_header_fit_none,    // the header tells no length
    e_header_fit_agrees,  // within k_header_tolerance_s
    // Shorter: the writer updates the length after each fragment is on the
    // disk, so a power loss may leave it a fragment short.
    e_header_fit_shorter,
    // Longer: never right, the header tells of media that is not there.
    e_header_fit_longer,
};

// The header's length is where the presentation of the last complete
// fragment ends, in whole units of the movie's time scale (milliseconds),
// rounded down and counted from time 0; the packets' span is exact and
// starts at the earliest packet. They differ by a few milliseconds at most,
// a fragment (about a second) by far more.
constexpr double k_header_tolerance_s = 0.05;

inline e_header_fit header_fit(const media_facts& media) {
    if (!media.layout.has_header_length) return e_header_fit_none;
    const double difference = media.layout.header_length_s - media.duration_s;
    if (difference > k_header_tolerance_s) return e_header_fit_longer;
    if (difference < -k_header_tolerance_s) return e_header_fit_shorter;
    return e_header_fit_agrees;
}

}  // namespace Harnvik::Report
