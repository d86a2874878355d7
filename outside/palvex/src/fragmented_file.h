// The file while it is recorded, and the one owner of its layout. The muxer
// writes into memory; this class appends what it made to the file whole box
// by whole box, following the box chain: the header, then each fragment, in
// the order of writes and syncs that the recorder's README tells ("On the
// disk, while recording").
//
// It knows every position of the file, the end of its complete media, the
// room kept for the full index beyond it, the size limit and where the
// header's length lies; the finish asks it for them (finish_record).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "boxes.h"
#include "fault.h"
#include "index.h"
#include "seams.h"
#include "storage.h"

namespace Selmet::Palvex::detail {

class fragmented_file {
  public:
    fragmented_file(std::unique_ptr<storage> file, const seams& seams);
    fragmented_file(const fragmented_file&) = delete;
    fragmented_file& operator=(const fragmented_file&) = delete;

    // Bytes the muxer made, in order. Nothing reaches the disk until commit().
    void take(byte_span bytes);
    // Appends every whole box taken so far and keeps the rest. A fault when a
    // write or a sync fails (the file may then end in a torn fragment), when
    // media must stop to keep room for the index or to stay below the size
    // limit (nothing of the fragment is written), or when the bytes are not
    // a chain of boxes. From the first fault on, nothing more is written and
    // every commit() returns it.
    fault commit();

    storage& file() { return *m_file; }
    // Where the last complete fragment ends (the header's end before the
    // first; 0 before the header is on the disk). Bytes after it, up to the
    // file's size, are a torn fragment.
    std::int64_t media_end() const { return m_media_end; }
    std::int64_t fragments() const { return m_fragments; }
    // Where the header's 64-bit length lies; -1 without one.
    std::int64_t length_field() const { return m_length_field; }
    // The length the header tells, in the movie's time scale (ticks a
    // second: timescale(), 0 before the header).
    std::int64_t length() const { return m_length; }
    std::uint32_t timescale() const { return m_clock.timescale; }
    // True while room for the full index is held beyond the media.
    bool room_held() const { return m_room == e_room_held; }
    // The first fault; none while the file takes media.
    const fault& problem() const { return m_problem; }

  private:
    enum e_room_state { e_room_pending, e_room_held, e_room_none };

    fault write_header(std::size_t end);
    fault append_fragment(std::size_t moof, const box_header& moof_box, std::size_t mdat_size);
    // Before the file grows to `end`, with room beyond it for a full index
    // of `index` bytes: false (and the fault kept) when media must stop.
    bool make_room(std::int64_t end, std::int64_t index);
    // A failure to have room: before the first complete fragment the room
    // is given up and media goes on; after it, media stops.
    bool no_room(const std::string& stop, const std::string& reason);
    fault fail(e_fault kind, const std::string& text);
    fault write(std::int64_t position, byte_span bytes);
    fault sync();

    std::unique_ptr<storage> m_file;
    seams m_seams;
    byte_vector m_pending;   // taken, not yet whole boxes on the disk
    std::int64_t m_end = 0;  // of the bytes written
    std::int64_t m_media_end = 0;
    std::int64_t m_header_end = 0;
    std::int64_t m_fragments = 0;
    std::int64_t m_length_field = -1;
    std::int64_t m_length = 0;
    std::int64_t m_allocated = 0;  // room held from the start of the file
    e_room_state m_room = e_room_pending;
    std::string m_why_no_room;
    // How far every track has come in the complete fragments, and what
    // their full index holds: times and counts only.
    movie m_clock;
    index_skeleton m_index;
    fault m_problem;
};

}  // namespace Selmet::Palvex::detail
