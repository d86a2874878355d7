#include "os/log_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "os/os_services.h"

namespace Harnvik::Report {

namespace {

constexpr std::size_t k_block_size = 1 << 20;

}  // namespace

bool read_log_file(const std::string& name, log_facts& facts, std::string& error) {
    log_reader reader;
    std::vector<char> block(k_block_size);
    if (name == "-") {
        os::read_stdin_as_bytes();
        for (;;) {
            const std::size_t got = std::fread(block.data(), 1, block.size(), stdin);
            reader.feed(std::string_view(block.data(), got));
            if (got < block.size()) break;
        }
        if (std::ferror(stdin)) {
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
    } else {
        const std::filesystem::path path = os::file_path(name);
        std::error_code failure;
        if (std::filesystem::is_directory(path, failure)) {
            error = "cannot read " + name + ": it is a directory";
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = "cannot open " + name + ": " + std::strerror(errno);
            return false;
        }
        while (in) {
            in.read(block.data(), static_cast<std::streamsize>(block.size()));
            reader.feed(std::string_view(block.data(), static_cast<std::size_t>(in.gcount())));
        }
        if (in.bad()) {
            error = "cannot read " + name;
            return false;
        }
    }
    facts = reader.finish();
    return true;
}

}  // namespace Harnvik::Report
