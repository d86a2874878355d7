#include "media_probe.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "statistics.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace Harnvik::Report {

namespace {

constexpr std::size_t k_messages_kept = 5;
constexpr int k_message_size = 1024;
constexpr std::int64_t k_probe_bytes = 256 << 20;

std::string error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

// FFmpeg's own error messages while a probe runs, counted apart for the
// decoders and for the rest, the first few kept. FFmpeg's log is one for the
// process, and decoder threads report too, hence one record under a lock.
struct captured_messages {
    std::mutex lock;
    std::int64_t reading_errors = 0;
    std::int64_t decoding_errors = 0;
    std::vector<std::string> texts;
};

captured_messages g_messages;

void receive_message(void* object, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_ERROR) return;
    char text[k_message_size];
    int prefix = 1;
    av_log_format_line2(object, level, format, arguments, text, sizeof(text), &prefix);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    AVClassCategory category = AV_CLASS_CATEGORY_NA;
    if (object != nullptr) {
        const AVClass* type = *static_cast<const AVClass* const*>(object);
        if (type != nullptr) {
            category = type->get_category != nullptr ? type->get_category(object) : type->category;
        }
    }
    std::lock_guard<std::mutex> hold(g_messages.lock);
    ++(category == AV_CLASS_CATEGORY_DECODER ? g_messages.decoding_errors
                                             : g_messages.reading_errors);
    if (g_messages.texts.size() < k_messages_kept) g_messages.texts.push_back(line);
}

// Sends FFmpeg's messages to the record, none printed, while it lives.
class message_capture {
  public:
    message_capture() {
        std::lock_guard<std::mutex> hold(g_messages.lock);
        g_messages.reading_errors = 0;
        g_messages.decoding_errors = 0;
        g_messages.texts.clear();
        av_log_set_callback(&receive_message);
    }
    ~message_capture() { av_log_set_callback(av_log_default_callback); }
    message_capture(const message_capture&) = delete;
    message_capture& operator=(const message_capture&) = delete;

    void take(media_facts& facts) {
        std::lock_guard<std::mutex> hold(g_messages.lock);
        facts.demuxer_messages = g_messages.reading_errors;
        facts.decode_errors += g_messages.decoding_errors;
        facts.messages = g_messages.texts;
    }
};

struct format_closer {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct codec_closer {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct packet_freer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct frame_freer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using codec_pointer = std::unique_ptr<AVCodecContext, codec_closer>;

// The time span one stream's packets cover, in its time base.
struct track {
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    std::int64_t end = std::numeric_limits<std::int64_t>::min();
    AVRational time_base{0, 1};

    void add(std::int64_t time, std::int64_t duration) {
        first = std::min(first, time);
        const std::int64_t room =
            std::numeric_limits<std::int64_t>::max() - std::max<std::int64_t>(time, 0);
        end = std::max(end, time + std::clamp<std::int64_t>(duration, 0, room));
    }
    bool seen() const { return first <= end; }
    double first_s() const { return static_cast<double>(first) * av_q2d(time_base); }
    double end_s() const { return static_cast<double>(end) * av_q2d(time_base); }
};

struct timed_packet {
    std::int64_t time;
    std::int64_t bytes;
    bool video;
};

bool open_decoder(const AVStream* stream, codec_pointer& decoder, std::string& error) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        error = std::string("this FFmpeg build has no decoder for ") +
                avcodec_get_name(stream->codecpar->codec_id);
        return false;
    }
    decoder.reset(avcodec_alloc_context3(codec));
    if (!decoder) {
        error = "out of memory";
        return false;
    }
    int result = avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    if (result >= 0) {
        // One thread: frame threads drop frames around damage, and the counts
        // must not depend on the machine.
        decoder->thread_count = 1;
        result = avcodec_open2(decoder.get(), codec, nullptr);
    }
    if (result < 0) {
        error = std::string("cannot open the ") + codec->name + " decoder: " + error_text(result);
        return false;
    }
    return true;
}

// Sends one packet (null: the end) and takes every frame it gives back.
void decode(AVCodecContext* decoder, const AVPacket* packet, AVFrame* frame, std::int64_t& frames,
            std::int64_t& errors, std::int64_t* samples = nullptr) {
    int result = avcodec_send_packet(decoder, packet);
    if (result < 0 && result != AVERROR_EOF) ++errors;
    for (;;) {
        result = avcodec_receive_frame(decoder, frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
        if (result < 0) {
            ++errors;
            break;
        }
        ++frames;
        if (samples != nullptr) *samples += frame->nb_samples;
        if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) ++errors;
        av_frame_unref(frame);
    }
}

}  // namespace

