// The recording while it grows, read a little at each look: its header
// once, then at each look the length the header tells and the boxes that are
// new since the last look, never the whole file again. A look costs what the
// new fragments cost, whatever the file's length. Trusts no size in the
// file, as the box layout does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/live_status.h"
#include "media/box_layout.h"

namespace Harnvik::Report {

class recording_scan {
  public:
    // Looks at the file as `source` shows it now and fills the sample's
    // facts of the file (all but its room). What went wrong that the view
    // should say (damage, a header that disagrees with the fragments, a file
    // cut shorter) goes into `notes`, once each time it happens.
    void look(const byte_source& source, recording_sample& sample, std::vector<std::string>& notes);

    // Forgets the file: the next look reads it from its start, as a new one.
    void restart();

    // Bytes read from the file by the last look.
    std::int64_t bytes_read() const { return m_bytes_read; }

    // What the scan keeps of one track.
    struct track {
        std::uint32_t id = 0;
        std::uint64_t time_scale = 0;
        std::uint32_t default_duration = 0;  // trex: for samples that tell none
        std::uint64_t decode_end = 0;        // ticks: where the next fragment's decode starts
        double end_s = 0.0;                  // where its presentation ends
    };

  private:
    bool read_header(const byte_source& source, recording_sample& sample,
                     std::vector<std::string>& notes);
    void read_tracks(const byte_source& source, const box_header& index);
    // Reads the boxes from m_next on: whole fragments, up to the first box
    // that is not whole yet, or a moof still typed free.
    void read_fragments(const byte_source& source, std::vector<std::string>& notes);
    void take_fragment(const byte_source& source, const box_header& fragment,
                       std::vector<std::string>& notes);
    void compare_length(recording_sample& sample, std::vector<std::string>& notes);
    void note_once(std::vector<std::string>& notes, const std::string& text);

    e_recording_state m_state = e_recording_missing;
    box_header m_index;
    bool m_has_length = false;
    header_length_place m_length;
    std::string m_length_note;
    std::vector<track> m_tracks;
    std::int64_t m_next = 0;  // where the next box after the complete fragments starts
    std::int64_t m_fragments = 0;
    std::int64_t m_media_bytes = 0;
    double m_fragments_s = 0.0;
    // The fragments' end at the last look: the header has told at least
    // that much since, as it is written right after each fragment.
    double m_fragments_s_before = 0.0;
    std::string m_said;  // the last note, not said again in a row
    std::int64_t m_bytes_read = 0;
};

}  // namespace Harnvik::Report
