// The MP4 writer: H.264 (libx264, or FFmpeg's MPEG-4 part 2 encoder where
// libx264 is missing) and AAC through FFmpeg into a fragmented MP4 that plays
// up to its last complete fragment whatever happens to the process, and that a
// clean close turns into an ordinary MP4 with one full index.
#include "selmet/palvex/mp4.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "finish.h"
#include "text.h"
#include "tovrel/ffmpeg/ffmpeg_registration.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace Selmet::Palvex::writer {

namespace {

using detail::wstring16;
using video_message = Karvon::Wendrix::video::message;
using audio_message = Karvon::Wendrix::audio::message;

constexpr std::int32_t k_min_dimension = 16;
constexpr std::int32_t k_max_dimension = 16384;
constexpr std::int32_t k_max_audio_channels = 8;
// Video packets kept while the header waits for the first audio block; past
// this the file is started without sound.
constexpr std::size_t k_max_waiting_packets = 250;
// A fragment at every key frame; the index goes at the front of each fragment
// relative to the fragment itself, so each one stands on its own.
constexpr const char* k_movflags = "+frag_keyframe+empty_moov+default_base_moof";

wstring16 widen(const std::string& text) {
    return Karvon::Platform::utf8_to_utf16(text);
}

std::string number(std::int64_t value) {
    return std::to_string(value);
}

std::string av_error_text(int error) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(error, buffer, sizeof(buffer)) < 0) {
        return "error " + number(error);
    }
    return buffer;
}

// Takes the process-wide ffm lock for codec opening and closing.
class ffm_guard {
  public:
    ffm_guard() { Tovrel::ffmpeg::get_ffm_lock().lock(); }
    ~ffm_guard() { Tovrel::ffmpeg::get_ffm_lock().unlock(); }
    ffm_guard(const ffm_guard&) = delete;
    ffm_guard& operator=(const ffm_guard&) = delete;
};

// Gives the writer's hold on a frame back when the encoder lets go of it.
void release_video(void* opaque, std::uint8_t*) {
    static_cast<const video_message*>(opaque)->release();
}

}  // namespace

mp4::info::info()
    : file_name(nullptr),
      bit_rate(5000000),
      key_frame_ms(1000),
      frame_width(1920),
      frame_height(1080),
      time_scale(30000),
      frame_duration(1200),
      audio_bit_rate(192000),
      encoder_preset("veryfast") {}

struct mp4::state {
    wstring16 error;
    bool failed = false;

    wstring16 file_name;
    std::string path;  // UTF-8, as FFmpeg's file protocol takes it
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t time_scale = 0;
    std::int32_t frame_duration = 0;

    AVFormatContext* output = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* video_stream = nullptr;
    AVStream* audio_stream = nullptr;
    AVFrame* video_frame = nullptr;
    AVFrame* audio_frame = nullptr;
    AVPacket* packet = nullptr;
    AVAudioFifo* fifo = nullptr;
    std::vector<AVPacket*> waiting;  // video packets held until the header is out
    bool header_written = false;
    bool write_failed = false;
    bool video_ready = false;  // encoder open, stream added
    bool audio_ready = false;
    // File positions at which whole fragments had been handed over, newest last.
    std::vector<std::int64_t> complete_ends;

    std::int64_t next_video_pts = 0;  // in frames
    std::int64_t last_video_pts = -1;
    std::int64_t audio_pts = 0;  // in samples
    std::int32_t audio_channels = 0;
    std::int32_t audio_rate = 0;

    ~state();

    void fail(const wstring16& text) {
        if (failed) return;
        failed = true;
        error = text;
    }
    void fail(const std::string& text) { fail(widen(text)); }
    void fail_write(int code);
    void note_complete_end();
    std::string url() const { return "file:" + path; }

    void open(const info& settings);
    bool open_video(const info& settings);
    bool open_audio(std::int32_t channels, std::int32_t rate, std::int32_t bit_rate);
    bool write_header();
    bool encode_video(const video_message* frame, std::int64_t time);
    bool encode_audio(const audio_message* samples);
    bool encode_audio_frame(std::int32_t count);
    bool drain(AVCodecContext* codec, AVStream* stream);
    bool mux(AVPacket* packet, AVRational from);
    void close();

    std::int32_t audio_bit_rate = 0;
};

void mp4::state::fail_write(int code) {
    // The I/O layer keeps the operating system's reason; the muxer's result
    // may only say that something failed.
    if (output != nullptr && output->pb != nullptr && output->pb->error < 0) {
        code = output->pb->error;
    }
    write_failed = true;
    fail("Write failed: " + av_error_text(code));
}

