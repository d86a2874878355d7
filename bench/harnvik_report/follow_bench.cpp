// What following a soak costs. Two figures:
//
// - one update of the view on a synthesised recording of 1 GiB and of
//   50 GiB: the look at the file by its name, the header's length, the ten
//   fragments new since the last update (ten seconds of media at 5 Mbit/s),
//   the room on the disk. The recording is laid out as the recorder lays it
//   out, its media left as holes, so 50 GiB take little room; the first look
//   (which walks every fragment once) is reported as a counter.
// - one write of the metrics file: the figures as text, a new file beside
//   it and the rename;
// - the follower's processor time per hour of a soak: the real
//   harnvik_report --follow, on a pipe that carries rate lines one at a time
//   as Harnvik writes them (8 workers, one line each 2.4 s), with a
//   recording that grows by a one-second fragment each second; with plain
//   lines at the default interval, on a pseudo-terminal, and with plain
//   lines and --metrics. HARNVIK_FOLLOW_BENCH_SECONDS sets how long
//   each runs (120 s). The time of its start (its first 10 s) is counted
//   once, the rest per second of soak: cpu_s_per_hour is the time an hour's
//   soak costs, core_percent the share of one core after the start.
//
//   flock /tmp/karvon-bench.lock build/default/bin/harnvik_follow_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "media/recording_scan.h"
#include "os/followed_file.h"
#include "os/os_services.h"
#include "platform/file.h"
#include "render/metrics.h"
#include "synthetic_recording.h"

extern char** environ;

namespace {

using namespace Harnvik::Report;
namespace fs = std::filesystem;

const fs::path k_scratch = KARVON_BENCH_SCRATCH;
constexpr std::int64_t k_gib = std::int64_t(1) << 30;
constexpr std::int64_t k_media_per_second = 5000000 / 8;  // 5 Mbit/s
constexpr int k_fragments_per_update = 10;

// A recording on the disk, grown a fragment at a time with its media as a
// hole, its header's length kept as the recorder keeps it.
class grown_recording {
  public:
    explicit grown_recording(const fs::path& name) {
        m_descriptor = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        put(test::synthetic_header());
    }
    ~grown_recording() { ::close(m_descriptor); }
    grown_recording(const grown_recording&) = delete;
    grown_recording& operator=(const grown_recording&) = delete;

    void append(int fragments) {
        for (int i = 0; i < fragments; ++i) {
            put(test::synthetic_fragment_head(m_fragments++, k_media_per_second));
            m_size += k_media_per_second;
        }
        if (ftruncate(m_descriptor, m_size) != 0) std::abort();
        test::bytes length;
        test::put_big_endian(length, static_cast<std::uint64_t>(m_fragments) * 1000, 8);
        if (pwrite(m_descriptor, length.data(), length.size(), test::synthetic_length_at()) != 8) {
            std::abort();
        }
    }
    std::int64_t size() const { return m_size; }

  private:
    void put(const test::bytes& bytes) {
        if (pwrite(m_descriptor, bytes.data(), bytes.size(), m_size) !=
            static_cast<ssize_t>(bytes.size())) {
            std::abort();
        }
        m_size += static_cast<std::int64_t>(bytes.size());
    }

    int m_descriptor = -1;
    std::int64_t m_size = 0;
    std::int64_t m_fragments = 0;
};

byte_source source_of(os::followed_file& file) {
    byte_source source;
    source.size = file.size();
    source.read = [&file](std::int64_t offset, std::uint8_t* out, std::size_t count) {
        return file.read_at(offset, out, count) == static_cast<std::int64_t>(count);
    };
    return source;
}

void one_update_of_a_recording(benchmark::State& state) {
    const fs::path name = k_scratch / ("synthetic_" + std::to_string(state.range(0)) + "_gib.m4v");
    grown_recording recording(name);
    while (recording.size() < state.range(0) * k_gib) recording.append(100);
    os::followed_file file(name.string());
    recording_scan scan;
    recording_sample sample;
    std::vector<std::string> notes;
    const auto attached = std::chrono::steady_clock::now();
    file.look();
    scan.look(source_of(file), sample, notes);
    state.counters["first_look_ms"] =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - attached)
            .count();
    std::int64_t read = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        state.PauseTiming();
        recording.append(k_fragments_per_update);
        state.ResumeTiming();
        file.look();
        scan.look(source_of(file), sample, notes);
        std::int64_t room = os::free_bytes_for(name.string());
        benchmark::DoNotOptimize(room);
        room = Karvon::Platform::file_size_limit();
        benchmark::DoNotOptimize(room);
        read += scan.bytes_read();
    }
    if (!notes.empty()) state.SkipWithError(notes.front().c_str());
    state.counters["GiB"] = static_cast<double>(sample.file_bytes) / static_cast<double>(k_gib);
    state.counters["fragments"] = static_cast<double>(sample.fragments);
    state.counters["bytes_read"] =
        static_cast<double>(read) / static_cast<double>(state.iterations());
    fs::remove(name);
}
BENCHMARK(one_update_of_a_recording)
    ->Arg(1)
    ->Arg(50)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(100);

void one_metrics_write(benchmark::State& state) {
    live_status status;
    status.latest.fill(6.54);
    status.median_before = 8.1;
    status.median_since = 6.5;
    status.started = true;
    status.lines = 123456;
    status.has_file = true;
    status.file_name = "HelloWorld.m4v";
    status.recording.state = e_recording_fragmented;
    status.recording.file_bytes = 5 * k_gib;
    status.recording.room_bytes = 70 * k_gib;
    complete_status(status);
    const std::vector<metric_label> labels = {{"role", "gen3"}, {"build", "1.0.0"}};
    const std::string name = (k_scratch / "soak.prom").string();
    std::string error;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        const std::string text =
            format_metrics(live_figures(status, os::unix_time_s()), status.file_name, labels);
        if (!os::replace_file(name, text, error)) state.SkipWithError(error.c_str());
        state.counters["bytes"] = static_cast<double>(text.size());
    }
    fs::remove(name);
}
BENCHMARK(one_metrics_write)->Unit(benchmark::kMicrosecond);

