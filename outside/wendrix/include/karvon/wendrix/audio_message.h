// Reference-counted blocks of audio samples.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "karvon/wendrix/export.h"

namespace Karvon::Wendrix::audio {

// A block of 32-bit float samples, one plane per channel, in a pooled
// buffer. Created with the class's own operator new, ended only by
// release(). Bad construction values throw std::invalid_argument.
class KARVON_WENDRIX_API message final {
  public:
    static constexpr std::int32_t k_max_samples = 1 << 20;
    static constexpr std::int32_t k_max_channels = 64;
    static constexpr std::int32_t k_default_sample_rate = 48000;

    static void* operator new(std::size_t size);
    static void operator delete(void* storage) noexcept;

    // Silent samples. channel_stride is the distance between the starts of
    // two channel planes, in samples; 0 packs the planes one after another.
    message(std::int32_t samples, std::int32_t channels, std::int32_t channel_stride);

    message(const message&) = delete;
    message& operator=(const message&) = delete;

    std::int32_t& sample_rate() { return m_sample_rate; }
    std::int32_t sample_rate() const { return m_sample_rate; }
    std::int32_t samples() const { return m_samples; }
    std::int32_t channels() const { return m_channels; }
    std::int32_t channel_stride() const { return m_channel_stride; }
    // Plane of one channel; null for an index outside 0..channels()-1.
    // Samples are changed only through the non-const channel().
    float* channel(std::int32_t index) {
        if (index < 0 || index >= m_channels) return nullptr;
        m_written = true;
        return m_data + std::size_t(index) * std::size_t(m_channel_stride);
    }
    const float* channel(std::int32_t index) const {
        if (index < 0 || index >= m_channels) return nullptr;
        return m_data + std::size_t(index) * std::size_t(m_channel_stride);
    }

    std::int32_t addref() const;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
    const std::int32_t release() const;
#pragma GCC diagnostic pop

  private:
    ~message();

    mutable std::atomic<std::int32_t> m_references;
    std::int32_t m_samples;
    std::int32_t m_channels;
    std::int32_t m_channel_stride;  // in samples, never 0 after construction
    std::int32_t m_sample_rate;
    float* m_data;
    std::size_t m_data_size;
    bool m_written;
};

}  // namespace Karvon::Wendrix::audio
