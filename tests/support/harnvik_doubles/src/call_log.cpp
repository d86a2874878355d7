#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>
#include <utility>

#include "internal.h"
#include "karvon/wendrix/audio_message.h"
#include "karvon/wendrix/video_message.h"
#include "karvon/work/wait_item.h"

namespace harnvik_doubles {

namespace {

struct state {
    std::mutex mutex;
    script current;
    std::vector<call> log;
    std::map<const void*, std::int32_t> holds;
    std::vector<std::pair<void*, internal::e_storage>> storage;

    std::condition_variable ticks_changed;
    std::vector<std::uint32_t> ticks;
    std::size_t next_tick = 0;
    bool ticks_used_up = false;
};

// Never destroyed: a worker thread blocked in next_tick() outlives the tests.
state& shared() {
    static state* const instance = new state;
    return *instance;
}

}  // namespace

namespace internal {

const script& current_script() {
    return shared().current;
}

std::mutex& lock() {
    return shared().mutex;
}

std::int32_t holds(const void* message) {
    const auto found = shared().holds.find(message);
    return found == shared().holds.end() ? -1 : found->second;
}

void set_holds(const void* message, std::int32_t count) {
    shared().holds[message] = count;
}

void keep(void* storage, e_storage kind) {
    shared().storage.emplace_back(storage, kind);
}

void record_locked(const call& entry) {
    shared().log.push_back(entry);
}

}  // namespace internal

void reset(const script& next) {
    state& s = shared();
    std::lock_guard<std::mutex> guard(s.mutex);
    for (const auto& [storage, kind] : s.storage) {
        switch (kind) {
            case internal::e_storage::item:
                Karvon::Work::wait_item::operator delete(storage);
                break;
            case internal::e_storage::video:
                Karvon::Wendrix::video::message::operator delete(storage);
                break;
            case internal::e_storage::audio:
                Karvon::Wendrix::audio::message::operator delete(storage);
                break;
        }
    }
    s.storage.clear();
    s.holds.clear();
    s.log.clear();
    s.current = next;
}

std::vector<call> calls() {
    std::lock_guard<std::mutex> guard(shared().mutex);
    return shared().log;
}

void record(const call& entry) {
    std::lock_guard<std::mutex> guard(shared().mutex);
    shared().log.push_back(entry);
}

void script_ticks(const std::vector<std::uint32_t>& readings) {
    state& s = shared();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.ticks = readings;
    s.next_tick = 0;
    s.ticks_used_up = false;
}

std::uint32_t next_tick() {
    state& s = shared();
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.next_tick < s.ticks.size()) return s.ticks[s.next_tick++];
        s.ticks_used_up = true;
    }
    s.ticks_changed.notify_all();
    // The caller is an endless loop: park its thread for good. It sleeps on
    // nothing shared: the process may end, and run its static destructors,
    // at any point of this thread's way into the park (an atomic wait would
    // use the C++ library's static waiter pool, destroyed at exit).
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool wait_ticks_used_up(std::uint32_t timeout_ms) {
    state& s = shared();
    std::unique_lock<std::mutex> guard(s.mutex);
    return s.ticks_changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                    [&s] { return s.ticks_used_up; });
}

}  // namespace harnvik_doubles
