#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "platform/wide_text.h"

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

using steady = std::chrono::steady_clock;

std::int64_t ms_since(steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count();
}

TEST(tick_count, advances_with_the_clock) {
    const auto wall = steady::now();
    const DWORD start = GetTickCount();
    Sleep(200);
    const DWORD elapsed = GetTickCount() - start;
    const auto measured = ms_since(wall);
    // Wine's tick advances in steps of about 16 ms.
    EXPECT_GE(elapsed + 20, static_cast<DWORD>(std::min<std::int64_t>(measured, 200)));
    EXPECT_LE(elapsed, static_cast<DWORD>(measured + 20));
}

#if !defined(_WIN32)
TEST(tick_count, is_the_monotonic_clock_in_milliseconds_kept_to_32_bits) {
    using Karvon::Platform::tick_count_of;
    EXPECT_EQ(tick_count_of(1, 999999999), 1999u);
    // Past 2^31 ms (24.8 days of uptime) every bit counts, and past 2^32 ms
    // the count wraps, so that differences across the wrap stay true.
    EXPECT_EQ(tick_count_of(2147484, 0), 2147484000u);
    EXPECT_EQ(tick_count_of(4294967, 295000000), 4294967295u);
    EXPECT_EQ(tick_count_of(4294967, 296000000), 0u);
    EXPECT_EQ(tick_count_of(4294968, 5000000), 709u);
    EXPECT_EQ(tick_count_of(4294968, 5000000) - tick_count_of(4294967, 290000000), 715u);

    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const DWORD expected = tick_count_of(static_cast<std::uint64_t>(now.tv_sec),
                                         static_cast<std::uint64_t>(now.tv_nsec));
    EXPECT_LE(static_cast<DWORD>(GetTickCount() - expected), 5u);
}
#endif

TEST(sleep, lasts_at_least_the_given_time) {
    for (DWORD ms : {0u, 1u, 30u, 120u}) {
        const auto start = steady::now();
        Sleep(ms);
        const auto took =
            std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - start);
#if defined(_WIN32)
        // Wine rounds to its scheduler tick.
        EXPECT_GE(took.count() + 17000, static_cast<std::int64_t>(ms) * 1000) << ms;
#else
        EXPECT_GE(took.count(), static_cast<std::int64_t>(ms) * 1000) << ms;
#endif
        EXPECT_LT(took.count(), static_cast<std::int64_t>(ms) * 1000 + 500000) << ms;
    }
}

#if !defined(_WIN32)
// The deadline a sleep waits for: nanoseconds that reach a whole second,
// exactly or beyond, carry into the seconds (clock_nanosleep refuses 10^9).
TEST(sleep, deadline_carries_whole_seconds_out_of_the_nanoseconds) {
    using Karvon::Platform::deadline_after;
    const auto at = [](std::int64_t s, std::int64_t ns, DWORD ms) {
        const Karvon::Platform::clock_time t = deadline_after({s, ns}, ms);
        return std::make_pair(t.seconds, t.nanoseconds);
    };
    EXPECT_EQ(at(10, 999000000, 1), std::make_pair(std::int64_t(11), std::int64_t(0)));
    EXPECT_EQ(at(10, 999999999, 1), std::make_pair(std::int64_t(11), std::int64_t(999999)));
    EXPECT_EQ(at(10, 500000000, 499), std::make_pair(std::int64_t(10), std::int64_t(999000000)));
    EXPECT_EQ(at(10, 0, 0), std::make_pair(std::int64_t(10), std::int64_t(0)));
    EXPECT_EQ(at(10, 1, 2500), std::make_pair(std::int64_t(12), std::int64_t(500000001)));
    // The longest finite sleep.
    EXPECT_EQ(at(0, 999999999, 0xFFFFFFFEu),
              std::make_pair(std::int64_t(4294968), std::int64_t(293999999)));
}

std::atomic<int> g_signals{0};
void count_signal(int) {
    g_signals.fetch_add(1, std::memory_order_relaxed);
}

