#include "probe.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace palvex_test {

namespace {

// Runs the native ffprobe; true when it exits with 0.
bool run_ffprobe(const std::string& arguments, const std::string& report) {
#if defined(_WIN32)
    // Wine starts a native Linux program given by its Unix path on drive Z:,
    // but its handle cannot be waited for: the shell leaves ffprobe's exit
    // status in a file, which is awaited instead.
    const std::string done = report + ".done";
    std::remove(done.c_str());
    std::string command =
        "Z:\\bin\\sh -c \"/usr/bin/ffprobe " + arguments + "; echo $? > " + done + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA("Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; waited < 6000; ++waited) {
        std::ifstream in(done);
        std::string code;
        if (in >> code) return code == "0";
        Sleep(50);
    }
    return false;
#else
    (void)report;
    return std::system(("/usr/bin/ffprobe " + arguments).c_str()) == 0;
#endif
}

std::uint64_t read_be(std::istream& in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | std::uint64_t(std::uint8_t(in.get()));
    return value;
}

struct box_header {
    std::string type;
    std::int64_t start;
    std::int64_t size;    // whole box
    std::int64_t header;  // bytes before the payload
};

std::vector<box_header> boxes_in(std::ifstream& in, std::int64_t from, std::int64_t to) {
    std::vector<box_header> boxes;
    std::int64_t at = from;
    while (at + 8 <= to) {
        in.clear();
        in.seekg(at);
        box_header box{"", at, std::int64_t(read_be(in, 4)), 8};
        char type[4];
        in.read(type, 4);
        box.type.assign(type, 4);
        if (box.size == 1) {
            box.size = std::int64_t(read_be(in, 8));
            box.header = 16;
        } else if (box.size == 0) {
            box.size = to - at;
        }
        if (!in || box.size < box.header || at + box.size > to) {
            boxes.push_back(box_header{"?", at, to - at, 0});
            break;
        }
        boxes.push_back(box);
        at += box.size;
    }
    return boxes;
}

}  // namespace

std::int64_t file_size(const std::string& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    return in ? std::int64_t(in.tellg()) : -1;
}

probe_result probe(const std::string& file) {
    probe_result result;
    const std::string report = file + ".probe.txt";
    std::remove(report.c_str());
    result.ran = run_ffprobe(
        "-v error -count_frames -show_entries "
        "stream=codec_type,codec_name,width,height,sample_rate,channels,nb_read_frames:"
        "format=duration -of default=nw=1 -o " +
            report + " " + file,
        report);
    std::ifstream in(report);
    std::stringstream text;
    text << in.rdbuf();
    result.text = text.str();
    std::istringstream lines(result.text);
    std::string line;
    std::string type;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        auto number = [&value] { return std::atoll(value.c_str()); };
        if (key == "codec_name") {
            // codec_name comes before codec_type in ffprobe's stream section.
            type = value;
        } else if (key == "codec_type") {
            (value == "video" ? result.video_codec : result.audio_codec) = type;
        } else if (key == "width") {
            result.width = std::int32_t(number());
        } else if (key == "height") {
            result.height = std::int32_t(number());
        } else if (key == "sample_rate") {
            result.sample_rate = std::int32_t(number());
        } else if (key == "channels") {
            result.channels = std::int32_t(number());
        } else if (key == "nb_read_frames") {
            (result.audio_codec.empty() ? result.video_frames : result.audio_frames) = number();
        } else if (key == "duration") {
            result.duration = std::atof(value.c_str());
        }
    }
    return result;
}

std::vector<std::string> top_level_boxes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> types;
    for (const box_header& box : boxes_in(in, 0, file_size(file))) types.push_back(box.type);
    return types;
}

std::vector<std::string> child_boxes(const std::string& file, const std::string& parent) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> types;
    for (const box_header& box : boxes_in(in, 0, file_size(file))) {
        if (box.type != parent) continue;
        for (const box_header& child : boxes_in(in, box.start + box.header, box.start + box.size)) {
            types.push_back(child.type);
        }
        break;
    }
    return types;
}

}  // namespace palvex_test