void mp4::state::note_complete_end() {
    const std::int64_t end = avio_tell(output->pb);
    if (!complete_ends.empty() && complete_ends.back() == end) return;
    if (complete_ends.size() >= 8) complete_ends.erase(complete_ends.begin());
    complete_ends.push_back(end);
}

void mp4::state::open(const info& settings) {
    Tovrel::ffmpeg::ffm_register();
    if (settings.file_name == nullptr) {
        fail("No output file name is set");
        return;
    }
    file_name = settings.file_name;
    width = settings.frame_width;
    height = settings.frame_height;
    time_scale = settings.time_scale;
    frame_duration = settings.frame_duration;
    audio_bit_rate = settings.audio_bit_rate;

    if (!detail::to_utf8(settings.file_name, path)) {
        fail("The output file name is not valid UTF-16");
        return;
    }
    if (path.empty()) {
        fail("The output file name is empty");
        return;
    }
    if (width < k_min_dimension || width > k_max_dimension || height < k_min_dimension ||
        height > k_max_dimension || width % 2 != 0 || height % 2 != 0) {
        fail("Frame size " + number(width) + "x" + number(height) +
             " cannot be recorded: width and height must be even and from " +
             number(k_min_dimension) + " to " + number(k_max_dimension));
        return;
    }
    if (time_scale <= 0 || frame_duration <= 0) {
        fail("Frame rate " + number(time_scale) + "/" + number(frame_duration) +
             " cannot be recorded: time scale and frame duration must be positive");
        return;
    }
    if (settings.bit_rate < 1000) {
        fail("Video bit rate " + number(settings.bit_rate) +
             " cannot be recorded: it must be at least 1000 bits per second");
        return;
    }
    if (settings.audio_bit_rate < 1000) {
        fail("Audio bit rate " + number(settings.audio_bit_rate) +
             " cannot be recorded: it must be at least 1000 bits per second");
        return;
    }
    if (settings.key_frame_ms <= 0) {
        fail("Key frame distance " + number(settings.key_frame_ms) +
             " ms cannot be recorded: it must be positive");
        return;
    }
    if (settings.encoder_preset == nullptr) {
        fail("No H.264 encoder preset is set");
        return;
    }

    // The container is chosen by name, whatever the file name's extension.
    const AVOutputFormat* format = av_guess_format("mp4", nullptr, nullptr);
    if (format == nullptr) {
        fail("This FFmpeg has no mp4 muxer");
        return;
    }
    int result = avformat_alloc_output_context2(&output, format, nullptr, nullptr);
    if (result < 0 || output == nullptr) {
        fail("Cannot set up the mp4 muxer: " + av_error_text(result));
        return;
    }
    // "file:" keeps a name with a colon from being taken for another protocol.
    result = avio_open(&output->pb, url().c_str(), AVIO_FLAG_WRITE);
    if (result < 0) {
        fail(widen("Cannot open output file '") + file_name + widen("': " + av_error_text(result)));
        return;
    }
    packet = av_packet_alloc();
    video_frame = av_frame_alloc();
    audio_frame = av_frame_alloc();
    if (packet == nullptr || video_frame == nullptr || audio_frame == nullptr) {
        fail("Out of memory");
        return;
    }
    open_video(settings);
}

