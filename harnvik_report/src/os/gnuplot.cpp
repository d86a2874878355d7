#include "os/gnuplot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "os/os_services.h"

namespace Harnvik::Report {

std::string find_program(const std::string& program, const std::string& search_path) {
    const std::string name = program + os::executable_suffix();
    std::size_t from = 0;
    while (from <= search_path.size()) {
        std::size_t to = search_path.find(os::path_separator(), from);
        if (to == std::string::npos) to = search_path.size();
        const std::string directory = search_path.substr(from, to - from);
        // An empty entry is no directory here: the working directory is not searched.
        if (!directory.empty()) {
            const std::string candidate = directory + "/" + name;
            if (os::is_executable(candidate)) return candidate;
        }
        from = to + 1;
    }
    return {};
}

std::string find_gnuplot() {
    const char* search_path = std::getenv("PATH");
    return search_path == nullptr ? std::string() : find_program("gnuplot", search_path);
}

bool draw_plot(const std::string& gnuplot, const std::string& script, const std::string& output,
               std::string& error) {
    // Made empty here first, so that a place that cannot be written fails
    // with the system's reason, and a stale picture is never taken for a new one.
    if (!std::ofstream(os::file_path(output), std::ios::binary | std::ios::trunc)) {
        error = "cannot write " + output + ": " + std::strerror(errno);
        return false;
    }
    std::FILE* pipe = os::open_pipe_to(gnuplot);
    if (pipe == nullptr) {
        error = "cannot start " + gnuplot;
        return false;
    }
    const bool written = std::fwrite(script.data(), 1, script.size(), pipe) == script.size();
    const int status = os::close_pipe(pipe);
    if (!written || status != 0) {
        error = "gnuplot failed (exit status " + std::to_string(status) + ") drawing " + output;
        return false;
    }
    std::error_code failure;
    const auto size = std::filesystem::file_size(os::file_path(output), failure);
    if (failure || size == 0) {
        error = "gnuplot left no picture at " + output;
        return false;
    }
    return true;
}

}  // namespace Harnvik::Report