// The processor time a running process has used so far, from /proc.
double processor_seconds(pid_t process) {
    const std::string name = "/proc/" + std::to_string(process) + "/stat";
    std::FILE* stat = std::fopen(name.c_str(), "r");
    if (stat == nullptr) return 0.0;
    char text[1024] = {};
    const std::size_t got = std::fread(text, 1, sizeof(text) - 1, stat);
    std::fclose(stat);
    // After the name in parentheses: state, then fields 4 to 13, then utime and stime.
    const char* at = std::strrchr(text, ')');
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (got == 0 || at == nullptr ||
        std::sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                    &system) != 2) {
        return 0.0;
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The follower's processor time: in all, and after its start.
struct follower_time {
    double all_s = 0.0;
    double started_s = 0.0;  // at the end of the first k_start_s seconds
};
constexpr int k_start_s = 10;

// A soak fed to the real follower for `seconds`; its processor time.
follower_time follower_seconds(bool on_terminal, bool metrics, double seconds, std::string& error) {
    follower_time used_time;
    const fs::path name = k_scratch / "followed.m4v";
    grown_recording recording(name);
    int input[2];
    int screen = -1;
    int terminal = -1;
    if (pipe(input) != 0 ||
        (on_terminal && openpty(&screen, &terminal, nullptr, nullptr, nullptr) != 0)) {
        error = "no pipe or pseudo-terminal";
        return used_time;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    if (on_terminal) {
        posix_spawn_file_actions_adddup2(&actions, terminal, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclose(&actions, input[1]);
    std::vector<std::string> arguments = {KARVON_REPORT_PROGRAM, "--follow", "--file",
                                          name.string()};
    if (metrics) {
        arguments.insert(arguments.end(), {"--metrics", (k_scratch / "followed.prom").string(),
                                           "--metrics-label", "role=bench"});
    }
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    pid_t follower = 0;
    const int spawned =
        posix_spawn(&follower, KARVON_REPORT_PROGRAM, &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    if (on_terminal) ::close(terminal);
    if (spawned != 0) {
        error = "cannot start " KARVON_REPORT_PROGRAM;
        return used_time;
    }
    // What the follower draws is read away, as a terminal shows it.
    std::thread drain([screen] {
        char shown[4096];
        while (screen >= 0 && read(screen, shown, sizeof(shown)) > 0) {
        }
    });

    const std::string start = "Starting to record to disk using Intel Media SDK ...\n";
    if (write(input[1], start.data(), start.size()) != static_cast<ssize_t>(start.size())) {
        error = "the follower does not read";
    }
    const auto began = std::chrono::steady_clock::now();
    const auto at = [began](double seconds_in) {
        return began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(seconds_in));
    };
    // A line each 2.4 s / 8, each written as it is printed; a fragment a second.
    int line = 0;
    int fragments = 0;
    for (double next_s = 0.0; error.empty() && next_s < seconds; next_s = ++line * 2.4 / 8) {
        for (; fragments <= static_cast<int>(next_s); ++fragments) {
            if (fragments == k_start_s) used_time.started_s = processor_seconds(follower);
            recording.append(1);
        }
        std::this_thread::sleep_until(at(next_s));
        char rate[64];
        const int length = std::snprintf(rate, sizeof(rate), "Thread %d, memcpy = 4.%02dGb/s\n",
                                         line % 8, line % 100);
        if (write(input[1], rate, static_cast<std::size_t>(length)) != length) break;
    }
    // Its time up to now: killed, it makes no report, whose time is the
    // report's and not the following's.
    kill(follower, SIGKILL);
    int status = 0;
    struct rusage used {};
    wait4(follower, &status, 0, &used);
    ::close(input[1]);
    if (screen >= 0) ::close(screen);
    drain.join();
    fs::remove(name);
    fs::remove(k_scratch / "followed.prom");
    used_time.all_s = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                      static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
    return used_time;
}

void follower_time_per_hour_of_a_soak(benchmark::State& state) {
    const char* chosen = std::getenv("HARNVIK_FOLLOW_BENCH_SECONDS");
    const double seconds = chosen != nullptr ? std::atof(chosen) : 120.0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        std::string error;
        const follower_time used =
            follower_seconds(state.range(0) == 1, state.range(0) == 2, seconds, error);
        if (!error.empty() || seconds <= k_start_s) {
            state.SkipWithError(error.empty() ? "a soak longer than its start is needed"
                                              : error.c_str());
            return;
        }
        // The start (the libraries loaded, the first look) is paid once;
        // from then on the time grows with the soak's.
        const double steady_per_s = (used.all_s - used.started_s) / (seconds - k_start_s);
        state.counters["soak_s"] = seconds;
        state.counters["cpu_s"] = used.all_s;
        state.counters["start_cpu_s"] = used.started_s;
        state.counters["cpu_s_per_hour"] = used.started_s + steady_per_s * (3600.0 - k_start_s);
        state.counters["core_percent"] = steady_per_s * 100.0;
    }
}
// 0: plain lines at the default interval, 1: the block on a terminal,
// 2: plain lines and the metrics file.
BENCHMARK(follower_time_per_hour_of_a_soak)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
