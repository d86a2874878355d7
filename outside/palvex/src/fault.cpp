#include "fault.h"

extern "C" {
#include <libavutil/error.h>
}

namespace Selmet::Palvex::detail {

std::string av_error_text(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, buffer, sizeof(buffer)) < 0) return "error " + std::to_string(code);
    return buffer;
}

std::string describe(const fault& problem) {
    std::string text;
    switch (problem.kind) {
        case e_fault_none:
            return {};
        case e_fault_write:
            // The system's reason, where the file's I/O had one.
            text = problem.text.empty() ? "Write failed" : problem.text;
            break;
        case e_fault_memory:
            return "Out of memory";
        default:
            text = problem.text;
            break;
    }
    if (problem.av_code != 0) text += ": " + av_error_text(problem.av_code);
    return text;
}

}  // namespace Selmet::Palvex::detail
