#include "test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numbers>

#include "boxes.h"
#include "index.h"

namespace palvex_test {

namespace detail = Selmet::Palvex::detail;

wstring16 wide(const std::string& text) {
    return wstring16(text.begin(), text.end());
}

std::string narrow(const mp4::wchar16* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) out += *text < 0x80 ? char(*text) : '?';
    return out;
}

settings::settings(const std::string& file, std::int32_t width, std::int32_t height)
    : name(wide(file)) {
    std::remove(file.c_str());
    info.file_name = name.c_str();
    info.bit_rate = 5000000;
    info.time_scale = 30000;
    info.frame_duration = 1200;
    info.frame_width = width;
    info.frame_height = height;
}

video_message* clock_signal::next_frame() {
    auto* frame = new video_message(video_message::e_data_format_yuv420p, m_width, m_height);
    frame->field_type() = video_message::e_field_type_progressive;
    const std::uint8_t luma = m_frame % 25 == 0 ? 235 : 16;
    for (std::int32_t row = 0; row < m_height; ++row) {
        std::uint8_t* line = const_cast<std::uint8_t*>(frame->plane(0)) + row * frame->stride(0);
        for (std::int32_t x = 0; x < m_width; ++x) line[x] = luma;
    }
    for (std::int32_t plane = 1; plane < 3; ++plane) {
        for (std::int32_t row = 0; row < m_height / 2; ++row) {
            std::uint8_t* line =
                const_cast<std::uint8_t*>(frame->plane(plane)) + row * frame->stride(plane);
            for (std::int32_t x = 0; x < m_width / 2; ++x) line[x] = 128;
        }
    }
    ++m_frame;
    return frame;
}

audio_message* clock_signal::next_block() {
    constexpr std::int32_t k_rate = 48000;
    constexpr std::int32_t k_samples = 1920;
    auto* block = new audio_message(k_samples, 4, 0);
    block->sample_rate() = k_rate;
    for (std::int32_t c = 0; c < 4; ++c) {
        float* out = const_cast<float*>(block->channel(c));
        for (std::int32_t i = 0; i < k_samples; ++i) {
            const std::int64_t n = m_sample + i;
            const bool tone = n % k_rate < k_rate / 100;
            out[i] = tone
                         ? float(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * double(n) / k_rate))
                         : 0.0f;
        }
    }
    m_sample += k_samples;
    return block;
}

bool write_clock(mp4& writer, clock_signal& signal, int pairs) {
    for (int i = 0; i < pairs; ++i) {
        video_message* frame = signal.next_frame();
        audio_message* block = signal.next_block();
        const bool ok = writer.write_video(frame, -1) && writer.write_audio(block);
        frame->release();
        block->release();
        if (!ok) return false;
    }
    return true;
}

detail::fault write_clock_to(detail::recording& r, clock_signal& signal, std::int32_t pairs,
                             std::int32_t* offered, e_streams streams) {
    detail::fault first;
    for (std::int32_t i = 0; i < pairs && !first; ++i) {
        if (streams != e_sound) {
            video_message* frame = signal.next_frame();
            first = r.write_video(frame, -1);
            frame->release();
        }
        if (streams != e_pictures && !first) {
            audio_message* block = signal.next_block();
            first = r.write_audio(block);
            block->release();
        }
        if (offered != nullptr) *offered = i + 1;
    }
    return first;
}

detail::fault open_small(detail::recording& r, std::unique_ptr<detail::storage> file,
                         std::int32_t bit_rate, const detail::seams& seams) {
    settings small("palvex_small.m4v", 320, 240);
    small.info.bit_rate = bit_rate;
    small.info.audio_bit_rate = 16000;
    return r.open(small.info, std::move(file), seams);
}

