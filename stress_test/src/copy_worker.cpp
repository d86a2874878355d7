#include <cstring>

#include "harnvik.h"
#include "os_services.h"

namespace Harnvik {

namespace {

// Any value but zero: writing it makes every page of the source a page of
// its own, where a never-written heap block may all map to one shared zero
// page and flatter the rate.
constexpr int k_source_fill = 0x5A;

}  // namespace

float copy_rate(std::uint32_t elapsed_ms) {
    return static_cast<float>(k_rate_factor / static_cast<double>(elapsed_ms));
}

void print_rate(std::int32_t index, std::uint32_t elapsed_ms) {
    print_text(HARNVIK_RATE_LINE_FORMAT, index, static_cast<double>(copy_rate(elapsed_ms)));
}

void run_copy_worker(std::int32_t index) {
    std::uint8_t* const destination = new std::uint8_t[k_buffer_size];
    std::uint8_t* const source = new std::uint8_t[k_buffer_size];
    std::memset(source, k_source_fill, k_buffer_size);
    for (;;) {
        const std::uint32_t start = os::GetTickCount();
        for (std::int32_t copy = 0; copy < k_copies_per_measurement; ++copy) {
            std::memcpy(destination, source, k_buffer_size);
            // Nothing reads the destination, so without this the compiler may
            // merge or drop the copies. The empty statement costs nothing but
            // makes both buffers count as read and written after every copy.
            __asm__ __volatile__("" : : "r"(destination), "r"(source) : "memory");
        }
        const std::uint32_t end = os::GetTickCount();
        print_rate(index, end - start);  // unsigned difference: right across a wrap
    }
}

}  // namespace Harnvik
