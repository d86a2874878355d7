// The container: a fragmented MP4 with a fragment at every key frame, each
// handed to the file whole and synced as soon as the muxer has written it.
// Packets that come before the header wait here until every stream is known.
// The muxer tells the output how large the full index could grow, so that
// room for it stays allocated beyond the media.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "fault.h"
#include "index.h"
#include "output.h"
#include "seams.h"
#include "storage.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace Selmet::Palvex::detail {

class muxer {
  public:
    muxer() = default;
    ~muxer();
    muxer(const muxer&) = delete;
    muxer& operator=(const muxer&) = delete;

    fault open(std::unique_ptr<storage> file, const seams& seams = {});
    AVFormatContext* format() const { return m_format; }
    output& file_output() { return *m_output; }

    // Writes the header, then the packets that waited for it.
    fault start();
    bool started() const { return m_started; }

    // A packet in the time base `from`. Before start() it waits, unless too
    // many wait already: then the file starts with the streams it has.
    fault write(AVPacket* packet, AVRational from);

    // Unless a write failed: the header if it is not out yet, the packets
    // still held and the trailer. The file stays open for the finish.
    fault end();
    // Hands over what FFmpeg still buffers and writes nothing more.
    void close();

    // True once a write failed: the file's tail may be torn.
    bool torn() const { return m_torn; }
    const std::vector<std::int64_t>& complete_ends() const { return m_complete_ends; }
    const std::vector<std::int64_t>& samples_written() const { return m_samples_written; }

  private:
    fault write_now(AVPacket* packet, AVRational from);
    // Hands what FFmpeg holds to the output; at a new complete end (the
    // header, or a whole fragment), has the output put it on the disk, then
    // counts it.
    fault hand_over();
    fault write_fault(int code);
    // A fault of the file's own (its header, its length) ends the recording
    // as a failed write does.
    fault file_fault(const fault& problem);
    void update_index_room();
    // The header gets its length box, and the clock its tracks.
    fault add_length();
    // The fragments between two complete ends move the clock on; the header
    // then tells the new length.
    fault count_length(std::int64_t from, std::int64_t to);

    std::unique_ptr<output> m_output;
    AVFormatContext* m_format = nullptr;
    std::int64_t m_header_end = 0;
    std::int64_t m_fragments = 0;  // handed over whole
    std::vector<std::pair<AVPacket*, AVRational>> m_held;
    bool m_started = false;
    bool m_torn = false;
    std::vector<std::int64_t> m_complete_ends;    // newest last, the last few only
    std::vector<std::int64_t> m_samples_written;  // per stream
    bool m_keep_length = true;
    // How far every track has come in the complete fragments: times only.
    movie m_clock;
};

}  // namespace Selmet::Palvex::detail
