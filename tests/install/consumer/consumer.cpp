// A user of the installed libraries: registers FFmpeg from several threads,
// opens and frees an encoder under the ffm lock, and records two seconds.
// Usage: consumer <output file>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "selmet/palvex/mp4.h"
#include "tovrel/ffmpeg/ffmpeg_registration.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using Selmet::Palvex::writer::mp4;
using video_message = Karvon::Wendrix::video::message;
using audio_message = Karvon::Wendrix::audio::message;

int fail(const char* what) {
    std::fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

bool register_from_threads() {
    std::atomic<int> registered{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&registered] {
            if (Tovrel::ffmpeg::ffm_register()) ++registered;
        });
    }
    for (std::thread& t : threads) t.join();
    return registered == 4;
}

bool open_encoder_under_ffm_lock() {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) return false;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (context == nullptr) return false;
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = 48000;
    av_channel_layout_default(&context->ch_layout, 2);
    context->bit_rate = 128000;
    int result;
    {
        std::lock_guard<Karvon::Threads::critical_section> hold(Tovrel::ffmpeg::get_ffm_lock());
        result = avcodec_open2(context, codec, nullptr);
    }
    {
        std::lock_guard<Karvon::Threads::critical_section> hold(Tovrel::ffmpeg::get_ffm_lock());
        avcodec_free_context(&context);
    }
    return result == 0 && context == nullptr;
}

bool record_two_seconds(const std::string& file) {
    const std::basic_string<mp4::wchar16> name(file.begin(), file.end());
    mp4::info info;
    info.file_name = name.c_str();
    info.frame_width = 640;
    info.frame_height = 360;
    info.bit_rate = 1000000;
    mp4 writer(info);
    for (int frame = 0; frame < 50 && writer.error() == nullptr; ++frame) {
        auto* video =
            new video_message(video_message::e_data_format(0), info.frame_width, info.frame_height);
        auto* audio = new audio_message(48000 * info.frame_duration / info.time_scale, 2, 0);
        audio->sample_rate() = 48000;
        writer.write_video(video, -1);
        writer.write_audio(audio);
        video->release();
        audio->release();
    }
    return writer.error() == nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return fail("usage: consumer <output file>");
    if (!register_from_threads()) return fail("ffm_register did not return true on 4 threads");
    if (!open_encoder_under_ffm_lock()) return fail("the AAC encoder did not open and free");
    if (!record_two_seconds(argv[1])) return fail("the writer reported an error");
    std::printf("consumer: recorded %s\n", argv[1]);
    return 0;
}
