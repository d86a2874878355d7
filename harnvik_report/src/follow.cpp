#include "follow.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

#include "core/follow_step.h"
#include "os/console.h"
#include "os/log_source.h"
#include "os/os_services.h"
#include "recording_watch.h"
#include "render/live_view.h"
#include "render/metrics.h"

namespace Harnvik::Report {

namespace {

using clock = std::chrono::steady_clock;

// How often the follower wakes: to take what came, and to see Ctrl-C and a
// resize. A wake that finds nothing costs a few system calls.
constexpr std::chrono::milliseconds k_tick{250};
// A terminal's view is updated about once per measurement (a worker
// measures for about two seconds), and drawn whenever rate lines come.
constexpr double k_terminal_refresh_s = 2.0;

// Prints the notes, one plain line each; true if it printed.
bool print_notes(const std::vector<std::string>& notes) {
    std::string out;
    for (const std::string& note : notes) out += "note: " + note + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return !out.empty();
}

// Replaces the metrics file. A failure is noted once, until a write
// succeeds again: a reader that holds the file may let go of it.
void write_metrics(const options& chosen, follow_step& step, bool& failing) {
    std::string error;
    const soak_figures figures = live_figures(step.status(), os::unix_time_s());
    const bool written = os::replace_file(
        chosen.metrics, format_metrics(figures, chosen.file, chosen.metrics_labels), error);
    if (!written && !failing) step.note(error + " (tried again at each update)");
    failing = !written;
}

}  // namespace

bool follow_run(const options& chosen, followed_run& run, std::string& error) {
    os::catch_interrupt();
    const bool terminal = os::prepare_terminal_output();
    const clock::time_point began = clock::now();
    const auto seconds = [began] {
        return std::chrono::duration<double>(clock::now() - began).count();
    };
    follow_step step({chosen.log_name(), chosen.log_is_standard_input() ? "" : chosen.log,
                      chosen.file, terminal ? k_terminal_refresh_s : chosen.interval_s},
                     seconds());
    os::log_source source(chosen.log);
    std::unique_ptr<recording_watch> recording;
    if (!chosen.file.empty()) recording = std::make_unique<recording_watch>(chosen.file);
    block_painter painter(stdout);
    bool printed = false;
    bool metrics_failing = false;
    int columns = 0;
    for (;;) {
        log_news news;
        if (!source.poll(k_tick, news)) {
            painter.clear();
            error = source.error();
            return false;
        }
        const double now = seconds();
        std::optional<recording_look> look;
        if (recording && step.due(now)) look = recording->look();
        const follow_update update = step.step(now, std::move(news), look ? &*look : nullptr);
        if (os::interrupted()) {
            run.interrupted = true;
            break;
        }
        if (update.refreshed && !chosen.metrics.empty())
            write_metrics(chosen, step, metrics_failing);
        if (update.ended) {
            // What was noted since the last line is said before the report.
            if (!terminal) printed = print_notes(step.take_notes()) || printed;
            break;
        }
        if (terminal) {
            step.take_notes();  // the block shows the newest of them
            const os::terminal_size size = os::output_terminal_size();
            if (update.refreshed || update.new_lines || update.noted || size.columns != columns) {
                painter.draw(live_block(step.status()), size.columns, size.rows);
                columns = size.columns;
            }
            continue;
        }
        printed = print_notes(step.take_notes()) || printed;
        if (update.refreshed) {
            const std::string line = live_line(step.status()) + "\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
            printed = true;
        }
    }
    painter.clear();
    if (printed) std::fputc('\n', stdout);
    run.log = step.finish();
    return true;
}

}  // namespace Harnvik::Report