bool mp4::state::open_video(const info& settings) {
    bool x264 = true;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        x264 = false;
        codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    }
    if (codec == nullptr) {
        fail("This FFmpeg has neither the libx264 nor the mpeg4 encoder");
        return false;
    }
    video = avcodec_alloc_context3(codec);
    if (video == nullptr) {
        fail("Out of memory");
        return false;
    }
    AVRational frame_time{frame_duration, time_scale};
    av_reduce(&frame_time.num, &frame_time.den, frame_time.num, frame_time.den, INT32_MAX);
    video->time_base = frame_time;
    video->framerate = AVRational{frame_time.den, frame_time.num};
    video->width = width;
    video->height = height;
    video->pix_fmt = AV_PIX_FMT_YUV420P;
    video->sample_aspect_ratio = AVRational{1, 1};
    video->field_order = AV_FIELD_PROGRESSIVE;
    video->color_range = AVCOL_RANGE_MPEG;
    const std::int64_t gop =
        std::int64_t(settings.key_frame_ms) * time_scale / (std::int64_t(1000) * frame_duration);
    video->gop_size = int(std::clamp<std::int64_t>(gop, 1, 600));
    // Constant rate: the buffer model holds one second at the set rate, and
    // x264 pads with filler data where the picture needs fewer bits.
    video->bit_rate = settings.bit_rate;
    video->rc_max_rate = settings.bit_rate;
    video->rc_min_rate = settings.bit_rate;
    video->rc_buffer_size = settings.bit_rate;
    if (output->oformat->flags & AVFMT_GLOBALHEADER) video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The encoder's progress notes would land on the process's error output.
    video->log_level_offset = AV_LOG_DEBUG - AV_LOG_INFO;
    // As many encoder threads as the machine suggests.
    video->thread_count = 0;
    if (x264) {
        av_opt_set(video->priv_data, "preset", settings.encoder_preset, 0);
        av_opt_set(video->priv_data, "nal-hrd", "cbr", 0);
    }
    int result;
    {
        ffm_guard guard;
        result = avcodec_open2(video, codec, nullptr);
    }
    if (result < 0) {
        fail(std::string("Cannot open the ") + (x264 ? "H.264" : "MPEG-4") + " encoder (preset '" +
             settings.encoder_preset + "'): " + av_error_text(result));
        return false;
    }
    video_stream = avformat_new_stream(output, nullptr);
    if (video_stream == nullptr) {
        fail("Out of memory");
        return false;
    }
    video_stream->time_base = video->time_base;
    video_stream->avg_frame_rate = video->framerate;
    result = avcodec_parameters_from_context(video_stream->codecpar, video);
    if (result < 0) {
        fail("Cannot describe the video stream: " + av_error_text(result));
        return false;
    }
    video_ready = true;
    return true;
}

bool mp4::state::open_audio(std::int32_t channels, std::int32_t rate, std::int32_t bit_rate) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) {
        fail("This FFmpeg has no AAC encoder");
        return false;
    }
    audio = avcodec_alloc_context3(codec);
    if (audio == nullptr) {
        fail("Out of memory");
        return false;
    }
    audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
    audio->sample_rate = rate;
    av_channel_layout_default(&audio->ch_layout, channels);
    audio->bit_rate = bit_rate;
    audio->time_base = AVRational{1, rate};
    if (output->oformat->flags & AVFMT_GLOBALHEADER) audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    audio->log_level_offset = AV_LOG_DEBUG - AV_LOG_INFO;
    int result;
    {
        ffm_guard guard;
        result = avcodec_open2(audio, codec, nullptr);
    }
    if (result < 0) {
        fail("Cannot open the AAC encoder for " + number(channels) + " channels at " +
             number(rate) + " Hz: " + av_error_text(result));
        return false;
    }
    audio_stream = avformat_new_stream(output, nullptr);
    if (audio_stream == nullptr) {
        fail("Out of memory");
        return false;
    }
    audio_stream->time_base = audio->time_base;
    result = avcodec_parameters_from_context(audio_stream->codecpar, audio);
    if (result < 0) {
        fail("Cannot describe the audio stream: " + av_error_text(result));
        return false;
    }
    fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, 4 * audio->frame_size);
    audio_frame->format = AV_SAMPLE_FMT_FLTP;
    audio_frame->nb_samples = audio->frame_size;
    audio_frame->sample_rate = rate;
    if (fifo == nullptr || av_channel_layout_copy(&audio_frame->ch_layout, &audio->ch_layout) < 0 ||
        av_frame_get_buffer(audio_frame, 0) < 0) {
        fail("Out of memory");
        return false;
    }
    audio_channels = channels;
    audio_rate = rate;
    audio_ready = true;
    return true;
}

bool mp4::state::write_header() {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", k_movflags, 0);
    const int result = avformat_write_header(output, &options);
    av_dict_free(&options);
    if (result < 0) {
        if (output->pb->error < 0) {
            fail_write(result);
        } else {
            fail("Cannot start the file: " + av_error_text(result));
        }
        return false;
    }
    header_written = true;
    avio_flush(output->pb);
    if (output->pb->error < 0) {
        fail_write(output->pb->error);
        return false;
    }
    note_complete_end();
    for (AVPacket*& held : waiting) {
        if (!write_failed) mux(held, video->time_base);
        av_packet_free(&held);
    }
    waiting.clear();
    return !failed;
}

