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

TEST(TickCount, AdvancesWithTheClockAndWrapsInUnsignedDifferences) {
    const auto wall = steady::now();
    const DWORD start = GetTickCount();
    Sleep(200);
    const DWORD elapsed = GetTickCount() - start;
    const auto measured = ms_since(wall);
    // Wine's tick advances in steps of about 16 ms.
    EXPECT_GE(elapsed + 20, static_cast<DWORD>(std::min<std::int64_t>(measured, 200)));
    EXPECT_LE(elapsed, static_cast<DWORD>(measured + 20));

    // A reading just before the wrap and one just after still give the true
    // elapsed time as a 32-bit unsigned difference.
    const DWORD before_wrap = 0xFFFFFFF0u;
    const DWORD after_wrap = before_wrap + 0x30u;
    EXPECT_EQ(after_wrap, 0x20u);
    EXPECT_EQ(static_cast<DWORD>(after_wrap - before_wrap), 0x30u);
}

#if !defined(_WIN32)
TEST(TickCount, IsTheMonotonicClockInMillisecondsTruncatedTo32Bits) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    const DWORD tick = GetTickCount();
    EXPECT_LE(static_cast<DWORD>(tick - static_cast<DWORD>(ms)), 5u);
}
#endif

TEST(Sleep, LastsAtLeastTheGivenTime) {
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
std::atomic<int> g_signals{0};
void count_signal(int) {
    g_signals.fetch_add(1, std::memory_order_relaxed);
}

TEST(Sleep, ResumesAfterSignalsUntilTheWholeTimeHasPassed) {
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

TEST(ThreadId, IsNonZeroStableAndDistinctAmongLiveThreads) {
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

TEST(ThreadId, IsTheChildsOwnAfterFork) {
    expect_fork_refreshes_id();
    // From a thread other than the process's first one as well.
    std::thread([] { expect_fork_refreshes_id(); }).join();
}
#endif

TEST(SlimLock, IsStaticallyInitialisableAndExcludes) {
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

TEST(SlimLock, WaiterSleepsUntilReleasedAndIsWoken) {
    SRWLOCK lock = SRWLOCK_INIT;
    AcquireSRWLockExclusive(&lock);
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        AcquireSRWLockExclusive(&lock);
        got = true;
        ReleaseSRWLockExclusive(&lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // past any spinning
    EXPECT_FALSE(got.load());
    ReleaseSRWLockExclusive(&lock);
    waiter.join();
    EXPECT_TRUE(got.load());
#if !defined(_WIN32)
    EXPECT_EQ(lock.state, 0u);  // free again, and no waiter mark left behind
#endif
}

TEST(DisableThreadLibraryCalls, CanBeCalled) {
#if defined(_WIN32)
    // A mingw DLL always has static TLS, so Windows refuses the call there;
    // only that it returns matters.
    DisableThreadLibraryCalls(GetModuleHandleW(nullptr));
#else
    EXPECT_EQ(DisableThreadLibraryCalls(nullptr), TRUE);
#endif
}

TEST(WideText, IsSixteenBitsWide) {
    const Karvon::Platform::wchar16* text = KARVON_WIDE("HelloWorld.m4v");
    static_assert(sizeof(Karvon::Platform::wchar16) == 2);
    EXPECT_EQ(text[0], static_cast<Karvon::Platform::wchar16>('H'));
    EXPECT_EQ(text[13], static_cast<Karvon::Platform::wchar16>('v'));
    EXPECT_EQ(text[14], 0);
}

TEST(WideText, DecodesUtf8AndReplacesWhatIsNotUtf8) {
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

}  // namespace
