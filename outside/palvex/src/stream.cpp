#include "stream.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>

#include "tovrel/ffmpeg/ffmpeg_registration.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace Selmet::Palvex::detail {

namespace {

// Codecs are opened and closed under the process-wide FFmpeg lock.
using ffm_guard = std::lock_guard<Karvon::Threads::critical_section>;

fault open_codec(AVCodecContext* codec, const AVCodec* encoder, const std::string& what) {
    int result;
    {
        ffm_guard guard(Tovrel::ffmpeg::get_ffm_lock());
        result = avcodec_open2(codec, encoder, nullptr);
    }
    return result < 0 ? failure(e_fault_setup, what, result) : fault{};
}

}  // namespace

std::int64_t key_frame_interval(const writer::mp4::info& settings) {
    // The longest distance between key frames, in frames, that x264 is given.
    constexpr std::int64_t k_max_gop = 600;
    const std::int64_t gop = std::int64_t(settings.key_frame_ms) * settings.time_scale /
                             (std::int64_t(1000) * settings.frame_duration);
    return std::clamp<std::int64_t>(gop, 1, k_max_gop);
}

std::int32_t encoder_threads(const writer::mp4::info& settings, std::int32_t cores) {
    if (cores <= 0) cores = std::int32_t(std::max(1u, std::thread::hardware_concurrency()));
    const std::int64_t frame_us =
        std::int64_t(settings.frame_duration) * 1000000 / settings.time_scale;
    const std::int64_t most =
        std::max<std::int64_t>(1, k_encoder_hold_us / std::max<std::int64_t>(frame_us, 1));
    return std::int32_t(std::clamp<std::int64_t>(std::int64_t(cores) * 3 / 2, 1, most));
}

stream::~stream() {
    ffm_guard guard(Tovrel::ffmpeg::get_ffm_lock());
    avcodec_free_context(&m_codec);
}

fault stream::add_to(AVFormatContext* output) {
    m_stream = avformat_new_stream(output, nullptr);
    if (m_stream == nullptr) return no_memory();
    m_stream->time_base = m_codec->time_base;
    if (m_kind == e_stream_video) m_stream->avg_frame_rate = m_codec->framerate;
    const int result = avcodec_parameters_from_context(m_stream->codecpar, m_codec);
    if (result < 0) {
        return failure(e_fault_setup,
                       m_kind == e_stream_video ? "Cannot describe the video stream"
                                                : "Cannot describe the audio stream",
                       result);
    }
    return {};
}

fault stream::open_video(AVFormatContext* output, const writer::mp4::info& settings,
                         std::int32_t cores) {
    bool x264 = true;
    const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
    if (encoder == nullptr) {
        x264 = false;
        encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    }
    if (encoder == nullptr) {
        return failure(e_fault_setup, "This FFmpeg has neither the libx264 nor the mpeg4 encoder");
    }
    m_codec = avcodec_alloc_context3(encoder);
    if (m_codec == nullptr) return no_memory();
    AVRational frame_time{settings.frame_duration, settings.time_scale};
    av_reduce(&frame_time.num, &frame_time.den, frame_time.num, frame_time.den, INT32_MAX);
    m_codec->time_base = frame_time;
    m_codec->framerate = AVRational{frame_time.den, frame_time.num};
    m_codec->width = settings.frame_width;
    m_codec->height = settings.frame_height;
    m_codec->pix_fmt = AV_PIX_FMT_YUV420P;
    m_codec->sample_aspect_ratio = AVRational{1, 1};
    m_codec->field_order = AV_FIELD_PROGRESSIVE;
    m_codec->color_range = AVCOL_RANGE_MPEG;
    m_codec->gop_size = int(key_frame_interval(settings));
    // Constant rate: the buffer model holds one second at the set rate, and
    // x264 pads with filler data where the picture needs fewer bits.
    m_codec->bit_rate = settings.bit_rate;
    m_codec->rc_max_rate = settings.bit_rate;
    m_codec->rc_min_rate = settings.bit_rate;
    m_codec->rc_buffer_size = settings.bit_rate;
    if (output->oformat->flags & AVFMT_GLOBALHEADER) m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The encoder's progress notes would land on the process's error output.
    m_codec->log_level_offset = AV_LOG_DEBUG - AV_LOG_INFO;
    m_codec->thread_count = encoder_threads(settings, cores);
    if (x264) {
        av_opt_set(m_codec->priv_data, "preset", settings.encoder_preset, 0);
        av_opt_set(m_codec->priv_data, "nal-hrd", "cbr", 0);
    }
    const std::string what = std::string("Cannot open the ") + (x264 ? "H.264" : "MPEG-4") +
                             " encoder (preset '" + settings.encoder_preset + "')";
    if (fault f = open_codec(m_codec, encoder, what)) return f;
    return add_to(output);
}

fault stream::open_audio(AVFormatContext* output, std::int32_t channels, std::int32_t rate,
                         std::int32_t bit_rate) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (encoder == nullptr) return failure(e_fault_setup, "This FFmpeg has no AAC encoder");
    m_codec = avcodec_alloc_context3(encoder);
    if (m_codec == nullptr) return no_memory();
    m_codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_codec->sample_rate = rate;
    av_channel_layout_default(&m_codec->ch_layout, channels);
    m_codec->bit_rate = bit_rate;
    m_codec->time_base = AVRational{1, rate};
    if (output->oformat->flags & AVFMT_GLOBALHEADER) m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    m_codec->log_level_offset = AV_LOG_DEBUG - AV_LOG_INFO;
    const std::string what = "Cannot open the AAC encoder for " + std::to_string(channels) +
                             " channels at " + std::to_string(rate) + " Hz";
    if (fault f = open_codec(m_codec, encoder, what)) return f;
    return add_to(output);
}

fault stream::encode(const AVFrame* frame, AVPacket* scratch, const packet_taker& take) {
    const bool video = m_kind == e_stream_video;
    int result = avcodec_send_frame(m_codec, frame);
    if (result < 0) {
        // At the end an encoder that cannot be drained has nothing more to give.
        if (frame == nullptr) return {};
        return failure(
            e_fault_encoder,
            video ? "The video encoder refused a frame" : "The audio encoder refused samples",
            result);
    }
    for (;;) {
        result = avcodec_receive_packet(m_codec, scratch);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return {};
        if (result < 0) {
            return failure(e_fault_encoder,
                           video ? "The video encoder failed" : "The audio encoder failed", result);
        }
        scratch->stream_index = m_stream->index;
        if (scratch->duration <= 0 && video) scratch->duration = 1;
        fault f = take(scratch, m_codec->time_base);
        av_packet_unref(scratch);
        if (f) return f;
    }
}

}  // namespace Selmet::Palvex::detail
