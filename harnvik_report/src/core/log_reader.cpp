#include "core/log_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace Harnvik::Report {

namespace {

// No line of the program is nearly this long. Of a longer line only this
// much is kept, and its last byte (a CR before the line end tells the same
// whatever its length), so a log without line ends cannot fill memory; what
// is kept is still too long to be taken for one of the program's lines.
constexpr std::size_t k_longest_line = 4096;
// Bytes before the final text that a repetition at the log's end may start
// from: more than a C runtime's output buffer.
constexpr std::size_t k_repeat_window = 64 * 1024;
// Bytes after the final text held to look for a repetition. A process that
// ends leaves a few lines there; a log with more is read as it comes.
constexpr std::size_t k_most_held = 1024 * 1024;
// Bytes of a foreign line kept for the report.
constexpr std::size_t k_foreign_text_kept = 200;
// More integer digits than any rate has; keeps the value exact in 64 bits.
constexpr int k_most_integer_digits = 15;

constexpr std::string_view k_rate_head = Output::k_rate_head;
constexpr std::string_view k_rate_middle = Output::k_rate_middle;
constexpr std::string_view k_rate_tail = Output::k_rate_unit;
constexpr std::string_view k_infinite = Output::k_infinite_rate;

enum e_match : std::uint8_t { e_match_none, e_match_prefix, e_match_full };

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Matches `literal` at `at`. A text that ends inside the literal is a prefix.
e_match match_literal(std::string_view text, std::size_t& at, std::string_view literal) {
    const std::size_t left = text.size() - at;
    const std::size_t compared = left < literal.size() ? left : literal.size();
    if (text.compare(at, compared, literal.substr(0, compared)) != 0) return e_match_none;
    at += compared;
    return compared == literal.size() ? e_match_full : e_match_prefix;
}

// A worker's index is one digit.
static_assert(k_worker_count > 0 && k_worker_count <= 10);
static_assert(Output::k_rate_decimals == 2, "the rate is read in hundredths");

// Matches a rate line against the program's format "Thread %d, memcpy =
// %1.2fGb/s" (a worker's index; a rate of two decimals or "inf"). On a full
// match sets worker and rate.
e_match match_rate_line(std::string_view text, std::int32_t& worker, double& rate) {
    std::size_t at = 0;
    e_match m = match_literal(text, at, k_rate_head);
    if (m != e_match_full) return m;
    if (at == text.size()) return e_match_prefix;
    if (text[at] < '0' || text[at] >= '0' + k_worker_count) return e_match_none;
    worker = text[at] - '0';
    ++at;
    m = match_literal(text, at, k_rate_middle);
    if (m != e_match_full) return m;
    if (at == text.size()) return e_match_prefix;
    if (text[at] == k_infinite[0]) {
        m = match_literal(text, at, k_infinite);
        if (m != e_match_full) return m;
        rate = std::numeric_limits<double>::infinity();
    } else {
        std::int64_t hundredths = 0;
        int digits = 0;
        while (at < text.size() && is_digit(text[at])) {
            if (++digits > k_most_integer_digits) return e_match_none;
            hundredths = hundredths * 10 + (text[at++] - '0');
        }
        if (digits == 0) return e_match_none;
        if (at == text.size()) return e_match_prefix;
        if (text[at++] != '.') return e_match_none;
        for (int decimal = 0; decimal < Output::k_rate_decimals; ++decimal) {
            if (at == text.size()) return e_match_prefix;
            if (!is_digit(text[at])) return e_match_none;
            hundredths = hundredths * 10 + (text[at++] - '0');
        }
        rate = static_cast<double>(hundredths) / 100.0;
    }
    m = match_literal(text, at, k_rate_tail);
    if (m != e_match_full) return m;
    return at == text.size() ? e_match_full : e_match_none;
}

bool starts_a_program_line(std::string_view text) {
    std::int32_t worker = 0;
    double rate = 0.0;
    for (std::string_view whole : {k_start_text, k_open_failure_text, k_write_failure_text}) {
        if (text.size() < whole.size() && whole.substr(0, text.size()) == text) return true;
    }
    return match_rate_line(text, worker, rate) == e_match_prefix;
}

}  // namespace

std::int64_t log_facts::rate_lines() const {
    std::int64_t total = 0;
    for (const auto& lines : workers) total += static_cast<std::int64_t>(lines.size());
    return total;
}

bool parse_rate_line(std::string_view line, std::int32_t& worker, double& rate) {
    return match_rate_line(line, worker, rate) == e_match_full;
}

const char* outcome_name(e_outcome outcome) {
    switch (outcome) {
        case e_outcome_not_started:
            return "not_started";
        case e_outcome_open_failed:
            return "open_failed";
        case e_outcome_write_failed:
            return "write_failed";
        case e_outcome_cut_off:
            return "cut_off";
    }
    return "unknown";
}

void log_reader::feed(std::string_view bytes) {
    if (m_holding) {
        hold(bytes);
        return;
    }
    while (!bytes.empty()) {
        const void* found = std::memchr(bytes.data(), '\n', bytes.size());
        if (found == nullptr) {
            keep_partial(bytes);
            return;
        }
        const std::size_t length =
            static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
        std::string_view line = bytes.substr(0, length);
        // A line is read the same whether it came in one block or in many.
        if (!m_partial.empty() || line.size() > k_longest_line + 1) {
            keep_partial(line);
            line = m_partial;
        }
        bytes.remove_prefix(length + 1);
        if (ends_recording(line)) {
            m_holding = true;
            m_held.assign(line);
            m_held += '\n';
            m_partial.clear();
            hold(bytes);
            return;
        }
        remember(line);
        take_line(line, true);
        m_partial.clear();
    }
}