TEST(sleep, resumes_after_signals_until_the_whole_time_has_passed) {
    struct sigaction action {};
    action.sa_handler = &count_signal;  // no SA_RESTART: the sleep sees EINTR
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    const pthread_t sleeper = pthread_self();
    std::atomic<bool> done{false};
    std::thread poker([&] {
        while (!done.load()) {
            pthread_kill(sleeper, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto start = steady::now();
    Sleep(300);
    const auto took = ms_since(start);
    done = true;
    poker.join();
    sigaction(SIGUSR1, &previous, nullptr);

#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer holds asynchronous signals back until the
    // interrupted call returns, so fewer handlers run during the sleep.
    EXPECT_GE(g_signals.load(), 1);
#else
    EXPECT_GE(g_signals.load(), 3);
#endif
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 800);
}
#endif

TEST(thread_id, is_non_zero_stable_and_distinct_among_live_threads) {
    constexpr int k_threads = 16;
    std::vector<DWORD> ids(k_threads);
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < k_threads; ++i) {
        threads.emplace_back([&, i] {
            ids[i] = GetCurrentThreadId();
            EXPECT_EQ(GetCurrentThreadId(), ids[i]);
            // Stay alive until every thread has its id, so all are live at once.
            arrived.fetch_add(1);
            while (arrived.load() < k_threads) std::this_thread::yield();
        });
    }
    for (auto& t : threads) t.join();
    std::set<DWORD> distinct(ids.begin(), ids.end());
    distinct.insert(GetCurrentThreadId());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(k_threads + 1));
    EXPECT_EQ(distinct.count(0u), 0u);
}

#if !defined(_WIN32)
// Forks and reports, through the exit status, whether the child's cached id is
// the kernel's id of the child's thread and differs from the parent's.
void expect_fork_refreshes_id() {
    const DWORD parent = GetCurrentThreadId();  // fills this thread's cache
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const DWORD in_child = GetCurrentThreadId();
        const bool ok = in_child != parent && in_child == Karvon::Platform::query_thread_id() &&
                        in_child == static_cast<DWORD>(getpid()) &&
                        in_child == GetCurrentThreadId();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(GetCurrentThreadId(), parent);
}

TEST(thread_id, is_the_childs_own_after_fork) {
    expect_fork_refreshes_id();
    // From a thread other than the process's first one as well.
    std::thread([] { expect_fork_refreshes_id(); }).join();
}
#endif

TEST(slim_lock, is_statically_initialisable_and_excludes) {
    static SRWLOCK lock = SRWLOCK_INIT;
    static_assert(sizeof(SRWLOCK) == sizeof(void*));
    constexpr int k_threads = 4;
    constexpr int k_rounds = 20000;
    std::int64_t counter = 0;  // plain: the lock alone must protect it
    std::vector<std::thread> threads;
    for (int t = 0; t < k_threads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < k_rounds; ++i) {
                AcquireSRWLockExclusive(&lock);
                const std::int64_t seen = counter;
                if ((i & 255) == 0) std::this_thread::yield();
                counter = seen + 1;
                ReleaseSRWLockExclusive(&lock);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, static_cast<std::int64_t>(k_threads) * k_rounds);
}

TEST(slim_lock, waiter_sleeps_until_released_and_is_woken) {
    SRWLOCK lock = SRWLOCK_INIT;
    AcquireSRWLockExclusive(&lock);
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        AcquireSRWLockExclusive(&lock);
        got = true;
        ReleaseSRWLockExclusive(&lock);
    });
#if !defined(_WIN32)
    // A blocked waiter marks the word contended before it sleeps: without
    // the mark the release would wake nobody, and waiters would have to spin.
    const auto deadline = steady::now() + std::chrono::seconds(10);
    while (std::atomic_ref(lock.state).load() != 2u && steady::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(std::atomic_ref(lock.state).load(), 2u) << "no waiter mark while a waiter is blocked";
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // past any spinning
    EXPECT_FALSE(got.load());
    ReleaseSRWLockExclusive(&lock);
    waiter.join();
    EXPECT_TRUE(got.load());
#if !defined(_WIN32)
    EXPECT_EQ(lock.state, 0u);  // free again, and no waiter mark left behind
#endif
}

TEST(wide_text, decodes_utf8_and_replaces_what_is_not_utf8) {
    using Karvon::Platform::utf8_to_utf16;
    using text = Karvon::Platform::wstring16;
    auto units = [](std::initializer_list<unsigned> list) {
        text out;
        for (unsigned u : list) out += static_cast<Karvon::Platform::wchar16>(u);
        return out;
    };
    EXPECT_EQ(utf8_to_utf16("HelloWorld.m4v"), text(KARVON_WIDE("HelloWorld.m4v")));
    EXPECT_EQ(utf8_to_utf16("\xC3\xA9t\xC3\xA9"), units({0xE9, 't', 0xE9}));  // two bytes
    EXPECT_EQ(utf8_to_utf16("\xE2\x82\xAC"), units({0x20AC}));                // three bytes
    EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x8E\xA5"), units({0xD83C, 0xDFA5}));    // a surrogate pair
    EXPECT_EQ(utf8_to_utf16("a\xFF"
                            "b"),
              units({'a', 0xFFFD, 'b'}));                           // never UTF-8
    EXPECT_EQ(utf8_to_utf16("\xC0\xAF"), units({0xFFFD, 0xFFFD}));  // overlong
    EXPECT_EQ(utf8_to_utf16("\xED\xA0\x80"
                            "x"),
              units({0xFFFD, 0xFFFD, 0xFFFD, 'x'}));  // surrogate
    EXPECT_EQ(utf8_to_utf16("\xE2\x82"
                            "x"),
              units({0xFFFD, 0xFFFD, 'x'}));  // cut short
    EXPECT_EQ(utf8_to_utf16("\xF4\x90\x80\x80"),
              units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}));  // > U+10FFFF
    EXPECT_EQ(utf8_to_utf16(std::string_view("a\0b", 3)), units({'a', 0, 'b'}));
}

TEST(wide_text, encodes_utf16_as_utf8_and_marks_unpaired_surrogates) {
    using Karvon::Platform::utf16_to_utf8;
    using Karvon::Platform::utf8_to_utf16;
    const std::string samples[] = {"HelloWorld.m4v", "\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC",
                                   "\xF0\x9F\x8E\xA5 \xE6\x96\x87\xE5\xAD\x97"};
    for (const std::string& text : samples) {
        bool valid = false;
        EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(text).c_str(), &valid), text);
        EXPECT_TRUE(valid) << text;
    }
    const Karvon::Platform::wchar16 lone_high[] = {'a', 0xD83C, 'b', 0};
    const Karvon::Platform::wchar16 lone_low[] = {0xDFA5, 0};
    bool valid = true;
    EXPECT_EQ(utf16_to_utf8(lone_high, &valid),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_FALSE(valid);
    EXPECT_EQ(utf16_to_utf8(lone_low, &valid), "\xEF\xBF\xBD");
    EXPECT_FALSE(valid);
    EXPECT_EQ(utf16_to_utf8(nullptr), "");
}

}  // namespace
