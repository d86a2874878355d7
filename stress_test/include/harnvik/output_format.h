// What Harnvik prints on standard output, byte for byte: the program prints
// with these and harnvik_report reads with them, so neither can change the
// format alone.
#pragma once

#include <cstdint>

namespace Harnvik::Output {

// Copy workers, numbered 0 to k_worker_count - 1 in their rate lines.
constexpr std::int32_t k_worker_count = 8;

// Printed with a line end once the pause is over, just before the recording.
inline constexpr char k_start_text[] = "Starting to record to disk using Intel Media SDK ...";
// Printed without a line end when the recording ends: the file could not be
// opened, or a write failed.
inline constexpr char k_open_failure_text[] = "Error recording file.";
inline constexpr char k_write_failure_text[] = "Error writing to file.";

// One rate line: worker index and rate, in one formatted print. The rate has
// two decimals; a measurement of 0 ms prints the runtime's "inf".
#define HARNVIK_RATE_LINE_FORMAT "Thread %d, memcpy = %1.2fGb/s\n"
// The rate line's fixed parts, in order, around the index and the rate.
inline constexpr char k_rate_head[] = "Thread ";
inline constexpr char k_rate_middle[] = ", memcpy = ";
// The rate's unit as printed: 2^30 bytes per second.
inline constexpr char k_rate_unit[] = "Gb/s";
inline constexpr char k_infinite_rate[] = "inf";
constexpr int k_rate_decimals = 2;

}  // namespace Harnvik::Output
