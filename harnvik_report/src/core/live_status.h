// What the view of a running soak shows: the log's figures as its lines
// come, a look at the recording, and what follows from both (the time since
// the start, the real-time factor, when the run will end). Pure: the clock,
// the file's facts and the disk's room come from outside.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/log_reader.h"
#include "core/statistics.h"

namespace Harnvik::Report {

// The log's figures as it comes. Each rate line is taken once, so taking
// new lines costs what they cost, whatever the log's length.
class live_log {
  public:
    live_log();

    // Takes the rate lines that `facts` holds beyond those taken before
    // (the facts of one log_reader, which only ever adds lines); returns
    // how many were new.
    std::int64_t take(const log_facts& facts);

    // The newest rate of each worker; NaN for a worker without lines.
    const std::array<double, k_worker_count>& latest() const { return m_latest; }
    // Medians of every worker's lines before the start text and since it:
    // the same as the report's "all" row gives for the same lines.
    double median_before() const { return m_before.value(); }
    double median_since() const { return m_since.value(); }
    // The workers' own time while recording, as the report's real-time
    // factor counts it: the median over the workers that printed then of
    // the seconds of those lines. NaN while none has.
    double recording_s() const;

  private:
    std::array<std::size_t, k_worker_count> m_taken{};
    std::array<double, k_worker_count> m_latest{};
    std::array<double, k_worker_count> m_recording_s{};
    running_median m_before;
    running_median m_since;
};

// What the recording shows now.
enum e_recording_state : std::uint8_t {
    e_recording_missing,     // no file by that name (yet)
    e_recording_no_header,   // no whole header (ftyp, moov) yet
    e_recording_fragmented,  // a header, then fragments: being recorded
    e_recording_finished,    // an ordinary MP4 with one full index: the recorder finished it
    e_recording_not_mp4,     // bytes that are no MP4 header
};

// Whose file-size limit the room below a limit is counted from.
enum e_limit_owner : std::uint8_t {
    e_limit_of_writer,    // the process that has the recording open for writing
    e_limit_of_follower,  // the follower's own: the writer's cannot be told
};

// One look at the recording, from its header and its fragments.
struct recording_sample {
    e_recording_state state = e_recording_missing;
    std::int64_t file_bytes = 0;
    // The length the header tells (moov/mvex/mehd); why none when it tells none.
    bool has_header_length = false;
    double header_length_s = 0.0;
    std::string header_length_note;
    // The complete fragments (moof, then mdat): how many, where the
    // presentation of the last one ends, and the bytes of their media.
    std::int64_t fragments = 0;
    double fragments_s = 0.0;
    std::int64_t media_bytes = 0;
    // Room left for the recording: the disk's free bytes, or the bytes below
    // the size limit when those are fewer; -1 when unknown.
    std::int64_t room_bytes = -1;
    bool room_is_limit = false;
    // Whose limit was looked at, and the writer's process id when it was its.
    e_limit_owner limit_owner = e_limit_of_follower;
    std::int64_t writer = 0;
};

// Everything the view shows at one moment.
struct live_status {
    std::string log_name;
    std::int64_t lines = 0;
    std::int64_t rate_lines = 0;
    std::int64_t foreign_lines = 0;
    bool started = false;  // the start text was read
    bool ended = false;    // the final text was read
    // Seconds since the newest rate line arrived, and since the start text
    // did; NaN before either.
    double since_newest_line_s = 0.0;
    double since_start_text_s = 0.0;

    std::array<double, k_worker_count> latest{};
    double median_before = 0.0;
    double median_since = 0.0;
    double recording_s = 0.0;  // live_log::recording_s()

    bool has_file = false;
    std::string file_name;
    recording_sample recording;

    // Newest last; the view shows the last few.
    std::vector<std::string> notes;

    // Filled by complete_status() from the facts above.
    double drop_percent = 0.0;
    // Seconds since the start text: the workers' time while recording, and
    // since their newest line the follower's own clock, as lines come in
    // blocks; before the first line while recording, the time since the
    // start text arrived. NaN before the start text.
    double since_start_s = 0.0;
    // Seconds of media safe on the disk: the header's length, or the
    // fragments' where the header tells none.
    double media_s = 0.0;
    bool media_from_header = false;
    double bit_rate = 0.0;          // bits per second of media, of the complete fragments
    double real_time_factor = 0.0;  // media_s / since_start_s
    // Seconds until the room is used up at the pace so far; NaN unknown.
    double ends_in_s = 0.0;
};

// Takes the log's figures into the status.
void take_log(live_status& status, const live_log& log);

// Fills the figures that follow from the facts; NaN where they cannot be told.
void complete_status(live_status& status);

}  // namespace Harnvik::Report
