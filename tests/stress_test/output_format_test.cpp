// The program prints its output and the report reads it with one definition
// (harnvik/output_format.h). These run the program's own printing code and
// give what it printed to the report's reader, so that a change of either
// side alone fails here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/log_reader.h"
#include "harnvik.h"
#include "harnvik_doubles/doubles.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#endif

namespace {

using namespace Harnvik::Report;

class output_format : public ::testing::Test {
  protected:
    void TearDown() override { harnvik_doubles::reset(); }
};

TEST_F(output_format, the_report_reads_every_rate_line_the_program_prints) {
    const std::vector<std::uint32_t> elapsed_ms = {1, 100, 1000, 1234, 0xFFFFFFFFu, 0};
    testing::internal::CaptureStdout();
    for (std::int32_t worker = 0; worker < Harnvik::k_worker_count; ++worker) {
        for (const std::uint32_t ms : elapsed_ms) Harnvik::print_rate(worker, ms);
    }
    const log_facts facts = read_log(testing::internal::GetCapturedStdout());
    EXPECT_EQ(facts.foreign_count, 0);
    EXPECT_FALSE(facts.cut_last_line);
    ASSERT_EQ(facts.rate_lines(), Harnvik::k_worker_count * std::int64_t(elapsed_ms.size()));
    for (std::int32_t worker = 0; worker < k_worker_count; ++worker) {
        ASSERT_EQ(facts.workers[worker].size(), elapsed_ms.size()) << "worker " << worker;
        for (std::size_t i = 0; i < elapsed_ms.size(); ++i) {
            const double printed = Harnvik::copy_rate(elapsed_ms[i]);
            const double read = facts.workers[worker][i].rate;
            if (std::isinf(printed)) {
                EXPECT_TRUE(std::isinf(read)) << read;
            } else {
                EXPECT_NEAR(read, printed, 0.005) << elapsed_ms[i] << " ms";
            }
        }
    }
}

// A text goes out whole, however long, and a standard output that cannot
// be written loses the text without holding the program up.
TEST_F(output_format, a_text_is_printed_whole_or_given_up) {
    for (const std::size_t length :
         {std::size_t{1}, std::size_t{255}, std::size_t{256}, std::size_t{4000}}) {
        const std::string text(length - 1, 'x');
        testing::internal::CaptureStdout();
        Harnvik::print_text("%s\n", text.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text + "\n") << length << " bytes";
    }
#if !defined(_WIN32)
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(1);  // every write fails: EBADF
        Harnvik::print_text("Thread %d, memcpy = %1.2fGb/s\n", 1, 2.5);
        _exit(0);
    }
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "a failed write held the print up";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
}

#if !defined(_WIN32)
void on_signal(int) {}

// A write held up by a full pipe and broken off by a signal (a handler
// without SA_RESTART) is made again: the whole text arrives once the pipe
// is read.
TEST_F(output_format, a_write_broken_off_by_a_signal_is_made_again) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    // Filled to the brim, so that the child's write waits.
    const int flags = fcntl(ends[1], F_GETFL);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, flags | O_NONBLOCK), 0);
    std::size_t filled = 0;
    const std::string block(4096, 'f');
    for (ssize_t wrote = 0; wrote >= 0; filled += static_cast<std::size_t>(wrote > 0 ? wrote : 0)) {
        wrote = write(ends[1], block.data(), block.size());
    }
    ASSERT_EQ(fcntl(ends[1], F_SETFL, flags), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction action {};
        action.sa_handler = on_signal;  // no SA_RESTART: the waiting write fails with EINTR
        if (sigaction(SIGUSR1, &action, nullptr) != 0 || dup2(ends[1], 1) != 1) _exit(2);
        Harnvik::print_text("Thread %d, memcpy = %1.2fGb/s\n", 7, 1.5);
        _exit(0);
    }
    close(ends[1]);
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        kill(child, SIGUSR1);
    }
    std::string got;
    char buffer[4096];
    pollfd readable{ends[0], POLLIN, 0};
    while (poll(&readable, 1, 10000) == 1) {
        const ssize_t n = read(ends[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    close(ends[0]);
    int status = -1;
    kill(child, SIGKILL);  // a child still waiting would be a failure below
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(got.size(), filled + 28);
    EXPECT_EQ(got.substr(filled), "Thread 7, memcpy = 1.50Gb/s\n");
}
#endif

log_facts soak_log(const harnvik_doubles::script& script) {
    harnvik_doubles::reset(script);
    testing::internal::CaptureStdout();
    Harnvik::record_soak();
    Harnvik::print_rate(2, 1000);  // the workers go on printing after the final text
    return read_log(testing::internal::GetCapturedStdout());
}

TEST_F(output_format, the_report_reads_the_programs_texts) {
    harnvik_doubles::script open_fails;
    open_fails.fail_open = true;
    log_facts facts = soak_log(open_fails);
    EXPECT_EQ(facts.start_line, 1);
    EXPECT_EQ(facts.end_line, 2);
    EXPECT_EQ(facts.outcome, e_outcome_open_failed);
    EXPECT_EQ(facts.foreign_count, 0);
    EXPECT_EQ(facts.workers[2].size(), 1u);

    harnvik_doubles::script write_fails;
    write_fails.fail_at_pair = 3;
    facts = soak_log(write_fails);
    EXPECT_EQ(facts.start_line, 1);
    EXPECT_EQ(facts.end_line, 2);
    EXPECT_EQ(facts.outcome, e_outcome_write_failed);
    EXPECT_EQ(facts.foreign_count, 0);
    ASSERT_EQ(facts.workers[2].size(), 1u);
    EXPECT_EQ(facts.workers[2][0].phase, e_phase_after_end);
}

TEST_F(output_format, the_report_has_a_row_for_every_worker_the_program_starts) {
    harnvik_doubles::script script;
    script.fail_open = true;
    harnvik_doubles::reset(script);
    testing::internal::CaptureStdout();
    Harnvik::entry(0, nullptr);
    testing::internal::GetCapturedStdout();
    std::int32_t launched = 0;
    for (const harnvik_doubles::call& c : harnvik_doubles::calls()) {
        if (c.kind == harnvik_doubles::e_call::item_launch) ++launched;
    }
    EXPECT_EQ(launched, k_worker_count);
}

}  // namespace
