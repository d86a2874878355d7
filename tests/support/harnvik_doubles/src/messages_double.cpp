// Messages that record their creation and count their releases. Storage is
// kept until the next reset(), so a release too many is counted, not a crash.
#include <new>

#include "internal.h"
#include "karvon/wendrix/audio_message.h"
#include "karvon/wendrix/video_message.h"

namespace internal = harnvik_doubles::internal;
using harnvik_doubles::e_call;

#pragma GCC diagnostic ignored "-Wignored-qualifiers"  // the interface's const results

namespace {

void* allocate(std::size_t size, e_call kind, internal::e_storage storage_kind) {
    void* const storage = ::operator new(size);
    std::lock_guard<std::mutex> guard(internal::lock());
    internal::keep(storage, storage_kind);
    internal::record_locked({kind, storage, {std::int64_t(size)}, {}});
    return storage;
}

std::int32_t release_one(const void* message, e_call kind) {
    std::lock_guard<std::mutex> guard(internal::lock());
    const std::int32_t left = internal::holds(message) - 1;
    internal::set_holds(message, left);
    internal::record_locked({kind, message, {left}, {}});
    return left;
}

std::int32_t add_one(const void* message) {
    std::lock_guard<std::mutex> guard(internal::lock());
    const std::int32_t now = internal::holds(message) + 1;
    internal::set_holds(message, now);
    return now;
}

}  // namespace

namespace Karvon::Wendrix::video {

void* message::operator new(std::size_t size) {
    return allocate(size, e_call::video_new, internal::e_storage::video);
}

void message::operator delete(void* storage) noexcept {
    ::operator delete(storage);
}

message::message(e_data_format data_format, std::int32_t width, std::int32_t height)
    : m_references(1),
      m_data_format(data_format),
      m_field_type(e_field_type_unknown),
      m_width(width),
      m_height(height),
      m_buffer(nullptr),
      m_buffer_size(0),
      m_planes{},
      m_strides{} {
    std::lock_guard<std::mutex> guard(internal::lock());
    internal::set_holds(this, 1);
    internal::record_locked({e_call::video_construct, this, {data_format, width, height}, {}});
}

message::~message() = default;

std::int32_t message::addref() const {
    return add_one(this);
}

const std::int32_t message::release() const {
    return release_one(this, e_call::video_release);
}

}  // namespace Karvon::Wendrix::video

namespace Karvon::Wendrix::audio {

void* message::operator new(std::size_t size) {
    return allocate(size, e_call::audio_new, internal::e_storage::audio);
}

void message::operator delete(void* storage) noexcept {
    ::operator delete(storage);
}

message::message(std::int32_t samples, std::int32_t channels, std::int32_t channel_stride)
    : m_references(1),
      m_samples(samples),
      m_channels(channels),
      m_channel_stride(channel_stride),
      m_sample_rate(k_default_sample_rate - 1),  // not the rate the soak sets
      m_data(nullptr),
      m_data_size(0) {
    std::lock_guard<std::mutex> guard(internal::lock());
    internal::set_holds(this, 1);
    internal::record_locked(
        {e_call::audio_construct, this, {samples, channels, channel_stride}, {}});
}

message::~message() {
    // The double holds no samples: the size stays 0. Read here so that clang,
    // which sees every member of the class defined in this file, does not
    // call the field unused.
    static_cast<void>(m_data_size);
}

std::int32_t message::addref() const {
    return add_one(this);
}

const std::int32_t message::release() const {
    return release_one(this, e_call::audio_release);
}

}  // namespace Karvon::Wendrix::audio
