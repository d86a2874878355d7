// The signal that wakes waiters when an item's run entry starts.
//
// A waiter looks at the item's state and goes to sleep under the signal's
// mutex; the start is stored under the same mutex, and only then are the
// waiters woken. A start stored without the mutex could fall between a
// waiter's look and its sleep: that waiter would miss the wake-up and sleep
// on, for ever when it waits without a limit.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Karvon::Work::detail {

class start_signal {
  public:
    // Stores `started` into `state` and wakes every waiter.
    void publish(std::atomic<std::uint32_t>& state, std::uint32_t started) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            state.store(started, std::memory_order_release);
        }
        m_started.notify_all();
    }

    // Sleeps until `done()`, which is asked under the mutex, holds.
    template <typename predicate>
    void wait(predicate done) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_started.wait(lock, done);
    }

    // The same, or until the deadline; returns `done()`.
    template <typename predicate>
    bool wait_until(std::chrono::steady_clock::time_point deadline, predicate done) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_started.wait_until(lock, deadline, done);
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_started;
};

}  // namespace Karvon::Work::detail