bool probe_media(const std::string& file, const probe_options& options, media_facts& facts,
                 std::string& error) {
    facts = media_facts{};
    facts.file = file;
    message_capture capture;

    void* iterator = nullptr;
    if (av_demuxer_iterate(&iterator) == nullptr) {
        error = "cannot read " + file + " as media: this FFmpeg build has no demuxers";
        return false;
    }
    AVFormatContext* opened = nullptr;
    int result = avformat_open_input(&opened, file.c_str(), nullptr, nullptr);
    if (result < 0) {
        error = "cannot open " + file + " as media: " + error_text(result);
        return false;
    }
    const std::unique_ptr<AVFormatContext, format_closer> format(opened);
    // A format chosen by the file's name alone (".m4v" also names raw MPEG-4
    // video) is a guess that takes any bytes, text included.
    if (format->probe_score <= AVPROBE_SCORE_EXTENSION) {
        error = "cannot read " + file +
                " as media: its content matches no format that this "
                "FFmpeg build reads";
        return false;
    }
    // Far enough to meet the sound too: a fragment holds a second of video
    // before its sound, and at a high bit rate that is beyond FFmpeg's
    // default of 5 MB. Without the sound's frame size the packets of the
    // sound carry no durations.
    format->probesize = k_probe_bytes;
    result = avformat_find_stream_info(format.get(), nullptr);
    if (result < 0) {
        error = "cannot read the streams of " + file + ": " + error_text(result);
        return false;
    }
    const int video = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video < 0 && audio < 0) {
        error = file + " holds no video or audio stream";
        return false;
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const int index = static_cast<int>(i);
        format->streams[i]->discard =
            index == video || index == audio ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    facts.container = format->iformat->name;
    facts.file_size = std::max<std::int64_t>(avio_size(format->pb), 0);

    track video_track;
    track audio_track;
    codec_pointer video_decoder;
    codec_pointer audio_decoder;
    std::int64_t audio_ticks = 0;       // summed packet durations, in the audio time base
    std::int32_t audio_frame_size = 0;  // samples per packet; 0 when they vary
    if (video >= 0) {
        const AVStream* stream = format->streams[video];
        facts.has_video = true;
        facts.video_codec = avcodec_get_name(stream->codecpar->codec_id);
        facts.width = stream->codecpar->width;
        facts.height = stream->codecpar->height;
        video_track.time_base = stream->time_base;
        if (options.decode && !open_decoder(stream, video_decoder, error)) return false;
    }
    if (audio >= 0) {
        const AVStream* stream = format->streams[audio];
        facts.has_audio = true;
        facts.audio_codec = avcodec_get_name(stream->codecpar->codec_id);
        facts.sample_rate = stream->codecpar->sample_rate;
        facts.channels = stream->codecpar->ch_layout.nb_channels;
        audio_frame_size = stream->codecpar->frame_size;
        audio_track.time_base = stream->time_base;
        if (options.decode && !open_decoder(stream, audio_decoder, error)) return false;
    }

    const std::unique_ptr<AVPacket, packet_freer> packet(av_packet_alloc());
    const std::unique_ptr<AVFrame, frame_freer> frame(av_frame_alloc());
    if (!packet || !frame) {
        error = "out of memory";
        return false;
    }
    std::vector<timed_packet> packets;
    std::int64_t media_end = 0;  // file offset after the last packet
    for (;;) {
        result = av_read_frame(format.get(), packet.get());
        if (result == AVERROR_EOF) break;
        if (result < 0) {
            facts.read_error = error_text(result);
            break;
        }
        const bool is_video = packet->stream_index == video;
        track& own = is_video ? video_track : audio_track;
        const std::int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (time != AV_NOPTS_VALUE) {
            own.add(time, packet->duration);
            packets.push_back(timed_packet{time, packet->size, is_video});
        }
        facts.media_bytes += packet->size;
        if (packet->pos >= 0) media_end = std::max(media_end, packet->pos + packet->size);
        if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0) ++facts.corrupt_packets;
        if (is_video) {
            ++facts.video_frames;
            if (video_decoder) {
                decode(video_decoder.get(), packet.get(), frame.get(), facts.decoded_video_frames,
                       facts.decode_errors);
            }
        } else {
            ++facts.audio_packets;
            audio_ticks += std::max<std::int64_t>(packet->duration, 0);
            if (audio_decoder) {
                decode(audio_decoder.get(), packet.get(), frame.get(), facts.decoded_audio_frames,
                       facts.decode_errors, &facts.decoded_audio_samples);
            }
        }
        av_packet_unref(packet.get());
        if (options.progress && facts.file_size > 0) {
            options.progress(static_cast<double>(avio_tell(format->pb)) /
                             static_cast<double>(facts.file_size));
        }
    }
    if (video_decoder) {
        decode(video_decoder.get(), nullptr, frame.get(), facts.decoded_video_frames,
               facts.decode_errors);
    }
    if (audio_decoder) {
        decode(audio_decoder.get(), nullptr, frame.get(), facts.decoded_audio_frames,
               facts.decode_errors, &facts.decoded_audio_samples);
    }
    facts.decoded = options.decode;
    capture.take(facts);

    // Every packet of a codec with fixed frames (AAC: 1024) holds that many
    // samples; otherwise the packets' durations tell.
    if (audio_frame_size > 0) {
        facts.audio_samples = facts.audio_packets * audio_frame_size;
    } else if (facts.sample_rate > 0) {
        facts.audio_samples =
            av_rescale_q(audio_ticks, audio_track.time_base, AVRational{1, facts.sample_rate});
    }
    double start_s = std::numeric_limits<double>::infinity();
    double end_s = -std::numeric_limits<double>::infinity();
    for (const track* own : {&video_track, &audio_track}) {
        if (!own->seen()) continue;
        start_s = std::min(start_s, own->first_s());
        end_s = std::max(end_s, own->end_s());
    }
    if (video_track.seen()) facts.video_duration_s = video_track.end_s() - video_track.first_s();
    if (audio_track.seen()) facts.audio_duration_s = audio_track.end_s() - audio_track.first_s();
    if (start_s <= end_s) facts.duration_s = end_s - start_s;
    if (facts.duration_s > 0.0) {
        facts.mean_bit_rate = static_cast<double>(facts.media_bytes) * 8.0 / facts.duration_s;
    }
    bit_rate_series series;
    for (const timed_packet& timed : packets) {
        const AVRational base = timed.video ? video_track.time_base : audio_track.time_base;
        series.add(static_cast<double>(timed.time) * av_q2d(base) - start_s, timed.bytes);
    }
    facts.bytes_per_second = series.bytes_per_second();
    if (media_end > 0 && facts.file_size >= media_end)
        facts.tail_bytes = facts.file_size - media_end;
    return true;
}

}  // namespace Harnvik::Report
