#include "os_services.h"

#include "platform/platform.h"

namespace Harnvik::os {

std::uint32_t GetTickCount() {
    return ::GetTickCount();
}

void Sleep(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

}  // namespace Harnvik::os
