// harnvik_report: what a Harnvik run did, from its standard output and the
// file it recorded. Exit status 0 with a report, 2 without one.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/follow_step.h"
#include "core/report.h"
#include "follow.h"
#include "media/media_probe.h"
#include "options.h"
#include "os/console.h"
#include "os/gnuplot.h"
#include "os/log_input.h"
#include "os/os_services.h"
#include "platform/wide_text.h"
#include "render/json_output.h"
#include "render/metrics.h"
#include "render/plot.h"
#include "render/progress.h"
#include "render/summary_table.h"

namespace {

using namespace Harnvik::Report;

constexpr int k_failed = 2;
// The final metrics file: tried this often, this far apart.
constexpr int k_metrics_attempts = 20;
constexpr std::chrono::milliseconds k_metrics_retry{100};

int fail(const std::string& reason) {
    std::fprintf(stderr, "harnvik_report: %s\n", reason.c_str());
    return k_failed;
}

bool write_file(const std::string& name, const std::string& text) {
    std::ofstream out(os::file_path(name), std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return static_cast<bool>(out);
}

// The metrics of the report made of `run`, written once; a failure is
// told in `error`. A reader that holds the file (which Windows then refuses
// to replace) is waited for a moment.
bool write_metrics(const options& chosen, const report& run, bool over, std::string& error) {
    if (chosen.metrics.empty()) return true;
    const soak_figures figures = final_figures(run, over, !chosen.file.empty(), os::unix_time_s());
    const std::string text = format_metrics(figures, chosen.file, chosen.metrics_labels);
    for (int attempt = 1;; ++attempt) {
        if (os::replace_file(chosen.metrics, text, error)) return true;
        if (attempt == k_metrics_attempts) return false;
        std::this_thread::sleep_for(k_metrics_retry);
    }
}

// The report on the log read into `run`, and on the file: the table, the
// JSON, the picture, the metrics. `over`: the run has ended. The exit status.
int make_report(const options& chosen, const std::string& gnuplot, report& run, bool over) {
    std::string error;
    if (is_foreign_log(run.log, true)) {
        return fail("no rate lines in " + run.log_name + " (" + std::to_string(run.log.lines) +
                    " lines): is it Harnvik's standard output?");
    }

    if (!chosen.file.empty()) {
        probe_options probing;
        probing.decode = chosen.decode;
        std::unique_ptr<progress_bar> bar;
        if (chosen.decode && os::stderr_is_terminal()) {
            bar = std::make_unique<progress_bar>(stderr);
            probing.progress = [&bar](double share) { bar->show(share); };
        }
        const bool probed = probe_media(chosen.file, probing, run.media, error);
        if (bar) bar->finish();
        if (!probed) {
            // A soak without a file to read has an outcome all the same.
            complete(run);
            std::string unwritten;
            if (!write_metrics(chosen, run, over, unwritten)) error += "; " + unwritten;
            return fail(error);
        }
        run.has_media = true;
    }
    complete(run);

    const std::string table = format_table(run);
    std::fwrite(table.data(), 1, table.size(), stdout);
    std::fflush(stdout);

    if (!chosen.json.empty() && !write_file(chosen.json, format_json(run))) {
        return fail("cannot write " + chosen.json);
    }
    if (!chosen.plot.empty()) {
        if (!draw_plot(gnuplot, plot_script(run, chosen.plot, chosen.plot_format), chosen.plot,
                       error)) {
            return fail(error);
        }
    }
    if (!write_metrics(chosen, run, over, error)) return fail(error);
    return 0;
}

int run(const std::vector<std::string>& arguments) {
    const command line = parse_command_line(arguments);
    switch (line.action) {
        case e_command_help:
        case e_command_version:
            std::fputs(line.text.c_str(), stdout);
            return 0;
        case e_command_refused:
            std::fprintf(stderr, "harnvik_report: %s\nRun with --help for the usage.\n",
                         line.text.c_str());
            return k_failed;
        case e_command_report:
            break;
    }
    const options& chosen = line.chosen;
    // Before any long work: a picture that cannot be drawn fails the run.
    std::string gnuplot;
    if (!chosen.plot.empty()) {
        gnuplot = find_gnuplot();
        if (gnuplot.empty()) {
            return fail(
                "--plot needs the gnuplot program, and there is none on the search path "
                "(PATH); on Debian it is in the package gnuplot-nox");
        }
    }

    std::string error;
    // Before the log is read: metrics that cannot be written fail the run.
    if (!chosen.metrics.empty() && !os::can_replace(chosen.metrics, error)) {
        return fail("--metrics: " + error);
    }
    report run;
    run.log_name = chosen.log_name();
    if (chosen.follow) {
        followed_run followed;
        if (!follow_run(chosen, followed, error)) return fail(error);
        run.log = std::move(followed.log);
        // Whatever the report makes of the run so far, the program ends as
        // an interrupted one.
        if (followed.interrupted) {
            make_report(chosen, gnuplot, run, false);
            os::exit_interrupted();
        }
        return make_report(chosen, gnuplot, run, true);
    }
    if (!read_log_file(chosen.log, run.log, error)) return fail(error);
    return make_report(chosen, gnuplot, run, true);
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(Karvon::Platform::utf16_to_utf8(argv[i]));
    return run(arguments);
}
#else
int main(int argc, char** argv) {
    return run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
