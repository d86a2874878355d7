// Harnvik's copy workers against a bare memcpy loop, and the soak's frame
// rate while eight workers copy. Every configuration runs in a child process,
// because the workers never end: the child is killed once it has reported.
//
//   bench_harnvik [--threads 1,2,8] [--rounds 3] [--soak-mib 8] [--no-soak]
//
// Reports figures only; it never fails on a timing.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harnvik.h"

namespace {

constexpr std::size_t k_size = Harnvik::k_buffer_size;
constexpr std::int32_t k_copies = Harnvik::k_copies_per_measurement;

// An opaque call: the compiler can neither drop nor merge the copies, and
// nothing else is added to the loop.
void* (*volatile g_memcpy)(void*, const void*, std::size_t) = &std::memcpy;

[[noreturn]] void bare_worker(std::int32_t index) {
    auto* destination = new std::uint8_t[k_size];
    auto* source = new std::uint8_t[k_size];
    std::memset(source, 0x5A, k_size);
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        for (std::int32_t i = 0; i < k_copies; ++i) g_memcpy(destination, source, k_size);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        std::printf("Thread %d, memcpy = %1.2fGb/s\n", index, Harnvik::k_rate_factor / ms);
    }
}

enum class e_mode { workers, bare };

// Runs `threads` copiers in a child and returns the rates they printed,
// `rounds` per thread after one warm-up round each.
std::vector<double> measure(e_mode mode, int threads, int rounds) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) std::exit(2);
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        dup2(pipe_ends[1], STDOUT_FILENO);
        std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines reach the bench as they come
        for (std::int32_t i = 0; i < threads; ++i) {
            if (mode == e_mode::workers) {
                Harnvik::launch_worker(i)(Harnvik::k_wait_timeout);  // the program's own path
            } else {
                std::thread(&bare_worker, i).detach();
            }
        }
        for (;;) pause();
    }
    close(pipe_ends[1]);
    FILE* lines = fdopen(pipe_ends[0], "r");
    std::map<int, int> seen;
    std::vector<double> rates;
    char line[256];
    while (static_cast<int>(rates.size()) < threads * rounds &&
           std::fgets(line, sizeof line, lines)) {
        int index = 0;
        double rate = 0;
        if (std::sscanf(line, "Thread %d, memcpy = %lfGb/s", &index, &rate) != 2) continue;
        if (seen[index]++ == 0) continue;  // warm-up
        if (seen[index] <= rounds + 1) rates.push_back(rate);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::fclose(lines);
    return rates;
}

double mean(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

// Runs the soak in a scratch directory under a file-size limit, with
// `workers` copy workers launched a few seconds before; returns frames per
// second (video frames in the file over the soak's duration).
double soak_fps(int workers, long limit_bytes, const std::filesystem::path& directory) {
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) std::exit(2);
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        if (chdir(directory.c_str()) != 0) _exit(3);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(limit_bytes), static_cast<rlim_t>(limit_bytes)};
        setrlimit(RLIMIT_FSIZE, &limit);
        for (std::int32_t i = 0; i < workers; ++i) {
            Harnvik::launch_worker(i)(Harnvik::k_wait_timeout);
        }
        if (workers > 0) std::this_thread::sleep_for(std::chrono::seconds(3));
        const auto start = std::chrono::steady_clock::now();
        Harnvik::record_soak();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        dprintf(pipe_ends[1], "%f\n", seconds);
        std::fflush(stdout);
        _exit(0);
    }
    close(pipe_ends[1]);
    char text[64] = {};
    const ssize_t got = read(pipe_ends[0], text, sizeof text - 1);
    close(pipe_ends[0]);
    waitpid(child, nullptr, 0);
    const double seconds = got > 0 ? std::atof(text) : 0;

    const std::string command =
        "ffprobe -v quiet -select_streams v -count_packets -show_entries "
        "stream=nb_read_packets -of csv=p=0 '" +
        (directory / "HelloWorld.m4v").string() + "'";
    FILE* probe = popen(command.c_str(), "r");
    long frames = 0;
    if (probe == nullptr || std::fscanf(probe, "%ld", &frames) != 1) frames = 0;
    if (probe != nullptr) pclose(probe);
    std::printf("  soak with %d workers: %ld frames in %.2f s\n", workers, frames, seconds);
    return seconds > 0 ? static_cast<double>(frames) / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> thread_counts = {1, 2, 8};
    int rounds = 3;
    long soak_mib = 8;
    bool soak = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--threads" && i + 1 < argc) {
            thread_counts.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');)
                thread_counts.push_back(std::stoi(item));
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::stoi(argv[++i]);
        } else if (arg == "--soak-mib" && i + 1 < argc) {
            soak_mib = std::stol(argv[++i]);
        } else if (arg == "--no-soak") {
            soak = false;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--threads 1,2,8] [--rounds N] [--soak-mib N] [--no-soak]\n",
                         argv[0]);
            return 2;
        }
    }

    std::printf(
        "copy rate per thread, GiB/s (10000 x 1 MiB memcpy per measurement; "
        "2 runs of %d measurements per thread, each run after one warm-up)\n",
        rounds);
    std::printf("%8s %16s %16s %8s %14s\n", "threads", "worker printed", "bare loop", "ratio",
                "worker total");
    for (int threads : thread_counts) {
        // Alternate the two, twice, so that drifts of the machine's load hit both.
        std::vector<double> workers, bares;
        for (int pass = 0; pass < 2; ++pass) {
            for (double rate : measure(e_mode::workers, threads, rounds)) workers.push_back(rate);
            for (double rate : measure(e_mode::bare, threads, rounds)) bares.push_back(rate);
        }
        const double worker = mean(workers);
        const double bare = mean(bares);
        std::printf("%8d %16.2f %16.2f %8.3f %14.2f\n", threads, worker, bare,
                    bare > 0 ? worker / bare : 0, worker * threads);
        std::fflush(stdout);
    }
    if (soak) {
        const auto directory =
            std::filesystem::temp_directory_path() / ("bench_harnvik_" + std::to_string(getpid()));
        std::printf("recording soak, file limited to %ld MiB (5 Mbit/s, 1920x1080, 25 fps):\n",
                    soak_mib);
        std::fflush(stdout);
        const double alone = soak_fps(0, soak_mib << 20, directory);
        const double loaded = soak_fps(8, soak_mib << 20, directory);
        std::printf(
            "soak frames per second: %.1f alone, %.1f with 8 copy workers (real time: 25)\n", alone,
            loaded);
        std::filesystem::remove_all(directory);
    }
    return 0;
}
