// The container: a fragmented MP4 with a fragment at every key frame, each
// handed to the operating system whole as soon as the muxer has written it.
// Packets that come before the header wait here until every stream is known.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fault.h"
#include "finish.h"

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

    fault open(const std::string& path);
    AVFormatContext* context() const { return m_output; }

    // Writes the header, then the packets that waited for it.
    fault start();
    bool started() const { return m_started; }

    // A packet in the time base `from`. Before start() it waits, unless too
    // many wait already: then the file starts with the streams it has.
    fault write(AVPacket* packet, AVRational from);

    // Unless a write failed: the header if it is not out yet, the packets
    // still held and the trailer. Then the file is closed.
    fault end();
    // Closes the file as it is.
    void close();

    // True once a write failed: the file's tail may be torn.
    bool torn() const { return m_torn; }
    const std::vector<std::int64_t>& complete_ends() const { return m_complete_ends; }
    const std::vector<std::int64_t>& samples_written() const { return m_samples_written; }

  private:
    fault write_now(AVPacket* packet, AVRational from);
    fault handed_over();
    fault write_fault(int code);

    std::string m_path;
    AVFormatContext* m_output = nullptr;
    std::vector<std::pair<AVPacket*, AVRational>> m_held;
    bool m_started = false;
    bool m_torn = false;
    std::vector<std::int64_t> m_complete_ends;    // newest last, the last few only
    std::vector<std::int64_t> m_samples_written;  // per stream
};

}  // namespace Selmet::Palvex::detail
