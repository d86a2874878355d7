// Work items that run on threads of the work library, and handles to wait on them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "karvon/work/export.h"

namespace Karvon::Work {

// A unit of work. A user derives a concrete item, stores what its run entry
// needs beside the base, allocates it with wait_item::operator new and calls
// launch(). The library calls the run entry with the item's address on a
// thread of its own; an item may run forever.
class KARVON_WORK_API wait_item {
  public:
    // The run entry: called once, on a library thread, with the item itself.
    using fcn_run_type = std::int32_t (*)(wait_item* item);

    explicit wait_item(fcn_run_type run_entry) : fcn_run(run_entry) {}

    wait_item(const wait_item&) = delete;
    wait_item& operator=(const wait_item&) = delete;

    // Storage for an item of the given (concrete) size; never returns null
    // (throws std::bad_alloc when memory is exhausted).
    static void* operator new(std::size_t size);
    static void operator delete(void* storage) noexcept;

    // Starts the run entry on a library thread and returns at once.
    // priority 0 is the normal priority.
    void launch(std::uint32_t priority);

    // The run entry slot, read by the library's thread.
    fcn_run_type fcn_run;

    // Library bookkeeping.
    enum e_state : std::uint32_t { e_state_created = 0, e_state_launched = 1, e_state_started = 2 };
    std::atomic<std::uint32_t> state{e_state_created};
};

// A handle to a launched item; holds nothing but the item's address. Copying
// or dropping a handle does nothing to the item.
class KARVON_WORK_API wait {
  public:
    explicit wait(wait_item* item) : m_item(item) {}

    // Waits until the item's run entry has started on its thread (true) or
    // the time-out has passed (false). 0xFFFFFFFF waits without limit.
    bool operator()(std::uint32_t timeout_ms) const;

    wait_item* item() const { return m_item; }

  private:
    wait_item* m_item;
};

}  // namespace Karvon::Work
