#include "probe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#endif

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace palvex_test {

namespace {

// Runs a native command line with its output going to `report`; true when it
// exits with 0.
bool run_native(const std::string& command, const std::string& report) {
    std::remove(report.c_str());
#if defined(_WIN32)
    // Wine starts a native Linux program given by its Unix path on drive Z:,
    // but its handle cannot be waited for: the shell leaves the exit status
    // in a file, which is awaited instead.
    const std::string done = report + ".done";
    std::remove(done.c_str());
    std::string line =
        "Z:\\bin\\sh -c \"( " + command + " ) > " + report + "; echo $? > " + done + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA("Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
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
    return std::system(("( " + command + " ) > " + report).c_str()) == 0;
#endif
}

std::string read_text(const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs ffprobe and gives its output lines.
std::vector<std::string> ffprobe_lines(const std::string& arguments, const std::string& report) {
    run_native("/usr/bin/ffprobe -v error " + arguments, report);
    std::istringstream in(read_text(report));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// "a,b" lines as pairs of numbers.
std::vector<std::pair<double, double>> number_pairs(const std::vector<std::string>& lines) {
    std::vector<std::pair<double, double>> out;
    for (const std::string& line : lines) {
        const auto comma = line.find(',');
        if (comma == std::string::npos) continue;
        // Silence is "-inf" dB, which not every C library reads as a number.
        const char* second = line.c_str() + comma + 1;
        const bool minus_infinity = std::strncmp(second, "-inf", 4) == 0;
        out.emplace_back(std::atof(line.c_str()), minus_infinity ? -1e9 : std::atof(second));
    }
    return out;
}

// Times at which a level rises above a threshold after half a second below
// it: the clock signal's events are a second apart, and an encoder's noise
// just after one is not another.
std::vector<double> onsets(const std::vector<std::pair<double, double>>& levels, double threshold) {
    std::vector<double> out;
    double last_above = -1.0;
    for (const auto& [time, level] : levels) {
        if (level <= threshold) continue;
        if (last_above < 0.0 || time - last_above >= 0.5) out.push_back(time);
        last_above = time;
    }
    return out;
}

}  // namespace

probe_result probe(const std::string& file) {
    probe_result result;
    const std::string report = file + ".probe.txt";
    result.ran = run_native(
        "/usr/bin/ffprobe -v error -count_frames -show_entries "
        "stream=codec_type,codec_name,width,height,sample_rate,channels,nb_read_frames:"
        "format=duration -of default=nw=1 " +
            file,
        report);
    result.text = read_text(report);
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

std::vector<bool> key_frames(const std::string& file) {
    std::vector<bool> keys;
    for (const std::string& line :
         ffprobe_lines("-select_streams v -show_entries packet=flags -of csv=p=0 " + file,
                       file + ".keys.txt")) {
        keys.push_back(line.find('K') != std::string::npos);
    }
    return keys;
}

presented_sound presented(const std::string& file) {
    // What the demuxer presents of each packet after the edit: its duration,
    // less the samples it says to skip.
    presented_sound out;
    for (const std::string& line : ffprobe_lines(
             "-select_streams a -show_entries packet=duration:packet_side_data=skip_samples "
             "-of compact=p=0:nk=0 " +
                 file,
             file + ".samples.txt")) {
        std::int64_t shown = 0;
        for (const char* key : {"duration=", "skip_samples="}) {
            const auto at = line.find(key);
            if (at == std::string::npos) continue;
            const std::int64_t value = std::atoll(line.c_str() + at + std::strlen(key));
            shown += key[0] == 'd' ? value : -value;
        }
        out.samples += shown;
        if (shown > 0) ++out.frames;
    }
    return out;
}

// Times at which a per-frame value of a filter graph over the file rises
// above a threshold.
std::vector<double> rises(const std::string& graph, const std::string& value,
                          const std::string& report, double threshold) {
    return onsets(number_pairs(ffprobe_lines(
                      "-f lavfi " + graph + " -show_entries frame=pts_time:frame_tags=" + value +
                          " -of csv=p=0",
                      report)),
                  threshold);
}

std::vector<double> flash_times(const std::string& file) {
    return rises("movie=" + file + ",signalstats", "lavfi.signalstats.YAVG", file + ".flashes.txt",
                 128.0);
}

std::vector<double> burst_times(const std::string& file) {
    // Levels of 1 ms stretches of sound.
    return rises("amovie=" + file + ",asetnsamples=n=48:p=0,astats=metadata=1:reset=1",
                 "lavfi.astats.Overall.RMS_level", file + ".bursts.txt", -20.0);
}

gst_result gst_decode(const std::string& file) {
    gst_result result;
#if defined(_WIN32)
    (void)file;
#else
    // Pictures made small: only their brightness counts, and the files stay
    // under a test's file-size limit.
    constexpr std::int32_t width = 32;
    constexpr std::int32_t height = 24;
    const std::string gray = file + ".gst.gray";
    const std::string pcm = file + ".gst.pcm";
    result.ran = run_native(
        "timeout 120 gst-launch-1.0 -q filesrc location=" + file +
            " ! qtdemux name=d d.video_0 ! queue ! decodebin ! videoconvert ! videoscale ! "
            "video/x-raw,format=GRAY8,width=32,height=24 ! filesink location=" +
            gray +
            " d.audio_0 ! queue ! decodebin ! audiorate ! audioconvert ! "
            "audio/x-raw,format=F32LE,channels=1,layout=interleaved ! filesink location=" +
            pcm + " 2>&1",
        file + ".gst.txt");
    result.text = read_text(file + ".gst.txt");
    const std::int64_t frame_bytes = std::int64_t(width) * height;
    std::ifstream video(gray, std::ios::binary);
    std::vector<char> frame(std::size_t(frame_bytes), 0);
    std::vector<std::pair<double, double>> brightness;
    result.video_frames = 0;
    while (video.read(frame.data(), frame_bytes)) {
        double sum = 0;
        for (const char c : frame) sum += std::uint8_t(c);
        brightness.emplace_back(double(result.video_frames) / 25.0, sum / double(frame_bytes));
        ++result.video_frames;
    }
    result.flashes = onsets(brightness, 128.0);
    std::ifstream audio(pcm, std::ios::binary);
    // The loudest sample of every millisecond.
    std::vector<std::pair<double, double>> loudness;
    float sample = 0;
    result.audio_samples = 0;
    while (audio.read(reinterpret_cast<char*>(&sample), sizeof(sample))) {
        if (result.audio_samples % 48 == 0) {
            loudness.emplace_back(double(result.audio_samples) / 48000.0, 0.0);
        }
        loudness.back().second = std::max(loudness.back().second, double(std::abs(sample)));
        ++result.audio_samples;
    }
    result.bursts = onsets(loudness, 0.1);
    std::remove(gray.c_str());
    std::remove(pcm.c_str());
#endif
    return result;
}

mediainfo_result mediainfo(const std::string& file) {
    mediainfo_result result;
#if defined(_WIN32)
    (void)file;
#else
    const std::string report = file + ".mediainfo.txt";
    result.ran = run_native("mediainfo '--Inform=Video;%FrameCount%\\n' " + file +
                                " && mediainfo '--Inform=Audio;%FrameCount%\\n' " + file,
                            report);
    result.text = read_text(report);
    std::istringstream in(result.text);
    in >> result.video_frames >> result.audio_frames;
#endif
    return result;
}

std::vector<std::int64_t> decode_here(const std::string& file, std::int64_t* refused) {
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, file.c_str(), nullptr, nullptr) < 0) return {-1};
    std::vector<std::int64_t> frames(input->nb_streams, 0);
    std::vector<AVCodecContext*> decoders(input->nb_streams, nullptr);
    if (avformat_find_stream_info(input, nullptr) < 0) frames = {-1};
    for (unsigned i = 0; i < input->nb_streams && frames[0] >= 0; ++i) {
        const AVCodec* codec = avcodec_find_decoder(input->streams[i]->codecpar->codec_id);
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], input->streams[i]->codecpar);
        avcodec_open2(decoders[i], codec, nullptr);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto receive = [&](std::size_t i) {
        while (avcodec_receive_frame(decoders[i], frame) == 0) ++frames[i];
    };
    while (frames[0] >= 0 && av_read_frame(input, packet) >= 0) {
        const auto i = std::size_t(packet->stream_index);
        if (avcodec_send_packet(decoders[i], packet) < 0) {
            if (refused == nullptr) {
                frames[i] = -1000000;
            } else {
                ++*refused;
            }
        }
        receive(i);
        av_packet_unref(packet);
    }
    for (std::size_t i = 0; i < decoders.size() && frames[0] >= 0; ++i) {
        avcodec_send_packet(decoders[i], nullptr);
        receive(i);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    for (AVCodecContext*& d : decoders) avcodec_free_context(&d);
    avformat_close_input(&input);
    return frames;
}

}  // namespace palvex_test
