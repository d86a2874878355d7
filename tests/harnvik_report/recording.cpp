#include "recording.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>

#include "soak_pairs.h"

namespace Harnvik::Report::test {

using Selmet::Palvex::writer::mp4;
namespace fs = std::filesystem;

namespace {

struct scratch_folder {
    fs::path path;
    scratch_folder() {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        path = fs::temp_directory_path() /
               ("harnvik_report_media_probe_test-" + std::to_string(std::random_device{}()) + "-" +
                std::to_string(now));
        fs::create_directories(path);
    }
    ~scratch_folder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

}  // namespace

fs::path scratch() {
    static const scratch_folder folder;
    return folder.path;
}

std::string record(const std::string& name, const std::string& copy) {
    const std::string file = (scratch() / name).string();
    const soak_pairs::wide_name wide = soak_pairs::wide(file);
    mp4::info info = soak_pairs::settings(wide, 320, 240);
    mp4 writer(info);
    soak_pairs::write(writer, info, k_frames);
    EXPECT_EQ(writer.error(), nullptr);
    if (!copy.empty()) {
        // Removed first: mingw's copy_file refuses to overwrite.
        fs::remove(scratch() / copy);
        fs::copy_file(file, scratch() / copy);
    }
    return file;
}

std::vector<char> bytes_of(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& file, const std::vector<char>& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace Harnvik::Report::test
