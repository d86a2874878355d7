// The report's log reader over any bytes, fed in blocks that the fuzzer
// chooses, as a pipe delivers a log.
//
// Input: a first byte whose low three bits give how many block sizes follow
// (one byte each, used in turn; a size of 0 feeds an empty block) and whose
// next bit makes each size count sixteen bytes; then the log itself.
//
// Properties:
// - the facts do not depend on the blocks: fed whole, in the chosen blocks
//   and (for short logs) a byte at a time, every fact is the same;
// - line ends do not matter: the log with LF ends and the same log with CR LF
//   ends give the same facts but the count of CR LF ends (every ended line)
//   and the bytes of a repeated tail (one more per line end in it);
// - the facts agree with a plain reading of the log line by line: the line
//   count, where the start and the final text stand, which lines are rate
//   lines and which worker and rate each names, the phase of each, a cut last
//   line, and a repeated tail that really repeats and holds the final text;
// - a rate line read is one the program could have printed.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/log_reader.h"

namespace {

using namespace Harnvik::Report;

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

void expect(bool condition, const char* what) {
    if (!condition) broken(what);
}

bool same_rate(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// Every fact; with `ends_differ`, all but the count of CR LF ends and the
// bytes of the repeated tail, which the caller compares itself.
void expect_same(const log_facts& a, const log_facts& b, const char* what,
                 bool ends_differ = false) {
    bool same = a.lines == b.lines && a.start_line == b.start_line && a.end_line == b.end_line &&
                a.outcome == b.outcome && a.foreign_count == b.foreign_count &&
                a.foreign.size() == b.foreign.size() && a.cut_last_line == b.cut_last_line &&
                a.cut_line.line == b.cut_line.line && a.cut_line.text == b.cut_line.text;
    if (!ends_differ) {
        same =
            same && a.crlf_lines == b.crlf_lines && a.repeated_tail_bytes == b.repeated_tail_bytes;
    }
    for (std::size_t i = 0; same && i < a.foreign.size(); ++i) {
        same = a.foreign[i].line == b.foreign[i].line && a.foreign[i].text == b.foreign[i].text;
    }
    for (std::size_t w = 0; same && w < a.workers.size(); ++w) {
        same = a.workers[w].size() == b.workers[w].size();
        for (std::size_t i = 0; same && i < a.workers[w].size(); ++i) {
            const rate_line& x = a.workers[w][i];
            const rate_line& y = b.workers[w][i];
            same = x.line == y.line && same_rate(x.rate, y.rate) && x.phase == y.phase;
        }
    }
    if (!same) broken(what);
}

log_facts read_in_blocks(std::string_view log, const std::vector<std::size_t>& sizes) {
    log_reader reader;
    std::size_t next = 0;
    while (!log.empty()) {
        const std::size_t size = std::min(sizes[next++ % sizes.size()], log.size());
        reader.feed(log.substr(0, size));
        log.remove_prefix(size);
    }
    return reader.finish();
}

bool starts_with(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}

// The line as the program printed it: no leading zeros before the decimal
// point (the reader takes them, the program never prints them).
std::string without_leading_zeros(std::string_view line) {
    const std::size_t equals = line.find("= ");
    std::string out(line);
    if (equals == std::string_view::npos) return out;
    std::size_t at = equals + 2;
    while (at + 1 < out.size() && out[at] == '0' && out[at + 1] >= '0' && out[at + 1] <= '9') {
        out.erase(at, 1);
    }
    return out;
}

// The facts against a reading of the log line by line.
void expect_plain_reading(std::string_view log, const log_facts& facts) {
    expect(facts.repeated_tail_bytes >= 0 &&
               static_cast<std::size_t>(facts.repeated_tail_bytes) * 2 <= log.size(),
           "a repeated tail longer than half the log");
    const std::size_t repeated = static_cast<std::size_t>(facts.repeated_tail_bytes);
    if (repeated > 0) {
        const std::string_view tail = log.substr(log.size() - repeated);
        expect(log.substr(log.size() - 2 * repeated, repeated) == tail,
               "a repeated tail that does not repeat");
        expect(tail.find(k_open_failure_text) != std::string_view::npos ||
                   tail.find(k_write_failure_text) != std::string_view::npos,
               "a repeated tail without the final text");
        expect(facts.end_line != 0, "a repeated tail without an end");
    }
    const std::string_view once = log.substr(0, log.size() - repeated);

    std::vector<std::string_view> lines;
    bool last_ended = true;
    for (std::string_view rest = once; !rest.empty();) {
        const std::size_t end = rest.find('\n');
        if (end == std::string_view::npos) {
            lines.push_back(rest);
            last_ended = false;
            break;
        }
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    expect(facts.lines == static_cast<std::int64_t>(lines.size()), "the line count");

    std::int64_t start_line = 0;
    std::int64_t end_line = 0;
    e_outcome outcome = e_outcome_not_started;
    std::int64_t crlf = 0;
    std::vector<std::size_t> next_of_worker(facts.workers.size(), 0);
    std::int64_t rate_lines = 0;
    bool end_line_alone = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto number = static_cast<std::int64_t>(i + 1);
        std::string_view line = lines[i];
        const bool ended = last_ended || i + 1 < lines.size();
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            crlf += ended;
        }
        if (start_line != 0 && end_line == 0) {
            for (const std::string_view text : {k_open_failure_text, k_write_failure_text}) {
                if (!starts_with(line, text)) continue;
                end_line = number;
                outcome =
                    text == k_open_failure_text ? e_outcome_open_failed : e_outcome_write_failed;
                line.remove_prefix(text.size());
                end_line_alone = line.empty();
                break;
            }
        }
        std::int32_t worker = -1;
        double rate = 0.0;
        if (!end_line_alone || end_line != number) {
            if (parse_rate_line(line, worker, rate)) {
                expect(worker >= 0 && worker < k_worker_count, "a worker outside the program's");
                auto& own = facts.workers[static_cast<std::size_t>(worker)];
                std::size_t& next = next_of_worker[static_cast<std::size_t>(worker)];
                expect(next < own.size() && own[next].line == number &&
                           same_rate(own[next].rate, rate),
                       "a rate line read other than the line says");
                const e_phase phase = start_line == 0 ? e_phase_before_start
                                      : end_line == 0 ? e_phase_recording
                                                      : e_phase_after_end;
                expect(own[next].phase == phase, "a rate line in the wrong phase");
                ++next;
                ++rate_lines;
                if (std::isinf(rate)) {
                    expect(line.find("infGb/s") != std::string_view::npos, "an infinite rate");
                } else {
                    // Within 12 integer digits the rate is exact enough to
                    // print the same line again.
                    expect(rate >= 0.0, "a negative rate");
                    if (rate < 1e12) {
                        char printed[64];
                        std::snprintf(printed, sizeof(printed), "Thread %d, memcpy = %1.2fGb/s",
                                      worker, rate);
                        expect(without_leading_zeros(line) == printed,
                               "a rate line the program would print otherwise");
                    }
                }
            } else if (start_line == 0 && line == k_start_text) {
                start_line = number;
                outcome = e_outcome_cut_off;
            }
        }
    }
    expect(facts.start_line == start_line, "the start text's line");
    expect(facts.end_line == end_line, "the final text's line");
    expect(facts.outcome == outcome, "the outcome");
    expect(facts.crlf_lines == crlf, "the lines with CR LF ends");
    expect(facts.rate_lines() == rate_lines, "rate lines read that are none");
    for (std::size_t w = 0; w < facts.workers.size(); ++w) {
        expect(next_of_worker[w] == facts.workers[w].size(), "rate lines that are none");
    }
    if (facts.cut_last_line) {
        expect(!last_ended && facts.cut_line.line == facts.lines, "a cut line that is not last");
    }
    expect(facts.foreign.size() <= k_foreign_lines_kept &&
               static_cast<std::int64_t>(facts.foreign.size()) <= facts.foreign_count,
           "more foreign lines kept than allowed");
    // Every line is one thing: a rate line, the start text, the final text
    // alone, the cut last line or a foreign line.
    expect(facts.lines == rate_lines + facts.foreign_count + (start_line != 0) +
                              (end_line != 0 && end_line_alone) + facts.cut_last_line,
           "lines counted twice or not at all");
}

// The log with every line end LF, and the same with every line end CR LF.
void both_line_ends(std::string_view log, std::string& lf, std::string& crlf) {
    for (const char c : log) {
        if (c == '\n') {
            while (!lf.empty() && lf.back() == '\r') lf.pop_back();
        }
        lf += c;
    }
    // A log that ends in CR was cut between the two bytes of a CR LF end,
    // which only one of the two forms has: the two forms end without it.
    while (!lf.empty() && lf.back() == '\r') lf.pop_back();
    for (const char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t count = data[0] & 7;
    const std::size_t scale = (data[0] & 8) ? 16 : 1;
    if (size < 1 + count) return 0;
    std::vector<std::size_t> sizes;
    for (std::size_t i = 0; i < count; ++i) sizes.push_back(data[1 + i] * scale);
    bool any = false;
    for (const std::size_t s : sizes) any = any || s > 0;
    if (!any) sizes.assign(1, 1);
    const std::string_view log(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);

    const log_facts whole = read_log(log);
    expect_same(read_in_blocks(log, sizes), whole, "the chosen blocks changed the facts");
    if (log.size() <= 512) {
        expect_same(read_in_blocks(log, {1}), whole, "single bytes changed the facts");
    }
    expect_plain_reading(log, whole);

    std::string lf;
    std::string crlf;
    both_line_ends(log, lf, crlf);
    const log_facts with_lf = read_log(lf);
    const log_facts with_crlf = read_in_blocks(crlf, sizes);
    expect(with_lf.crlf_lines == 0, "CR LF ends in a log without them");
    std::int64_t ended = 0;
    for (const char c : crlf) ended += c == '\n';
    const auto repeated = static_cast<std::size_t>(with_lf.repeated_tail_bytes);
    std::int64_t ends_in_repeat = 0;
    for (const char c : std::string_view(lf).substr(lf.size() - repeated))
        ends_in_repeat += c == '\n';
    expect(with_crlf.crlf_lines == ended - ends_in_repeat, "a CR LF end not counted");
    expect(with_crlf.repeated_tail_bytes == with_lf.repeated_tail_bytes + ends_in_repeat,
           "CR LF ends changed the repeated tail");
    expect_same(with_crlf, with_lf, "CR LF ends changed the facts", true);
    expect_plain_reading(crlf, with_crlf);
    return 0;
}
