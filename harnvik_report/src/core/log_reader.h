// Reads what Harnvik printed on standard output, as it really arrives: in
// blocks of any size, with LF or CRLF line ends, rate lines after the final
// text (which has no line end of its own), a last line cut short, and lines
// that are not Harnvik's at all. Knows no files and no libraries: bytes in,
// facts out.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "harnvik/output_format.h"

namespace Harnvik::Report {

// The program's own texts and counts (harnvik/output_format.h).
constexpr std::int32_t k_worker_count = Output::k_worker_count;
// Foreign lines kept with their text; the rest are only counted.
constexpr std::size_t k_foreign_lines_kept = 20;

constexpr std::string_view k_start_text = Output::k_start_text;
constexpr std::string_view k_open_failure_text = Output::k_open_failure_text;
constexpr std::string_view k_write_failure_text = Output::k_write_failure_text;

// Where a rate line stands relative to the program's own texts.
enum e_phase : std::uint8_t {
    e_phase_before_start,  // before the start text
    e_phase_recording,     // after the start text, before the final text
    e_phase_after_end,     // after the final text: workers run until the process exits
};

// How the recording went, as far as the log tells.
enum e_outcome : std::uint8_t {
    e_outcome_not_started,   // no start text: the log ends within the pause
    e_outcome_open_failed,   // "Error recording file."
    e_outcome_write_failed,  // "Error writing to file."
    e_outcome_cut_off,       // started, but the log ends without a final text
};

// One rate line. A rate of "inf" (the program measured 0 ms) is +infinity.
struct rate_line {
    std::int64_t line;  // 1-based line number in the log
    double rate;        // 2^30 bytes per second, as printed
    e_phase phase;
};

struct foreign_line {
    std::int64_t line = 0;
    std::string text;  // as read, without its line end
};

struct log_facts {
    std::array<std::vector<rate_line>, k_worker_count> workers;
    std::int64_t lines = 0;       // lines read, the last one counted even without a line end
    std::int64_t crlf_lines = 0;  // lines that ended in CR LF
    std::int64_t start_line = 0;  // line of the start text; 0 when there is none
    std::int64_t end_line = 0;    // line of the final text; 0 when there is none
    e_outcome outcome = e_outcome_not_started;
    std::int64_t foreign_count = 0;
    std::vector<foreign_line> foreign;  // the first k_foreign_lines_kept of them
    // A last line without a line end that is the beginning of one of the
    // program's lines: the log was cut while it was being written.
    bool cut_last_line = false;
    foreign_line cut_line;
    // Bytes at the end of the log that repeat the bytes before them, the
    // final text among them: a C runtime that writes its last buffer again as
    // the process ends. They are read once; 0 when nothing came twice.
    std::int64_t repeated_tail_bytes = 0;

    std::int64_t rate_lines() const;
};

// Feed the log in blocks as they arrive, then call finish() once.
class log_reader {
  public:
    void feed(std::string_view bytes);
    log_facts finish();
    // The facts of the lines read so far: rate lines are only ever added.
    // The lines from the final text on are held until finish().
    const log_facts& so_far() const { return m_facts; }
    // Whether the final text has been read (it is held with what follows).
    bool has_final_text() const;

  private:
    // Adds to the unfinished line; of a line longer than any of the program's
    // keeps its beginning and its last byte.
    void keep_partial(std::string_view bytes);
    void take_line(std::string_view line, bool ended);
    void take_foreign(std::string_view line);
    // True for the line that ends the recording, which starts the held tail.
    bool ends_recording(std::string_view line) const;
    void remember(std::string_view line);
    void hold(std::string_view bytes);
    // Reads the first `kept` bytes of the held tail as they came.
    void release_held(std::size_t kept);
    // The bytes of the held tail without a repetition at its end.
    std::size_t held_once();

    log_facts m_facts;
    std::string m_partial;  // bytes after the last line end so far
    // The log's last bytes before the line with the final text, as read.
    std::string m_before;
    // From the line with the final text on, the log is held until finish():
    // only the whole tail tells whether its end came twice.
    bool m_holding = false;
    bool m_held_taken = false;
    std::string m_held;
};

// Reads a whole log held in memory.
log_facts read_log(std::string_view text);

// Parses one rate line ("Thread 3, memcpy = 11.42Gb/s", without its line end).
// Returns false for anything else.
bool parse_rate_line(std::string_view line, std::int32_t& worker, double& rate);

const char* outcome_name(e_outcome outcome);

}  // namespace Harnvik::Report
