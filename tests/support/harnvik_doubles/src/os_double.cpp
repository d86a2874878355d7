// The program's clock and sleep: the clock hands out the test's readings and
// the sleep only records its length.
#include "harnvik_doubles/doubles.h"
#include "os_services.h"

namespace Harnvik::os {

std::uint32_t GetTickCount() {
    return harnvik_doubles::next_tick();
}

void Sleep(std::uint32_t milliseconds) {
    harnvik_doubles::record({harnvik_doubles::e_call::sleep, nullptr, {milliseconds}, {}});
}

}  // namespace Harnvik::os
