// Following a run, as one pure step: it takes the time, the log's new bytes
// and, when one is due, a look at the recording, and keeps what the view
// shows and whether the run has ended. Every rule of following lives here:
// when the run has ended, when a log is not Harnvik's, the room left below
// a size limit, and which notes are said (each condition once). The loop
// around it only reads, steps and shows; the clock is the caller's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/live_status.h"
#include "core/log_reader.h"

namespace Harnvik::Report {

// How a log followed by its name changed since the last step.
enum e_log_change : std::uint8_t {
    e_log_same,      // the same log, perhaps grown (standard input: always)
    e_log_missing,   // no file by that name, and none open
    e_log_opened,    // the file by that name was opened now
    e_log_replaced,  // another file has the name now; its bytes from its start follow
    e_log_cut,       // the log is shorter than what was read; its bytes from its start follow
    e_log_unnamed,   // the name is gone; the file still open is read
};

// What came of the log since the last step.
struct log_news {
    e_log_change change = e_log_same;
    std::string bytes;
    std::int64_t cut_to = 0;   // e_log_cut: the log's size now
    std::int64_t had = 0;      // e_log_cut: the bytes read of it before
    bool input_ended = false;  // standard input has ended, and with it the run
};

// How the recording changed since the last look.
enum e_file_change : std::uint8_t {
    e_file_same,      // the same file, perhaps grown, or opened now
    e_file_missing,   // no file by that name, and none open
    e_file_replaced,  // another file has the name now: read from its start
    e_file_unnamed,   // the name is gone; the file still open is read
    e_file_failed,    // it cannot be opened or read: `error`
};

// One look at the recording and at the room left for it.
struct recording_look {
    e_file_change change = e_file_same;
    std::string error;
    recording_sample sample;         // the file's facts; its room is the step's
    std::vector<std::string> notes;  // what the scan of the file found wrong
    std::int64_t free_bytes = -1;    // for the user on the file's disk; -1 unknown
    std::int64_t size_limit = -1;    // the largest file allowed; -1 none
    e_limit_owner limit_owner = e_limit_of_follower;
    std::int64_t writer = 0;  // e_limit_of_writer: its process id
};

// Lines of a log, none of them the program's, before a log still coming is
// said not to be Harnvik's output.
constexpr std::int64_t k_lines_before_doubt = 100;

// Whether a log is not Harnvik's output: none of its lines is a rate line
// or the start text (a run ended before any worker printed is Harnvik's). A
// log still coming is doubted from k_lines_before_doubt lines on, a whole
// one at once.
bool is_foreign_log(const log_facts& facts, bool whole);

// The room left for the recording: the disk's free bytes, or those below the
// size limit where fewer. Fills room_bytes, room_is_limit, limit_owner and
// writer of the sample.
void take_room(recording_sample& sample, const recording_look& look);

// Seconds a log followed by its name must be quiet after the final text
// for the run to have ended: the workers print on while Harnvik closes its
// file, so one and a half of a worker's measurements at the median rate
// (the newest median there is), 2 s at least.
double quiet_after_end_s(double median_before, double median_since);

struct follow_settings {
    std::string log_name;     // as the view names it
    std::string log_file;     // the followed file's name; empty for standard input
    std::string file_name;    // the recording; empty when not followed
    double refresh_s = 10.0;  // between two looks at the recording and two updates
};

// What one step changed, for the loop to show.
struct follow_update {
    bool ended = false;      // the run has ended: finish() and report
    bool refreshed = false;  // an update was due: the figures and the look are new
    bool new_lines = false;  // rate lines came
    bool noted = false;      // notes came: take_notes()
};

class follow_step {
  public:
    follow_step(follow_settings settings, double now_s);
    ~follow_step();
    follow_step(const follow_step&) = delete;
    follow_step& operator=(const follow_step&) = delete;

    // Whether an update, and with it a look at the recording, is due at
    // `now_s`: at the first step, then once per refresh_s.
    bool due(double now_s) const;
    // Takes what came since the last step. `look` is a look at the recording
    // made now, when one was due and the recording is followed; else null.
    follow_update step(double now_s, log_news news, const recording_look* look);

    const live_status& status() const { return m_status; }
    // Notes not taken yet, oldest first: each is given out once.
    std::vector<std::string> take_notes();
    // A note of the loop's own (a file of its that cannot be written).
    void note(std::string text);
    // The whole log, as the report reads it. Call once, at the end.
    log_facts finish();

  private:
    void restart_log();
    void take_log_news(double now_s, log_news& news);
    void take_look(const recording_look& look);
    bool run_ended(double now_s, const log_news& news) const;

    follow_settings m_settings;
    std::unique_ptr<log_reader> m_reader;
    live_log m_figures;
    live_status m_status;
    std::vector<std::string> m_pending;  // notes not taken yet
    double m_refreshed_s = 0.0;
    bool m_refreshed_once = false;
    double m_quiet_since_s = 0.0;
    double m_newest_line_s = -1.0;  // -1: none yet
    double m_start_text_s = -1.0;
    // Conditions said once while they last; changes are said as they come.
    bool m_waiting = false;    // for the log to be there
    bool m_doubted = false;    // the log is not Harnvik's
    std::string m_file_error;  // why the recording cannot be read
};

}  // namespace Harnvik::Report
