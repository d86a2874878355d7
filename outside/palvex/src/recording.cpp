#include "recording.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "tovrel/ffmpeg/ffmpeg_registration.h"

namespace Selmet::Palvex::detail {

namespace {

// Gives the writer's hold on a frame back when the encoder lets go of it.
void release_video(void* opaque, std::uint8_t*) {
    static_cast<const video_message*>(opaque)->release();
}

}  // namespace

recording::~recording() {
    av_packet_free(&m_packet);
    av_frame_free(&m_video_frame);
    av_frame_free(&m_audio_frame);
    if (m_fifo != nullptr) av_audio_fifo_free(m_fifo);
}

fault recording::open(const writer::mp4::info& settings, std::unique_ptr<storage> file,
                      const seams& seams) {
    Tovrel::ffmpeg::ffm_register();
    if (fault f = check_settings(settings, m_path)) return f;
    if (file == nullptr) {
        fault problem;
        file = open_system_file(settings.file_name, m_path, true, problem);
        if (file == nullptr) return problem;
    }
    m_width = settings.frame_width;
    m_height = settings.frame_height;
    m_frame_duration = settings.frame_duration;
    m_time_scale = settings.time_scale;
    m_audio_bit_rate = settings.audio_bit_rate;
    m_take = [this](AVPacket* packet, AVRational from) { return take(packet, from); };
    m_seams = seams;
    const std::int64_t key_frame_us = key_frame_interval(settings) * settings.frame_duration *
                                      std::int64_t(1000000) / settings.time_scale;
    if (fault f = m_muxer.open(std::move(file), key_frame_us, seams)) return f;
    m_packet = av_packet_alloc();
    m_video_frame = av_frame_alloc();
    m_audio_frame = av_frame_alloc();
    if (m_packet == nullptr || m_video_frame == nullptr || m_audio_frame == nullptr) {
        return no_memory();
    }
    return m_video.open_video(m_muxer.format(), settings, seams.cores);
}

fault recording::write_video(const video_message* frame, std::int64_t time) {
    if (fault f = check_video_frame(frame, m_width, m_height)) return f;
    std::int64_t number = 0;
    if (fault f = check_video_time(time, m_frame_duration, m_last_frame, number)) return f;
    frame->addref();
    AVBufferRef* buffer =
        av_buffer_create(const_cast<std::uint8_t*>(frame->plane(0)), frame->buffer_size(),
                         release_video, const_cast<video_message*>(frame), AV_BUFFER_FLAG_READONLY);
    if (buffer == nullptr) {
        frame->release();
        return no_memory();
    }
    m_video_frame->buf[0] = buffer;
    for (std::int32_t i = 0; i < 3; ++i) {
        m_video_frame->data[i] = const_cast<std::uint8_t*>(frame->plane(i));
        m_video_frame->linesize[i] = frame->stride(i);
    }
    m_video_frame->format = AV_PIX_FMT_YUV420P;
    m_video_frame->width = m_width;
    m_video_frame->height = m_height;
    m_video_frame->pts = number;
    m_video_frame->sample_aspect_ratio = AVRational{1, 1};
    if (m_first_frame < 0) m_first_frame = number;
    m_last_frame = number;
    ++m_frames_taken;
    note_streams_apart();
    fault f = m_video.encode(m_video_frame, m_packet, m_take);
    av_frame_unref(m_video_frame);
    // The pictures have waited for the first sound as long as they may: the
    // file starts without a sound track.
    if (!f && !m_muxer.started() &&
        (m_last_frame - m_first_frame + 1) * m_frame_duration * std::int64_t(1000000) /
                m_time_scale >
            k_first_sound_wait_us) {
        f = m_muxer.start();
    }
    return f;
}

fault recording::take(AVPacket* packet, AVRational from) {
    if (!m_video_begun && m_video.open() && packet->stream_index == m_video.index()) {
        // The first picture out: the encoder holds the ones after it back.
        m_video_begun = true;
        const std::int64_t held = std::max<std::int64_t>(m_frames_taken - 1, 0);
        m_muxer.set_encoder_delay(held * m_frame_duration * std::int64_t(1000000) / m_time_scale);
    }
    return m_muxer.write(packet, from);
}

void recording::note_streams_apart() {
    if (m_audio_rate == 0) return;
    const std::int64_t pictures_us =
        (m_last_frame + 1) * m_frame_duration * std::int64_t(1000000) / m_time_scale;
    const std::int64_t sound_us = m_audio_taken * std::int64_t(1000000) / m_audio_rate;
    m_muxer.set_one_stream_alone(std::abs(pictures_us - sound_us) > k_streams_apart_us);
}

fault recording::start_sound(const audio_message* samples) {
    if (fault f = check_first_audio_block(samples, m_muxer.started())) return f;
    const std::int32_t channels = samples->channels();
    const std::int32_t rate = samples->sample_rate();
    if (fault f = m_audio.open_audio(m_muxer.format(), channels, rate, m_audio_bit_rate)) return f;
    const int frame_size = m_audio.codec()->frame_size;
    m_fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, 4 * frame_size);
    m_audio_frame->format = AV_SAMPLE_FMT_FLTP;
    m_audio_frame->nb_samples = frame_size;
    m_audio_frame->sample_rate = rate;
    if (m_fifo == nullptr ||
        av_channel_layout_copy(&m_audio_frame->ch_layout, &m_audio.codec()->ch_layout) < 0 ||
        av_frame_get_buffer(m_audio_frame, 0) < 0) {
        return no_memory();
    }
    m_audio_channels = channels;
    m_audio_rate = rate;
    return m_muxer.start();
}

