// Harnvik: eight endless copy workers load the memory system while the main
// thread records synthetic frames to an MP4 file until the writer fails.
#pragma once

#include <cstdint>

#include "harnvik/output_format.h"
#include "karvon/work/wait_item.h"
#include "platform/platform.h"

namespace Harnvik {

using wchar16 = Karvon::Platform::wchar16;

using Output::k_worker_count;
constexpr std::uint32_t k_launch_argument = 0;         // the work library's normal priority
constexpr std::uint32_t k_wait_timeout = 0xFFFFFFFFu;  // infinite
constexpr std::uint32_t k_pause_before_soak_ms = 30000;
constexpr std::uint32_t k_buffer_size = 1048576;  // 1 MiB
constexpr std::int32_t k_copies_per_measurement = 10000;
// Bytes copied per measurement, in 2^30-byte units, times 1000 ms per second.
constexpr double k_rate_factor = (1048576.0 * 10000.0) * (1.0 / 1073741824.0) * 1000.0;
static_assert(k_rate_factor == 9765.625);

// Program entry: launches the workers one after another, pauses, runs the
// soak and returns 0. The arguments are ignored.
std::int32_t entry(int argc, const wchar16* const* argv);

// The function a worker item is bound to: takes the worker index.
using fcn_bound_type = void (*)(std::int32_t argument);

// A copy worker's work item: the run entry (in the base) plus the bound
// function and its argument, all plain data.
struct worker_item : Karvon::Work::wait_item {
    worker_item(fcn_bound_type bound_function, std::int32_t argument);

    fcn_bound_type fcn_bound;
    std::int32_t bound_argument;
};

// Builds, launches and returns a handle to the item of one copy worker.
Karvon::Work::wait launch_worker(std::int32_t index);

// The run entry of a worker item: calls the bound function with the bound
// argument, then returns 0.
std::int32_t run_item(Karvon::Work::wait_item* item);

// Copies one 1 MiB buffer into another forever, printing the rate after
// every 10000 copies. Never returns.
[[noreturn]] void run_copy_worker(std::int32_t index);

// The rate of one measurement in 2^30 bytes per second, rounded to single
// precision. 0 ms gives infinity.
float copy_rate(std::uint32_t elapsed_ms);

// Prints one rate line for the worker, in a single print_text call.
void print_rate(std::int32_t index, std::uint32_t elapsed_ms);

// Prints a text on standard output as printf would, at once: the whole text
// in one write of the system's, never held in a buffer.
__attribute__((format(printf, 1, 2))) void print_text(const char* format, ...);

// Records synthetic video and audio to "HelloWorld.m4v" until the writer
// reports an error.
void record_soak();

}  // namespace Harnvik
