#include "media/media_probe.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "core/statistics.h"
#include "media/box_layout.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
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

// Everything one probe works on, from the open file to the packets' times;
// the steps below each take their part of it.
struct probe {
    probe(const std::string& name, const probe_options& chosen, media_facts& into)
        : file(name), options(chosen), facts(into) {}

    const std::string& file;
    const probe_options& options;
    media_facts& facts;

    std::unique_ptr<AVFormatContext, format_closer> format;
    int video = -1;  // stream indices; -1 for none
    int audio = -1;
    track video_track;
    track audio_track;
    codec_pointer video_decoder;
    codec_pointer audio_decoder;
    std::int64_t audio_ticks = 0;       // summed packet durations, in the audio time base
    std::int32_t audio_frame_size = 0;  // samples per packet; 0 when they vary
    std::unique_ptr<AVPacket, packet_freer> packet;
    std::unique_ptr<AVFrame, frame_freer> frame;
    std::vector<timed_packet> packets;
    std::int64_t media_end = 0;  // file offset after the last packet
};

// Opens the file as media that this FFmpeg build really reads.
bool open_file(probe& run, std::string& error) {
    void* iterator = nullptr;
    if (av_demuxer_iterate(&iterator) == nullptr) {
        error = "cannot read " + run.file + " as media: this FFmpeg build has no demuxers";
        return false;
    }
    AVFormatContext* opened = nullptr;
    const int result = avformat_open_input(&opened, run.file.c_str(), nullptr, nullptr);
    if (result < 0) {
        error = "cannot open " + run.file + " as media: " + error_text(result);
        return false;
    }
    run.format.reset(opened);
    // A format chosen by the file's name alone (".m4v" also names raw MPEG-4
    // video) is a guess that takes any bytes, text included.
    if (run.format->probe_score <= AVPROBE_SCORE_EXTENSION) {
        error = "cannot read " + run.file +
                " as media: its content matches no format that this "
                "FFmpeg build reads";
        return false;
    }
    run.facts.container = run.format->iformat->name;
    run.facts.file_size = std::max<std::int64_t>(avio_size(run.format->pb), 0);
    return true;
}

