// The muxer's way to the file. FFmpeg writes through an I/O context whose
// callbacks write at the context's own position in the storage. Every write
// that makes the file longer first makes sure that room for the full index
// stays allocated beyond it (and, under a file-size limit, that the index
// still fits below the limit). Once that room cannot be had, the file takes
// no more media: it ends with its last complete fragment, and the finish
// writes the index into the room that is held.
//
// Until the first fragment is complete with its room, a failure to find room
// only gives the reserve up: the file is then written as far as the disk
// takes it, and can only be cut back to its last complete fragment.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "boxes.h"
#include "fault.h"
#include "seams.h"
#include "storage.h"

extern "C" {
#include <libavformat/avio.h>
}

namespace Selmet::Palvex::detail {

class output {
  public:
    output(std::unique_ptr<storage> file, const seams& seams);
    ~output();
    output(const output&) = delete;
    output& operator=(const output&) = delete;

    fault open();
    AVIOContext* context() const { return m_io; }
    storage& file() { return *m_file; }

    // Gives the header that the muxer has just written (and nothing after
    // it yet) a length box, which says how long the complete fragments
    // last. From here on the file lies that many bytes further on than the
    // muxer counts, and the header cannot be written again.
    // `header` gets the header as it is now.
    fault add_length_field(byte_vector& header);
    // Where the length lies in the file; -1 before add_length_field().
    std::int64_t length_field() const { return m_length_field; }
    // Puts a new length into the header, in the movie's time scale.
    fault write_length(std::int64_t length);
    // The file position of a position the muxer counts.
    std::int64_t in_file(std::int64_t muxer_position) const { return muxer_position + m_shift; }
    // The bytes the full index would take for what the muxer was given so
    // far; room for them is kept beyond every later write.
    void need_index_room(std::int64_t bytes) { m_index_room = bytes; }
    std::int64_t index_room() const { return m_index_room; }
    // The muxer has handed over its header or (holds_media) a whole
    // fragment: it goes to the disk before anything else is written. A
    // fragment's moof goes to the file as a free box, and becomes a moof
    // once the whole fragment is on the disk (synced again): a power loss
    // that tears a fragment leaves a free box cut short, which players
    // pass over, never a moof cut short, which stops them reading the file.
    fault put_on_disk(bool holds_media);

    // Why the last write failed: the system's reason, or why media stopped.
    const fault& problem() const { return m_problem; }
    // True while the room for the index is held: a file that ends with any
    // of its complete fragments can be finished.
    bool room_held() const { return m_room == e_room_held; }

  private:
    enum e_room_state { e_room_pending, e_room_held, e_room_none };

#if LIBAVFORMAT_VERSION_MAJOR >= 61
    using av_bytes = const std::uint8_t*;
#else
    using av_bytes = std::uint8_t*;
#endif
    static int write_packet(void* opaque, av_bytes data, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

    fault sync();
    // Before the file grows to `end`: false when it must not.
    bool make_room(std::int64_t end);
    // No room for the index: before the first complete fragment the reserve
    // is given up and the write goes ahead (true); after it, media stops.
    bool no_room(const std::string& stop, const std::string& reason);

    std::unique_ptr<storage> m_file;
    AVIOContext* m_io = nullptr;
    std::int64_t m_position = 0;   // of the next write
    std::int64_t m_end = 0;        // of the data written
    std::int64_t m_allocated = 0;  // room held from the start of the file
    std::int64_t m_index_room = 0;
    std::int64_t m_shift = 0;           // bytes the header grew by after the muxer wrote it
    std::int64_t m_header_end = 0;      // nothing is written below it again
    std::int64_t m_next_fragment = -1;  // where the next fragment's moof starts
    std::int64_t m_hidden = -1;         // a moof written as free until its fragment is synced
    byte_vector m_scratch;              // a write with a moof hidden in it
    bool m_hide_fragments = true;
    std::int64_t m_length_field = -1;
    e_room_state m_room = e_room_pending;
    std::string m_why_fragmented;  // why no room is held, once it is given up
    fault m_problem;
};

}  // namespace Selmet::Palvex::detail
