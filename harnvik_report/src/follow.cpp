#include "follow.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "core/live_status.h"
#include "core/statistics.h"
#include "media/recording_scan.h"
#include "os/console.h"
#include "os/followed_file.h"
#include "os/input_reader.h"
#include "os/os_services.h"
#include "render/live_view.h"

namespace Harnvik::Report {

namespace {

using clock = std::chrono::steady_clock;

// How often the follower wakes: to take what came, and to see Ctrl-C and a
// resize. A wake that finds nothing costs a few system calls.
constexpr std::chrono::milliseconds k_tick{250};
// A terminal's view is drawn again about once per measurement (a worker
// measures for about two seconds), and whenever rate lines come.
constexpr double k_terminal_refresh_s = 2.0;
// After the final text the workers print on while the process ends (the
// writer's close takes its time): a log file that another process writes
// has no end, so its run has ended when the log has been quiet for longer
// than a worker's measurement takes, and for this long at least. Standard
// input ends when the run does.
constexpr double k_quiet_after_end_s = 2.0;
// Lines without one of the program's before the log is said not to be its.
constexpr std::int64_t k_lines_before_doubt = 100;
constexpr std::size_t k_read_block = 1 << 20;
constexpr std::size_t k_notes_kept = 20;

// How long a quiet log after the final text must be for the run to have
// ended: one and a half measurements at the workers' median rate.
double quiet_after_end_s(const live_status& status) {
    const double rate =
        std::isnan(status.median_since) ? status.median_before : status.median_since;
    if (!(rate > 0.0)) return k_quiet_after_end_s;
    return std::max(k_quiet_after_end_s, 1.5 * measurement_seconds(rate));
}

// Prints the notes not shown yet, one plain line each; true if it printed.
bool print_notes(const std::vector<std::string>& notes, std::size_t& shown) {
    std::string out;
    for (; shown < notes.size(); ++shown) out += "note: " + notes[shown] + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return !out.empty();
}

double seconds_since(clock::time_point then, clock::time_point now) {
    return std::chrono::duration<double>(now - then).count();
}

enum e_poll : std::uint8_t { e_poll_going, e_poll_ended, e_poll_failed };

// Where the log comes from: standard input, or a file followed by its name.
class log_source {
  public:
    explicit log_source(const std::string& name) {
        if (name == "-") {
            m_input = std::make_unique<os::input_reader>();
        } else {
            m_file = std::make_unique<os::followed_file>(name);
        }
    }

    // Waits up to a tick and appends what came to `bytes`. `restart`: the
    // log is another one now (replaced, or cut shorter), whose bytes from
    // its start follow.
    e_poll poll(std::string& bytes, bool& restart, std::vector<std::string>& notes,
                std::string& error) {
        if (m_input) {
            if (m_input->take(bytes, k_tick)) return e_poll_going;
            error = m_input->error();
            if (error.empty()) return e_poll_ended;
            error = "cannot read standard input: " + error;
            return e_poll_failed;
        }
        if (!m_first) std::this_thread::sleep_for(k_tick);
        m_first = false;
        os::followed_file& file = *m_file;
        const std::string& name = file.name();
        switch (file.look()) {
            case os::followed_file::e_look_missing:
                if (!m_waiting)
                    notes.push_back("waiting for the log " + name + ": no such file yet");
                m_waiting = true;
                return e_poll_going;
            case os::followed_file::e_look_failed:
                error = file.error();
                return e_poll_failed;
            case os::followed_file::e_look_replaced:
                notes.push_back("the log " + name +
                                " was replaced by another file: read from its start");
                restart = true;
                m_read = 0;
                break;
            case os::followed_file::e_look_cut:
                notes.push_back("the log was cut to " + std::to_string(file.size()) +
                                " bytes (it had " + std::to_string(m_read) +
                                "): read again from its start");
                restart = true;
                m_read = 0;
                break;
            case os::followed_file::e_look_unnamed:
                notes.push_back("the log's name " + name + " is gone: the file still open is read");
                break;
            case os::followed_file::e_look_opened:
                if (m_waiting) notes.push_back("the log " + name + " is there now");
                break;
            case os::followed_file::e_look_same:
                break;
        }
        while (m_read < file.size()) {
            const std::size_t at = bytes.size();
            const auto wanted = static_cast<std::size_t>(
                std::min<std::int64_t>(file.size() - m_read, k_read_block));
            bytes.resize(at + wanted);
            const std::int64_t got = file.read_at(m_read, bytes.data() + at, wanted);
            if (got < 0) {
                error = file.error();
                return e_poll_failed;
            }
            bytes.resize(at + static_cast<std::size_t>(got));
            m_read += got;
            if (got == 0) break;
        }
        return e_poll_going;
    }

  private:
    std::unique_ptr<os::input_reader> m_input;
    std::unique_ptr<os::followed_file> m_file;
    std::int64_t m_read = 0;  // bytes of the file read
    bool m_first = true;
    bool m_waiting = false;  // said that the log is not there yet
};

// The recording, looked at once per update.
class recording_watch {
  public:
    explicit recording_watch(const std::string& name) : m_file(name) {}