bool mp4::state::mux(AVPacket* pkt, AVRational from) {
    const AVStream* stream = output->streams[pkt->stream_index];
    av_packet_rescale_ts(pkt, from, stream->time_base);
    const int result = av_interleaved_write_frame(output, pkt);
    if (result < 0 || output->pb->error < 0) {
        fail_write(result < 0 ? result : output->pb->error);
        return false;
    }
    // The muxer writes only whole fragments; hand each one to the operating
    // system at once, so that a killed process leaves it complete on disk.
    // Between fragments there is nothing buffered and this costs nothing.
    avio_flush(output->pb);
    if (output->pb->error < 0) {
        fail_write(output->pb->error);
        return false;
    }
    note_complete_end();
    return true;
}

bool mp4::state::drain(AVCodecContext* codec, AVStream* stream) {
    for (;;) {
        int result = avcodec_receive_packet(codec, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
        if (result < 0) {
            fail(std::string(codec == video ? "The video" : "The audio") +
                 " encoder failed: " + av_error_text(result));
            return false;
        }
        packet->stream_index = stream->index;
        if (packet->duration <= 0 && codec == video) packet->duration = 1;
        if (!header_written) {
            if (waiting.size() >= k_max_waiting_packets) {
                // No sound has come with the first seconds of pictures: the
                // file goes on without a sound track.
                if (!write_header()) {
                    av_packet_unref(packet);
                    return false;
                }
            } else {
                AVPacket* held = av_packet_alloc();
                if (held == nullptr) {
                    av_packet_unref(packet);
                    fail("Out of memory");
                    return false;
                }
                av_packet_move_ref(held, packet);
                waiting.push_back(held);
                continue;
            }
        }
        if (!mux(packet, codec->time_base)) {
            av_packet_unref(packet);
            return false;
        }
    }
}

bool mp4::state::encode_video(const video_message* frame, std::int64_t time) {
    if (frame == nullptr) {
        fail("A video write came without a frame");
        return false;
    }
    if (frame->data_format() != video_message::e_data_format_yuv420p) {
        fail("A video frame has data format " + number(frame->data_format()) +
             ", which this writer cannot take");
        return false;
    }
    if (frame->width() != width || frame->height() != height) {
        fail("A video frame is " + number(frame->width()) + "x" + number(frame->height()) +
             ", but the file is " + number(width) + "x" + number(height));
        return false;
    }
    std::int64_t pts = next_video_pts;
    if (time != -1) {
        if (time < 0) {
            fail("Video time " + number(time) + " is not valid (-1 means the next frame)");
            return false;
        }
        pts = av_rescale(time, 1, frame_duration);
        if (pts <= last_video_pts) {
            fail("Video time " + number(time) + " does not come after the previous frame");
            return false;
        }
    }
    frame->addref();
    AVBufferRef* buffer =
        av_buffer_create(const_cast<std::uint8_t*>(frame->plane(0)), frame->buffer_size(),
                         release_video, const_cast<video_message*>(frame), AV_BUFFER_FLAG_READONLY);
    if (buffer == nullptr) {
        frame->release();
        fail("Out of memory");
        return false;
    }
    video_frame->buf[0] = buffer;
    for (std::int32_t i = 0; i < 3; ++i) {
        video_frame->data[i] = const_cast<std::uint8_t*>(frame->plane(i));
        video_frame->linesize[i] = frame->stride(i);
    }
    video_frame->format = AV_PIX_FMT_YUV420P;
    video_frame->width = width;
    video_frame->height = height;
    video_frame->pts = pts;
    video_frame->sample_aspect_ratio = AVRational{1, 1};
    const int result = avcodec_send_frame(video, video_frame);
    av_frame_unref(video_frame);
    if (result < 0) {
        fail("The video encoder refused a frame: " + av_error_text(result));
        return false;
    }
    last_video_pts = pts;
    next_video_pts = pts + 1;
    return drain(video, video_stream);
}

bool mp4::state::encode_audio(const audio_message* samples) {
    if (samples == nullptr) {
        fail("An audio write came without samples");
        return false;
    }
    const std::int32_t channels = samples->channels();
    const std::int32_t rate = samples->sample_rate();
    if (audio == nullptr) {
        if (header_written) {
            fail("Sound came after the file was started without a sound track");
            return false;
        }
        if (channels < 1 || channels > k_max_audio_channels) {
            fail("An audio block has " + number(channels) + " channels; AAC takes 1 to " +
                 number(k_max_audio_channels));
            return false;
        }
        if (rate < 8000 || rate > 96000) {
            fail("An audio block has sample rate " + number(rate) +
                 " Hz; AAC takes 8000 to 96000 Hz");
            return false;
        }
        if (!open_audio(channels, rate, audio_bit_rate) || !write_header()) return false;
    } else if (channels != audio_channels || rate != audio_rate) {
        fail("An audio block has " + number(channels) + " channels at " + number(rate) +
             " Hz, but the file has " + number(audio_channels) + " channels at " +
             number(audio_rate) + " Hz");
        return false;
    }
    const float* planes[k_max_audio_channels];
    for (std::int32_t c = 0; c < channels; ++c) planes[c] = samples->channel(c);
    const int written = av_audio_fifo_write(
        fifo, reinterpret_cast<void**>(const_cast<float**>(planes)), samples->samples());
    if (written < samples->samples()) {
        fail("Out of memory");
        return false;
    }
    while (av_audio_fifo_size(fifo) >= audio->frame_size) {
        if (!encode_audio_frame(audio->frame_size)) return false;
    }
    return true;
}

bool mp4::state::encode_audio_frame(std::int32_t count) {
    int result = av_frame_make_writable(audio_frame);
    if (result < 0) {
        fail("Out of memory");
        return false;
    }
    audio_frame->nb_samples = count;
    av_audio_fifo_read(fifo, reinterpret_cast<void**>(audio_frame->data), count);
    audio_frame->pts = audio_pts;
    audio_pts += count;
    result = avcodec_send_frame(audio, audio_frame);
    if (result < 0) {
        fail("The audio encoder refused samples: " + av_error_text(result));
        return false;
    }
    return drain(audio, audio_stream);
}

void mp4::state::close() {
    // Unless a write failed, the file is finished properly, even after a
    // message the writer could not take: everything before it is recorded.
    if (!write_failed && output != nullptr && output->pb != nullptr && video_ready) {
        // Drain the encoders: the last frames and the last samples.
        if (avcodec_send_frame(video, nullptr) >= 0) drain(video, video_stream);
        if (!write_failed && audio_ready) {
            const int left = av_audio_fifo_size(fifo);
            if (left > 0) encode_audio_frame(left);
            if (!write_failed && avcodec_send_frame(audio, nullptr) >= 0) {
                drain(audio, audio_stream);
            }
        }
        if (!write_failed && !header_written) write_header();
        if (!write_failed && header_written) {
            const int result = av_write_trailer(output);
            if (result < 0 || output->pb->error < 0) fail_write(result);
        }
        if (!write_failed && header_written) {
            avio_closep(&output->pb);
            // Should this fail, the file stays fragmented, which plays as well.
            detail::finish_file(url(), audio_ready ? audio->initial_padding : 0, audio_pts);
        }
    }
    if (output != nullptr && output->pb != nullptr) avio_closep(&output->pb);
    if (write_failed) detail::cut_torn_fragment(url(), complete_ends);
}

mp4::state::~state() {
    for (AVPacket*& held : waiting) av_packet_free(&held);
    av_packet_free(&packet);
    av_frame_free(&video_frame);
    av_frame_free(&audio_frame);
    if (fifo != nullptr) av_audio_fifo_free(fifo);
    {
        ffm_guard guard;
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
    }
    if (output != nullptr) {
        if (output->pb != nullptr) avio_closep(&output->pb);
        avformat_free_context(output);
    }
}

mp4::mp4(info& settings) : m_state(new state) {
    try {
        m_state->open(settings);
    } catch (const std::bad_alloc&) {
        m_state->fail("Out of memory");
    }
}

mp4::~mp4() {
    try {
        m_state->close();
    } catch (const std::bad_alloc&) {
        // The file stays as the last complete fragment left it.
    }
    delete m_state;
}

const mp4::wchar16* mp4::error() const {
    return m_state->failed ? m_state->error.c_str() : nullptr;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
const bool mp4::write_video(const Karvon::Wendrix::video::message* frame, std::int64_t time) {
    if (m_state->failed) return false;
    try {
        return m_state->encode_video(frame, time);
    } catch (const std::bad_alloc&) {
        m_state->fail("Out of memory");
        return false;
    }
}

const bool mp4::write_audio(const Karvon::Wendrix::audio::message* samples) {
    if (m_state->failed) return false;
    try {
        return m_state->encode_audio(samples);
    } catch (const std::bad_alloc&) {
        m_state->fail("Out of memory");
        return false;
    }
}
#pragma GCC diagnostic pop

}  // namespace Selmet::Palvex::writer