fault recording::write_audio(const audio_message* samples) {
    if (!m_audio.open()) {
        if (fault f = start_sound(samples)) return f;
    } else if (fault f = check_audio_block(samples, m_audio_channels, m_audio_rate)) {
        return f;
    }
    const float* planes[k_max_audio_channels];
    for (std::int32_t c = 0; c < m_audio_channels; ++c) planes[c] = samples->channel(c);
    const int written = av_audio_fifo_write(
        m_fifo, reinterpret_cast<void**>(const_cast<float**>(planes)), samples->samples());
    if (written < samples->samples()) return no_memory();
    m_audio_taken += written;
    note_streams_apart();
    const int frame_size = m_audio.codec()->frame_size;
    while (av_audio_fifo_size(m_fifo) >= frame_size) {
        if (fault f = encode_audio_frame(frame_size)) return f;
    }
    return {};
}

fault recording::encode_audio_frame(std::int32_t count) {
    if (av_frame_make_writable(m_audio_frame) < 0) return no_memory();
    m_audio_frame->nb_samples = count;
    av_audio_fifo_read(m_fifo, reinterpret_cast<void**>(m_audio_frame->data), count);
    m_audio_frame->pts = m_audio_samples;
    m_audio_samples += count;
    return m_audio.encode(m_audio_frame, m_packet, m_take);
}

fault recording::close() {
    finish_record record;
    const fault problem = end(record);
    if (fragmented_file* written = file()) {
        m_ending = end_file(written->file(), record, m_seams);
        m_file_ended = true;
        written->file().close();
    }
    return problem;
}

std::string recording::text_after_close(const std::string& before) const {
    if (!m_file_ended) return before;
    std::string ended = describe(m_ending);
    if (!before.empty()) return before + "; " + ended;
    if (m_ending.whole()) return {};
    ended[0] = char(std::toupper(static_cast<unsigned char>(ended[0])));
    return ended;
}

fault recording::end(finish_record& record) {
    fault problem;
    // Unless the file stopped taking media, it is ended properly, even after
    // a message the writer could not take: everything before it is recorded.
    if (m_video.open() && !m_muxer.stopped()) {
        problem = m_video.encode(nullptr, m_packet, m_take);
        if (!problem && m_audio.open()) {
            const int left = av_audio_fifo_size(m_fifo);
            if (left > 0) problem = encode_audio_frame(left);
            if (!problem) problem = m_audio.encode(nullptr, m_packet, m_take);
        }
        // The muxer gets its end whatever the encoders did.
        const fault ended = m_muxer.end();
        record.ended = !ended && !m_muxer.stopped();
        if (!problem) problem = ended;
    }
    if (fragmented_file* written = file()) {
        record.media_end = written->media_end();
        record.length_field = written->length_field();
        record.room_held = written->room_held();
        record.copies_on_write = written->file().copies_on_write();
    }
    record.samples_written = m_muxer.samples_written();
    if (m_audio.open()) {
        record.sound.priming = m_audio.codec()->initial_padding;
        record.sound.frame_size = m_audio.codec()->frame_size;
        record.sound.sample_rate = m_audio_rate;
        record.sound.recorded = m_audio_samples;
    }
    return problem;
}

}  // namespace Selmet::Palvex::detail
