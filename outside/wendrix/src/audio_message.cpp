#include "karvon/wendrix/audio_message.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "block_pool.h"

namespace Karvon::Wendrix::audio {

namespace {
// Tag of a sample buffer that holds only zeros.
constexpr std::uint64_t k_silent = 1;
}  // namespace

void* message::operator new(std::size_t size) {
    std::uint64_t tag = 0;
    return detail::object_pool().take(size, detail::block_pool::k_unknown, tag);
}

void message::operator delete(void* storage) noexcept {
    detail::object_pool().give(storage, sizeof(message), detail::block_pool::k_unknown);
}

message::message(std::int32_t samples, std::int32_t channels, std::int32_t channel_stride)
    : m_references(1),
      m_samples(samples),
      m_channels(channels),
      m_channel_stride(channel_stride == 0 ? samples : channel_stride),
      m_sample_rate(k_default_sample_rate),
      m_data(nullptr),
      m_data_size(0),
      m_written(false) {
    if (samples < 1 || samples > k_max_samples) {
        throw std::invalid_argument("audio::message: sample count " + std::to_string(samples) +
                                    " is outside 1.." + std::to_string(k_max_samples));
    }
    if (channels < 1 || channels > k_max_channels) {
        throw std::invalid_argument("audio::message: channel count " + std::to_string(channels) +
                                    " is outside 1.." + std::to_string(k_max_channels));
    }
    if (channel_stride != 0 && (channel_stride < samples || channel_stride > k_max_samples)) {
        throw std::invalid_argument("audio::message: channel stride " +
                                    std::to_string(channel_stride) + " is outside " +
                                    std::to_string(samples) + ".." + std::to_string(k_max_samples) +
                                    " (or 0 for packed planes)");
    }
    m_data_size = std::size_t(m_channel_stride) * std::size_t(channels) * sizeof(float);
    std::uint64_t tag = 0;
    m_data = static_cast<float*>(detail::sample_pool().take(m_data_size, k_silent, tag));
    if (tag != k_silent) std::memset(m_data, 0, m_data_size);
}

message::~message() {
    detail::sample_pool().give(m_data, m_data_size,
                               m_written ? detail::block_pool::k_unknown : k_silent);
}

}  // namespace Karvon::Wendrix::audio
