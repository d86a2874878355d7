// Work items on threads of their own, and waits for their start.
//
// Every launched item gets a detached thread, so any number of items that
// never return run side by side. Nothing here joins, stops or tracks those
// threads: process exit does not wait for them, and the only state they share
// (the start signal) is allocated once and never destroyed, so static
// destruction at exit cannot pull it from under a thread that is starting.
#include "karvon/work/wait_item.h"

#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "start_signal.h"

namespace Karvon::Work {

namespace {

constexpr std::uint32_t k_infinite = 0xFFFFFFFFu;
constexpr std::uint32_t k_normal_priority = 0;

// Wakes waiters when an item's run entry starts; one for all items.
detail::start_signal& shared_start_signal() {
    // Deliberately never destroyed: see the note at the top of the file.
    static detail::start_signal* const signal = new detail::start_signal;
    return *signal;
}

void run_on_this_thread(wait_item* item) {
    shared_start_signal().publish(item->state, wait_item::e_state_started);
    // The item's status is its own business; an exception leaves through
    // this thread like any escaping a thread function.
    item->fcn_run(item);
}

}  // namespace

void* wait_item::operator new(std::size_t size) {
    if (size < sizeof(wait_item)) {
        throw std::invalid_argument("Karvon::Work::wait_item::operator new: size " +
                                    std::to_string(size) + " is smaller than a wait_item (" +
                                    std::to_string(sizeof(wait_item)) + " bytes)");
    }
    return ::operator new(size);  // throws std::bad_alloc, never returns null
}

void wait_item::operator delete(void* storage) noexcept {
    ::operator delete(storage);
}

void wait_item::launch(std::uint32_t priority) {
    if (priority != k_normal_priority) {
        throw std::invalid_argument("Karvon::Work::wait_item::launch: priority " +
                                    std::to_string(priority) +
                                    " is not supported (0 is the normal priority)");
    }
    if (fcn_run == nullptr) {
        throw std::invalid_argument("Karvon::Work::wait_item::launch: the item has no run entry");
    }
    std::uint32_t expected = e_state_created;
    if (!state.compare_exchange_strong(expected, e_state_launched, std::memory_order_acq_rel)) {
        throw std::logic_error("Karvon::Work::wait_item::launch: the item was already launched");
    }
    try {
        std::thread(&run_on_this_thread, this).detach();
    } catch (...) {
        state.store(e_state_created, std::memory_order_release);
        throw;  // std::system_error: no thread could be started
    }
}

bool wait::operator()(std::uint32_t timeout_ms) const {
    if (m_item == nullptr) {
        throw std::invalid_argument("Karvon::Work::wait: the handle holds no item");
    }
    const auto started = [item = m_item] {
        return item->state.load(std::memory_order_acquire) == wait_item::e_state_started;
    };
    if (started()) return true;
    if (m_item->state.load(std::memory_order_acquire) == wait_item::e_state_created) {
        throw std::logic_error("Karvon::Work::wait: the item was never launched");
    }
    if (timeout_ms == 0) return false;

    detail::start_signal& signal = shared_start_signal();
    if (timeout_ms == k_infinite) {
        signal.wait(started);
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    return signal.wait_until(deadline, started);
}

}  // namespace Karvon::Work
