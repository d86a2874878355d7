// Holds on messages: each message starts with one, every addref() takes one
// more, and the release() that gives up the last destroys the message, which
// returns its storage to its class's pool. One place for both message kinds.
#include <atomic>
#include <cstdint>

#include "karvon/wendrix/audio_message.h"
#include "karvon/wendrix/video_message.h"

#pragma GCC diagnostic ignored "-Wignored-qualifiers"  // the interface's const results

namespace Karvon::Wendrix {

namespace {

std::int32_t take_hold(std::atomic<std::int32_t>& holds) {
    return holds.fetch_add(1, std::memory_order_relaxed) + 1;
}

// The new count; the caller destroys the message at 0. The release order
// makes every write to the message happen before its destruction.
std::int32_t give_up_hold(std::atomic<std::int32_t>& holds) {
    return holds.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

}  // namespace

std::int32_t video::message::addref() const {
    return take_hold(m_references);
}

const std::int32_t video::message::release() const {
    const std::int32_t left = give_up_hold(m_references);
    if (left == 0) delete this;
    return left;
}

std::int32_t audio::message::addref() const {
    return take_hold(m_references);
}

const std::int32_t audio::message::release() const {
    const std::int32_t left = give_up_hold(m_references);
    if (left == 0) delete this;
    return left;
}

}  // namespace Karvon::Wendrix