// Picks the first video and the first audio stream; the others are skipped.
bool find_streams(probe& run, std::string& error) {
    // Far enough to meet the sound too: a fragment holds a second of video
    // before its sound, and at a high bit rate that is beyond FFmpeg's
    // default of 5 MB. Without the sound's frame size the packets of the
    // sound carry no durations.
    run.format->probesize = k_probe_bytes;
    const int result = avformat_find_stream_info(run.format.get(), nullptr);
    if (result < 0) {
        error = "cannot read the streams of " + run.file + ": " + error_text(result);
        return false;
    }
    run.video = av_find_best_stream(run.format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    run.audio = av_find_best_stream(run.format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (run.video < 0 && run.audio < 0) {
        error = run.file + " holds no video or audio stream";
        return false;
    }
    for (unsigned i = 0; i < run.format->nb_streams; ++i) {
        const int index = static_cast<int>(i);
        run.format->streams[i]->discard =
            index == run.video || index == run.audio ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    return true;
}

// The streams' own facts, and their decoders when a decode was asked for.
bool prepare_streams(probe& run, std::string& error) {
    media_facts& facts = run.facts;
    if (run.video >= 0) {
        const AVStream* stream = run.format->streams[run.video];
        facts.has_video = true;
        facts.video_codec = avcodec_get_name(stream->codecpar->codec_id);
        facts.width = stream->codecpar->width;
        facts.height = stream->codecpar->height;
        run.video_track.time_base = stream->time_base;
        if (run.options.decode && !open_decoder(stream, run.video_decoder, error)) return false;
    }
    if (run.audio >= 0) {
        const AVStream* stream = run.format->streams[run.audio];
        facts.has_audio = true;
        facts.audio_codec = avcodec_get_name(stream->codecpar->codec_id);
        facts.sample_rate = stream->codecpar->sample_rate;
        facts.channels = stream->codecpar->ch_layout.nb_channels;
        run.audio_frame_size = stream->codecpar->frame_size;
        run.audio_track.time_base = stream->time_base;
        if (run.options.decode && !open_decoder(stream, run.audio_decoder, error)) return false;
    }
    run.packet.reset(av_packet_alloc());
    run.frame.reset(av_frame_alloc());
    if (!run.packet || !run.frame) {
        error = "out of memory";
        return false;
    }
    return true;
}

// Counts, times and, when asked, decodes the packet just read.
void take_packet(probe& run) {
    media_facts& facts = run.facts;
    const AVPacket* packet = run.packet.get();
    const bool is_video = packet->stream_index == run.video;
    track& own = is_video ? run.video_track : run.audio_track;
    const std::int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (time != AV_NOPTS_VALUE) {
        own.add(time, packet->duration);
        run.packets.push_back(timed_packet{time, packet->size, is_video});
    }
    facts.media_bytes += packet->size;
    if (packet->pos >= 0) run.media_end = std::max(run.media_end, packet->pos + packet->size);
    if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0) ++facts.corrupt_packets;
    if (is_video) {
        ++facts.video_frames;
        if (run.video_decoder) {
            decode(run.video_decoder.get(), packet, run.frame.get(), facts.decoded_video_frames,
                   facts.decode_errors);
        }
    } else {
        ++facts.audio_packets;
        run.audio_ticks += std::max<std::int64_t>(packet->duration, 0);
        if (run.audio_decoder) {
            decode(run.audio_decoder.get(), packet, run.frame.get(), facts.decoded_audio_frames,
                   facts.decode_errors, &facts.decoded_audio_samples);
        }
    }
}

// Every packet up to the end or the first read error, then what the
// decoders still hold.
void read_packets(probe& run) {
    media_facts& facts = run.facts;
    for (;;) {
        const int result = av_read_frame(run.format.get(), run.packet.get());
        if (result == AVERROR_EOF) break;
        if (result < 0) {
            facts.read_error = error_text(result);
            break;
        }
        take_packet(run);
        av_packet_unref(run.packet.get());
        if (run.options.progress && facts.file_size > 0) {
            run.options.progress(static_cast<double>(avio_tell(run.format->pb)) /
                                 static_cast<double>(facts.file_size));
        }
    }
    if (run.video_decoder) {
        decode(run.video_decoder.get(), nullptr, run.frame.get(), facts.decoded_video_frames,
               facts.decode_errors);
    }
    if (run.audio_decoder) {
        decode(run.audio_decoder.get(), nullptr, run.frame.get(), facts.decoded_audio_frames,
               facts.decode_errors, &facts.decoded_audio_samples);
    }
    facts.decoded = run.options.decode;
}

// Samples, durations, bit rates and the bytes after the media, from what
// the packets told.
void sum_up(probe& run) {
    media_facts& facts = run.facts;
    // Every packet of a codec with fixed frames (AAC: 1024) holds that many
    // samples; otherwise the packets' durations tell.
    if (run.audio_frame_size > 0) {
        facts.audio_samples = facts.audio_packets * run.audio_frame_size;
    } else if (facts.sample_rate > 0) {
        facts.audio_samples = av_rescale_q(run.audio_ticks, run.audio_track.time_base,
                                           AVRational{1, facts.sample_rate});
    }
    double start_s = std::numeric_limits<double>::infinity();
    double end_s = -std::numeric_limits<double>::infinity();
    for (const track* own : {&run.video_track, &run.audio_track}) {
        if (!own->seen()) continue;
        start_s = std::min(start_s, own->first_s());
        end_s = std::max(end_s, own->end_s());
    }
    if (run.video_track.seen()) {
        facts.video_duration_s = run.video_track.end_s() - run.video_track.first_s();
    }
    if (run.audio_track.seen()) {
        facts.audio_duration_s = run.audio_track.end_s() - run.audio_track.first_s();
    }
    if (start_s <= end_s) facts.duration_s = end_s - start_s;
    if (facts.duration_s > 0.0) {
        facts.mean_bit_rate = static_cast<double>(facts.media_bytes) * 8.0 / facts.duration_s;
    }
    bit_rate_series series;
    for (const timed_packet& timed : run.packets) {
        const AVRational base = timed.video ? run.video_track.time_base : run.audio_track.time_base;
        series.add(static_cast<double>(timed.time) * av_q2d(base) - start_s, timed.bytes);
    }
    facts.bytes_per_second = series.bytes_per_second();
    if (run.media_end > 0 && facts.file_size >= run.media_end) {
        facts.tail_bytes = facts.file_size - run.media_end;
    }
}

struct io_closer {
    void operator()(AVIOContext* io) const { avio_closep(&io); }
};

// The top-level boxes of an MP4 file, read apart from the demuxer: a few
// bytes per box, straight from the file (no read-ahead buffer).
void read_layout(probe& run) {
    if (std::string_view(run.format->iformat->name).find("mp4") == std::string_view::npos) return;
    AVIOContext* opened = nullptr;
    box_layout& layout = run.facts.layout;
    if (avio_open2(&opened, run.file.c_str(), AVIO_FLAG_READ | AVIO_FLAG_DIRECT, nullptr, nullptr) <
        0) {
        layout.read = true;
        layout.problem = "cannot open the file to read its boxes";
        return;
    }
    const std::unique_ptr<AVIOContext, io_closer> io(opened);
    byte_source source;
    source.size = std::max<std::int64_t>(avio_size(io.get()), 0);
    source.read = [&io](std::int64_t offset, std::uint8_t* out, std::size_t count) {
        if (avio_seek(io.get(), offset, SEEK_SET) != offset) return false;
        return avio_read(io.get(), out, static_cast<int>(count)) == static_cast<int>(count);
    };
    layout = read_box_layout(source);
}

}  // namespace

bool probe_media(const std::string& file, const probe_options& options, media_facts& facts,
                 std::string& error) {
    facts = media_facts{};
    facts.file = file;
    message_capture capture;
    probe run(file, options, facts);
    if (!open_file(run, error) || !find_streams(run, error) || !prepare_streams(run, error)) {
        return false;
    }
    read_packets(run);
    capture.take(facts);
    sum_up(run);
    read_layout(run);
    return true;
}

}  // namespace Harnvik::Report