void log_reader::keep_partial(std::string_view bytes) {
    if (bytes.empty()) return;
    if (m_partial.size() + bytes.size() <= k_longest_line + 1) {
        m_partial.append(bytes);
        return;
    }
    // The first k_longest_line bytes, then the last byte so far.
    if (m_partial.size() < k_longest_line) {
        m_partial.append(bytes.substr(0, k_longest_line - m_partial.size()));
    }
    m_partial.resize(k_longest_line);
    m_partial += bytes.back();
}

bool log_reader::has_final_text() const {
    return m_holding || m_facts.end_line != 0 || ends_recording(m_partial);
}

bool log_reader::ends_recording(std::string_view line) const {
    if (m_held_taken || m_facts.start_line == 0 || m_facts.end_line != 0) return false;
    return line.substr(0, k_open_failure_text.size()) == k_open_failure_text ||
           line.substr(0, k_write_failure_text.size()) == k_write_failure_text;
}

void log_reader::remember(std::string_view line) {
    m_before.append(line);
    m_before += '\n';
    if (m_before.size() > 2 * k_repeat_window) m_before.erase(0, m_before.size() - k_repeat_window);
}

void log_reader::hold(std::string_view bytes) {
    m_held.append(bytes);
    // Far more than a process end leaves: read it as it came.
    if (m_held.size() > k_most_held) release_held(m_held.size());
}

void log_reader::release_held(std::size_t kept) {
    m_holding = false;
    m_held_taken = true;
    const std::string held = std::move(m_held);
    m_held.clear();
    feed(std::string_view(held).substr(0, kept));
}

std::size_t log_reader::held_once() {
    // The repeated bytes are the runtime's whole last buffer, so they hold
    // the final text a second time: try each later copy of it as the start
    // of the repetition's final text.
    const std::string_view final_text =
        m_held.substr(0, k_open_failure_text.size()) == k_open_failure_text ? k_open_failure_text
                                                                            : k_write_failure_text;
    const std::string full = m_before + m_held;
    const std::size_t at = m_before.size();
    for (std::size_t copy = full.find(final_text, at + 1); copy != std::string::npos;
         copy = full.find(final_text, copy + 1)) {
        const std::size_t half = copy - at;
        if (2 * half > full.size() || full.size() > copy + half) continue;
        const std::size_t second = full.size() - half;
        if (full.compare(second - half, half, full, second, half) == 0) {
            m_facts.repeated_tail_bytes = static_cast<std::int64_t>(half);
            return second - at;
        }
    }
    return m_held.size();
}

log_facts log_reader::finish() {
    if (!m_holding && !m_partial.empty() && ends_recording(m_partial)) {
        m_holding = true;
        m_held = std::move(m_partial);
        m_partial.clear();
    }
    if (m_holding) release_held(held_once());
    if (!m_partial.empty()) take_line(m_partial, false);
    m_partial.clear();
    m_before.clear();
    m_held_taken = false;
    log_facts facts = std::move(m_facts);
    m_facts = log_facts{};
    return facts;
}

void log_reader::take_line(std::string_view line, bool ended) {
    ++m_facts.lines;
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
        if (ended) ++m_facts.crlf_lines;
    }

    // The final text has no line end: rate lines printed after it continue
    // its line.
    const bool started = m_facts.start_line != 0;
    if (started && m_facts.end_line == 0) {
        for (const auto& [text, outcome] :
             {std::pair{k_open_failure_text, e_outcome_open_failed},
              std::pair{k_write_failure_text, e_outcome_write_failed}}) {
            if (line.substr(0, text.size()) == text) {
                m_facts.end_line = m_facts.lines;
                m_facts.outcome = outcome;
                line.remove_prefix(text.size());
                if (line.empty()) return;
                break;
            }
        }
    }

    std::int32_t worker = 0;
    double rate = 0.0;
    if (match_rate_line(line, worker, rate) == e_match_full) {
        const e_phase phase = !started                ? e_phase_before_start
                              : m_facts.end_line == 0 ? e_phase_recording
                                                      : e_phase_after_end;
        m_facts.workers[static_cast<std::size_t>(worker)].push_back(
            rate_line{m_facts.lines, rate, phase});
        return;
    }
    if (!started && line == k_start_text) {
        m_facts.start_line = m_facts.lines;
        m_facts.outcome = e_outcome_cut_off;
        return;
    }
    if (!ended && starts_a_program_line(line)) {
        m_facts.cut_last_line = true;
        m_facts.cut_line = foreign_line{m_facts.lines, std::string(line)};
        return;
    }
    take_foreign(line);
}

void log_reader::take_foreign(std::string_view line) {
    ++m_facts.foreign_count;
    if (m_facts.foreign.size() < k_foreign_lines_kept) {
        m_facts.foreign.push_back(
            foreign_line{m_facts.lines, std::string(line.substr(0, k_foreign_text_kept))});
    }
}

log_facts read_log(std::string_view text) {
    log_reader reader;
    reader.feed(text);
    return reader.finish();
}

}  // namespace Harnvik::Report
