// critical_section against the standard library's locks: nested and first
// level take/give-back on one thread, and a two-thread contended counter.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "karvon/threads/critical_section.h"

namespace {

Karvon::Threads::critical_section g_cs;
std::recursive_mutex g_recursive;
std::mutex g_mutex;
std::int64_t g_counter = 0;

template <class Lock>
void nested(benchmark::State& state, Lock& lock) {
    lock.lock();
    for (auto _ : state) {
        lock.lock();
        benchmark::ClobberMemory();
        lock.unlock();
    }
    lock.unlock();
}

template <class Lock>
void first_level(benchmark::State& state, Lock& lock) {
    for (auto _ : state) {
        lock.lock();
        benchmark::ClobberMemory();
        lock.unlock();
    }
}

template <class Lock>
void contended(benchmark::State& state, Lock& lock) {
    for (auto _ : state) {
        lock.lock();
        ++g_counter;
        lock.unlock();
    }
}

void BM_nested_critical_section(benchmark::State& s) {
    nested(s, g_cs);
}
void BM_nested_recursive_mutex(benchmark::State& s) {
    nested(s, g_recursive);
}
void BM_first_level_critical_section(benchmark::State& s) {
    first_level(s, g_cs);
}
void BM_first_level_recursive_mutex(benchmark::State& s) {
    first_level(s, g_recursive);
}
void BM_first_level_mutex(benchmark::State& s) {
    first_level(s, g_mutex);
}
void BM_contended_critical_section(benchmark::State& s) {
    contended(s, g_cs);
}
void BM_contended_recursive_mutex(benchmark::State& s) {
    contended(s, g_recursive);
}
void BM_contended_mutex(benchmark::State& s) {
    contended(s, g_mutex);
}

// The least any exclusive lock can cost: one compare-and-swap to take, one
// exchange to give back.
std::atomic<std::uint32_t> g_word{0};
void BM_floor_cas_exchange(benchmark::State& state) {
    for (auto _ : state) {
        std::uint32_t expected = 0;
        g_word.compare_exchange_strong(expected, 1, std::memory_order_acquire);
        benchmark::ClobberMemory();
        g_word.exchange(0, std::memory_order_release);
    }
}

void BM_thread_id(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(GetCurrentThreadId());
}

BENCHMARK(BM_nested_critical_section);
BENCHMARK(BM_nested_recursive_mutex);
BENCHMARK(BM_first_level_critical_section);
BENCHMARK(BM_first_level_recursive_mutex);
BENCHMARK(BM_first_level_mutex);
BENCHMARK(BM_floor_cas_exchange);
BENCHMARK(BM_thread_id);
BENCHMARK(BM_contended_critical_section)->Threads(2)->UseRealTime();
BENCHMARK(BM_contended_recursive_mutex)->Threads(2)->UseRealTime();
BENCHMARK(BM_contended_mutex)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Keep a second thread alive throughout, so that the C library does not
    // take its single-threaded shortcuts for the standard locks.
    std::mutex idle_mutex;
    std::condition_variable idle;
    bool done = false;
    std::thread idler([&] {
        std::unique_lock<std::mutex> hold(idle_mutex);
        idle.wait(hold, [&] { return done; });
    });

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    {
        std::lock_guard<std::mutex> hold(idle_mutex);
        done = true;
    }
    idle.notify_one();
    idler.join();
    return 0;
}
