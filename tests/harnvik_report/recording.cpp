#include "recording.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>

// The recorder's public header is older C++ than ours.
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
#include "selmet/palvex/mp4.h"

namespace Harnvik::Report::test {

using Selmet::Palvex::writer::mp4;
using video_message = Karvon::Wendrix::video::message;
using audio_message = Karvon::Wendrix::audio::message;
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
    const std::basic_string<mp4::wchar16> wide(file.begin(), file.end());
    mp4::info info;
    info.file_name = wide.c_str();
    info.frame_width = 320;
    info.frame_height = 240;
    info.time_scale = 30000;
    info.frame_duration = 1200;
    mp4 writer(info);
    for (int i = 0; i < k_frames && writer.error() == nullptr; ++i) {
        video_message* frame = new video_message(video_message::e_data_format(0), 320, 240);
        frame->field_type() = video_message::e_field_type(3);
        audio_message* samples = new audio_message(1920, 4, 0);
        samples->sample_rate() = 48000;
        writer.write_video(frame, -1);
        writer.write_audio(samples);
        frame->release();
        samples->release();
    }
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