std::vector<std::uint8_t> read_file(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::int64_t file_size(const std::string& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    return in ? std::int64_t(in.tellg()) : -1;
}

namespace {

// Top-level boxes by header only: the data of the last one may be missing.
std::vector<detail::top_box> layout(const std::vector<std::uint8_t>& bytes) {
    std::vector<detail::top_box> boxes;
    std::size_t at = 0;
    while (bytes.size() - at >= 8) {
        detail::top_box b;
        const detail::byte_span rest(bytes.data() + at, bytes.size() - at);
        if (!detail::read_top_box(rest.first(std::min<std::size_t>(16, rest.size())),
                                  std::int64_t(at), std::int64_t(bytes.size()), b)) {
            boxes.push_back(detail::top_box{0, std::int64_t(at), std::int64_t(rest.size()), 0});
            break;
        }
        boxes.push_back(b);
        at += std::size_t(b.size);
    }
    return boxes;
}

}  // namespace

std::int64_t told_length(detail::byte_span moov_payload) {
    std::vector<detail::box> top, inner;
    detail::split_boxes(moov_payload, top);
    const detail::box* mvex = detail::find_box(top, detail::fourcc("mvex"));
    if (mvex == nullptr || !detail::split_boxes(mvex->payload, inner)) return -1;
    const detail::box* mehd = detail::find_box(inner, detail::fourcc("mehd"));
    if (mehd == nullptr) return -1;
    detail::byte_reader r(mehd->payload);
    std::uint32_t version = 0, flags = 0;
    r.full_header(version, flags);
    const std::uint64_t length = r.uint(version == 1 ? 8 : 4);
    return r.ok() && version <= 1 && length <= std::uint64_t(INT64_MAX) ? std::int64_t(length) : -1;
}

std::vector<std::string> top_level_boxes(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::string> types;
    for (const detail::top_box& b : layout(bytes)) {
        types.push_back(b.type == 0 ? "?" : detail::fourcc_text(b.type));
    }
    return types;
}

std::vector<std::string> child_boxes(const std::vector<std::uint8_t>& bytes,
                                     const std::string& parent) {
    std::vector<std::string> types;
    for (const detail::top_box& b : layout(bytes)) {
        if (b.type == 0 || detail::fourcc_text(b.type) != parent) continue;
        std::vector<detail::box> children;
        detail::split_boxes(detail::byte_span(bytes).subspan(std::size_t(b.position + b.header),
                                                             std::size_t(b.size - b.header)),
                            children);
        for (const detail::box& c : children) types.push_back(detail::fourcc_text(c.type));
        break;
    }
    return types;
}

fragments complete_fragments(const std::vector<std::uint8_t>& bytes) {
    fragments out;
    const std::vector<detail::top_box> boxes = layout(bytes);
    detail::movie m;
    bool have_movie = false;
    const detail::byte_span all(bytes);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const detail::top_box& b = boxes[i];
        const auto payload = [&all](const detail::top_box& x) {
            return all.subspan(std::size_t(x.position + x.header), std::size_t(x.size - x.header));
        };
        if (b.type == detail::fourcc("moov") && !have_movie) {
            have_movie = !detail::read_movie(payload(b), m);
            out.header_length = told_length(payload(b));
            out.end = b.position + b.size;
        } else if (b.type == detail::fourcc("moof") && have_movie && i + 1 < boxes.size() &&
                   boxes[i + 1].type == detail::fourcc("mdat")) {
            if (detail::add_fragment(payload(b), b.position, std::int64_t(bytes.size()), m)) break;
            out.end = boxes[i + 1].position + boxes[i + 1].size;
            ++out.count;
        }
    }
    for (const detail::track& t : m.tracks) out.samples.push_back(std::int64_t(t.samples.size()));
    out.length = detail::movie_length(m);
    return out;
}

std::vector<std::int64_t> fragment_starts(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::int64_t> starts;
    for (const detail::top_box& b : layout(bytes)) {
        if (b.type == detail::fourcc("moof")) starts.push_back(b.position);
    }
    return starts;
}

full_index read_full_index(const std::vector<std::uint8_t>& bytes) {
    full_index out;
    const detail::byte_span all(bytes);
    for (const detail::top_box& b : layout(bytes)) {
        if (b.type != detail::fourcc("moov")) continue;
        out.size = b.size;
        std::vector<detail::box> top;
        detail::split_boxes(
            all.subspan(std::size_t(b.position + b.header), std::size_t(b.size - b.header)), top);
        for (const detail::box& trak : top) {
            if (trak.type != detail::fourcc("trak")) continue;
            // trak > mdia > minf > stbl > stsz
            detail::byte_span level = trak.payload;
            for (const char* name : {"mdia", "minf", "stbl", "stsz"}) {
                std::vector<detail::box> inner;
                detail::split_boxes(level, inner);
                const detail::box* next = nullptr;
                for (const detail::box& x : inner) {
                    if (detail::fourcc_text(x.type) == name) next = &x;
                }
                level = next != nullptr ? next->payload : detail::byte_span{};
            }
            detail::byte_reader r(level);
            r.skip(8);  // version, flags, constant size
            out.samples.push_back(r.ok() && level.size() >= 12 ? std::int64_t(r.u32()) : -1);
        }
    }
    return out;
}

}  // namespace palvex_test
