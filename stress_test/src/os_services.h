// The two kernel services the program paces itself with. The program links
// os_services.cpp, which calls the platform's own; tests link a clock and a
// sleep that they drive, beside the same compiled program code.
#pragma once

#include <cstdint>

namespace Harnvik::os {

// Milliseconds since an arbitrary start; 32 bits, wrapping.
std::uint32_t GetTickCount();
// Suspends the calling thread for the given number of milliseconds.
void Sleep(std::uint32_t milliseconds);

}  // namespace Harnvik::os
