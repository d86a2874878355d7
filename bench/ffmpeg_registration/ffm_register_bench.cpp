// ffm_register once registration has run: one take and give-back of the
// uncontended ffm lock behind a call into the library. Beside it, a bare
// critical_section taken and given back in place, the floor it is measured
// against.
#include <benchmark/benchmark.h>

#include "karvon/threads/critical_section.h"
#include "tovrel/ffmpeg/ffmpeg_registration.h"

namespace {

void BM_ffm_register_registered(benchmark::State& state) {
    Tovrel::ffmpeg::ffm_register();
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(Tovrel::ffmpeg::ffm_register());
    }
}
BENCHMARK(BM_ffm_register_registered);

void BM_critical_section_lock_unlock(benchmark::State& state) {
    Karvon::Threads::critical_section lock;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        lock.lock();
        lock.unlock();
    }
}
BENCHMARK(BM_critical_section_lock_unlock);

}  // namespace

BENCHMARK_MAIN();
