// Reference-counted video frames.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "karvon/wendrix/export.h"

namespace Karvon::Wendrix::video {

// A picture in a pooled, SIMD-aligned buffer. Created with the class's own
// operator new, ended only by release(); never deleted by its user. Bad
// construction values throw std::invalid_argument with a message.
class KARVON_WENDRIX_API message final {
  public:
    enum e_data_format : std::int32_t {
        // 8-bit 4:2:0 planar Y, U, V; chroma planes half width, half height.
        e_data_format_yuv420p = 0,
    };
    enum e_field_type : std::int32_t {
        e_field_type_unknown = 0,
        e_field_type_top_field_first = 1,
        e_field_type_bottom_field_first = 2,
        e_field_type_progressive = 3,
    };

    static constexpr std::int32_t k_max_dimension = 16384;
    static constexpr std::int32_t k_plane_alignment = 64;

    static void* operator new(std::size_t size);
    static void operator delete(void* storage) noexcept;

    // A black frame (Y 16, U and V 128), field type unknown, count 1.
    message(e_data_format data_format, std::int32_t width, std::int32_t height);

    message(const message&) = delete;
    message& operator=(const message&) = delete;

    e_field_type& field_type() { return m_field_type; }
    e_field_type field_type() const { return m_field_type; }
    e_data_format data_format() const { return m_data_format; }
    std::int32_t width() const { return m_width; }
    std::int32_t height() const { return m_height; }

    // Planes 0 (Y), 1 (U), 2 (V). Each plane starts on a 64-byte boundary, its
    // stride is a multiple of 64, and at least 64 readable bytes follow it.
    // An index outside 0..2 gives a null plane and zero sizes. Pictures are
    // changed only through the non-const plane(); a frame whose planes were
    // never asked for that way goes back to the pool known to be black.
    std::uint8_t* plane(std::int32_t index) {
        if (index < 0 || index >= 3) return nullptr;
        m_written = true;
        return m_planes[index];
    }
    const std::uint8_t* plane(std::int32_t index) const {
        return index >= 0 && index < 3 ? m_planes[index] : nullptr;
    }
    std::int32_t stride(std::int32_t index) const {
        return index >= 0 && index < 3 ? m_strides[index] : 0;
    }
    std::int32_t plane_width(std::int32_t index) const;
    std::int32_t plane_height(std::int32_t index) const;
    // The one buffer that holds all planes, plane 0 at its start.
    std::size_t buffer_size() const { return m_buffer_size; }

    // Takes one more hold; returns the new count.
    std::int32_t addref() const;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
    // Gives up one hold and returns the new count; at 0 the message is
    // destroyed and its storage goes back to the class's pool.
    const std::int32_t release() const;
#pragma GCC diagnostic pop

  private:
    ~message();

    mutable std::atomic<std::int32_t> m_references;
    e_data_format m_data_format;
    e_field_type m_field_type;
    std::int32_t m_width;
    std::int32_t m_height;
    std::uint8_t* m_buffer;
    std::size_t m_buffer_size;
    std::uint8_t* m_planes[3];
    std::int32_t m_strides[3];
    bool m_written;
};

}  // namespace Karvon::Wendrix::video