    void look(live_status& status) {
        recording_sample& sample = status.recording;
        switch (m_file.look()) {
            case os::followed_file::e_look_missing:
                sample = recording_sample{};
                return;
            case os::followed_file::e_look_failed:
                if (m_file.error() != m_said) status.notes.push_back(m_file.error());
                m_said = m_file.error();
                return;
            case os::followed_file::e_look_replaced:
                status.notes.push_back(
                    "the recording was replaced by another file: read from "
                    "its start");
                m_scan.restart();
                break;
            case os::followed_file::e_look_unnamed:
                status.notes.push_back("the recording's name is gone: the file still open is read");
                break;
            default:
                break;
        }
        byte_source source;
        source.size = m_file.size();
        source.read = [this](std::int64_t offset, std::uint8_t* out, std::size_t count) {
            return m_file.read_at(offset, out, count) == static_cast<std::int64_t>(count);
        };
        m_scan.look(source, sample, status.notes);
        // The room below the size limit, where that is less than the disk's.
        sample.room_bytes = os::free_bytes_for(m_file.name());
        sample.room_is_limit = false;
        const std::int64_t limit = os::file_size_limit();
        if (limit >= 0 &&
            (sample.room_bytes < 0 || limit - sample.file_bytes < sample.room_bytes)) {
            sample.room_bytes = std::max<std::int64_t>(limit - sample.file_bytes, 0);
            sample.room_is_limit = true;
        }
    }

  private:
    os::followed_file m_file;
    recording_scan m_scan;
    std::string m_said;
};

}  // namespace

bool follow_run(const options& chosen, followed_run& run, std::string& error) {
    os::catch_interrupt();
    const bool terminal = os::prepare_terminal_output();
    const double refresh_s = terminal ? k_terminal_refresh_s : chosen.interval_s;
    block_painter painter(stdout);
    log_source source(chosen.log);
    auto reader = std::make_unique<log_reader>();
    live_log figures;
    live_status status;
    status.log_name = chosen.log_name();
    status.has_file = !chosen.file.empty();
    status.file_name = chosen.file;
    std::unique_ptr<recording_watch> recording;
    if (status.has_file) recording = std::make_unique<recording_watch>(chosen.file);

    clock::time_point refreshed = clock::now();
    clock::time_point quiet_since = refreshed;
    clock::time_point newest_line{};
    clock::time_point start_text{};
    bool refreshed_once = false;
    bool doubted = false;
    bool printed = false;
    std::size_t notes_shown = 0;
    int columns = 0;
    for (;;) {
        std::string bytes;
        bool restart = false;
        const std::size_t notes_before = status.notes.size();
        const e_poll polled = source.poll(bytes, restart, status.notes, error);
        const clock::time_point now = clock::now();
        if (polled == e_poll_failed) {
            painter.clear();
            return false;
        }
        if (restart) {
            reader = std::make_unique<log_reader>();
            figures = live_log{};
            doubted = false;
        }
        bool new_lines = false;
        if (!bytes.empty()) {
            quiet_since = now;
            const bool had_start = reader->so_far().start_line != 0;
            reader->feed(bytes);
            if (figures.take(reader->so_far()) > 0) {
                newest_line = now;
                new_lines = true;
            }
            if (!had_start && reader->so_far().start_line != 0) start_text = now;
        }
        if (os::interrupted()) {
            run.interrupted = true;
            break;
        }
        const log_facts& facts = reader->so_far();
        if (!doubted && facts.lines >= k_lines_before_doubt && facts.rate_lines() == 0 &&
            facts.start_line == 0) {
            doubted = true;
            status.notes.push_back(std::to_string(facts.lines) +
                                   " lines and none of them Harnvik's: is this its standard "
                                   "output?");
        }
        if (polled == e_poll_ended ||
            (!chosen.log_is_standard_input() && reader->has_final_text() &&
             seconds_since(quiet_since, now) >= quiet_after_end_s(status))) {
            // What was noted since the last line is said before the report.
            if (!terminal) printed = print_notes(status.notes, notes_shown) || printed;
            break;
        }

        const os::terminal_size size = terminal ? os::output_terminal_size() : os::terminal_size{};
        const bool due = !refreshed_once || seconds_since(refreshed, now) >= refresh_s;
        const bool noted = status.notes.size() != notes_before;
        if (!due && !noted && !(terminal && (new_lines || size.columns != columns))) continue;

        status.lines = facts.lines;
        status.rate_lines = facts.rate_lines();
        status.foreign_lines = facts.foreign_count;
        status.started = facts.start_line != 0;
        status.ended = reader->has_final_text();
        take_log(status, figures);
        status.since_newest_line_s = newest_line == clock::time_point{}
                                         ? std::numeric_limits<double>::quiet_NaN()
                                         : seconds_since(newest_line, now);
        status.since_start_text_s = start_text == clock::time_point{}
                                        ? std::numeric_limits<double>::quiet_NaN()
                                        : seconds_since(start_text, now);
        if (due) {
            refreshed = now;
            refreshed_once = true;
            if (recording) recording->look(status);
        }
        complete_status(status);
        if (status.notes.size() > k_notes_kept) {
            const std::size_t dropped = status.notes.size() - k_notes_kept;
            status.notes.erase(status.notes.begin(),
                               status.notes.begin() + static_cast<std::ptrdiff_t>(dropped));
            notes_shown = notes_shown > dropped ? notes_shown - dropped : 0;
        }
        if (terminal) {
            painter.draw(live_block(status), size.columns, size.rows);
            columns = size.columns;
            continue;
        }
        printed = print_notes(status.notes, notes_shown) || printed;
        if (due) {
            const std::string line = live_line(status) + "\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
            printed = true;
        }
    }
    painter.clear();
    if (printed) std::fputc('\n', stdout);
    run.log = reader->finish();
    return true;
}

}  // namespace Harnvik::Report
