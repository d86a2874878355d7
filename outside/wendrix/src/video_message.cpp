#include "karvon/wendrix/video_message.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "block_pool.h"

namespace Karvon::Wendrix::video {

namespace {
constexpr std::size_t align_up(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Names the contents of a black picture of one size, for the pool's tags.
std::uint64_t black_tag(std::int32_t width, std::int32_t height) {
    return (std::uint64_t(1) << 62) | (std::uint64_t(std::uint32_t(width)) << 31) |
           std::uint64_t(std::uint32_t(height));
}
}  // namespace

void* message::operator new(std::size_t size) {
    std::uint64_t tag = 0;
    return detail::object_pool().take(size, detail::block_pool::k_unknown, tag);
}

void message::operator delete(void* storage) noexcept {
    detail::object_pool().give(storage, sizeof(message), detail::block_pool::k_unknown);
}

message::message(e_data_format data_format, std::int32_t width, std::int32_t height)
    : m_references(1),
      m_data_format(data_format),
      m_field_type(e_field_type_unknown),
      m_width(width),
      m_height(height),
      m_buffer(nullptr),
      m_buffer_size(0),
      m_planes{nullptr, nullptr, nullptr},
      m_strides{0, 0, 0},
      m_written(false) {
    if (data_format != e_data_format_yuv420p) {
        throw std::invalid_argument("video::message: data format " +
                                    std::to_string(std::int32_t(data_format)) +
                                    " does not exist (0 is 8-bit 4:2:0 planar YUV)");
    }
    if (width < 1 || width > k_max_dimension || height < 1 || height > k_max_dimension) {
        throw std::invalid_argument("video::message: frame size " + std::to_string(width) + "x" +
                                    std::to_string(height) + " is outside 1x1 to " +
                                    std::to_string(k_max_dimension) + "x" +
                                    std::to_string(k_max_dimension));
    }
    const std::size_t alignment = std::size_t(k_plane_alignment);
    std::size_t offsets[3];
    std::size_t size = 0;
    for (std::int32_t i = 0; i < 3; ++i) {
        m_strides[i] = std::int32_t(align_up(std::size_t(plane_width(i)), alignment));
        offsets[i] = size;
        size = align_up(size + std::size_t(m_strides[i]) * std::size_t(plane_height(i)), alignment);
    }
    // Room for SIMD readers that run past the last row.
    size += alignment;

    const std::uint64_t black = black_tag(width, height);
    std::uint64_t tag = 0;
    m_buffer = static_cast<std::uint8_t*>(detail::picture_pool().take(size, black, tag));
    m_buffer_size = size;
    for (std::int32_t i = 0; i < 3; ++i) m_planes[i] = m_buffer + offsets[i];
    if (tag != black) {
        std::memset(m_planes[0], 16, std::size_t(m_strides[0]) * std::size_t(plane_height(0)));
        std::memset(m_planes[1], 128, offsets[2] - offsets[1]);
        std::memset(m_planes[2], 128, size - offsets[2]);
    }
}

message::~message() {
    detail::picture_pool().give(
        m_buffer, m_buffer_size,
        m_written ? detail::block_pool::k_unknown : black_tag(m_width, m_height));
}

std::int32_t message::plane_width(std::int32_t index) const {
    if (index == 0) return m_width;
    if (index == 1 || index == 2) return (m_width + 1) / 2;
    return 0;
}

std::int32_t message::plane_height(std::int32_t index) const {
    if (index == 0) return m_height;
    if (index == 1 || index == 2) return (m_height + 1) / 2;
    return 0;
}

}  // namespace Karvon::Wendrix::video
