// The copy worker's own measurement: 10,000 real copies of 1 MiB, 10 GiB of
// memory traffic, with the clock that the test drives. A program of its own,
// so that its limit (tests/stress_test/CMakeLists.txt) is the program's.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

#include "harnvik.h"
#include "harnvik_doubles/doubles.h"

namespace {

// Hang guard for waits on the worker thread; never reached when all is well.
constexpr std::uint32_t k_generous_ms = 240000;

class harnvik_program : public ::testing::Test {
  protected:
    void TearDown() override { harnvik_doubles::reset(); }
};

TEST_F(harnvik_program, copy_worker_times_its_measurement_across_a_tick_wrap) {
    // One measurement of 10000 real copies across the 32-bit wrap: 1000 ms.
    // The worker then reads the clock for its next measurement, which parks
    // its thread for good.
    harnvik_doubles::script_ticks({0xFFFFFE0Cu, 500u});
    testing::internal::CaptureStdout();
    std::thread(&Harnvik::run_copy_worker, 6).detach();
    const bool used_up = harnvik_doubles::wait_ticks_used_up(k_generous_ms);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(used_up);
    EXPECT_EQ(out, "Thread 6, memcpy = 9.77Gb/s\n");
}

}  // namespace
