#include "karvon/work/wait_item.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Karvon::Work::wait;
using Karvon::Work::wait_item;

constexpr std::uint32_t k_infinite = 0xFFFFFFFFu;
// Long enough for any loaded machine; only a broken library ever reaches it.
constexpr std::uint32_t k_generous_ms = 120000;

// Shared with threads that outlive the test that started them: never destroyed.
struct board {
    std::atomic<std::int32_t> arrived{0};
    std::atomic<std::int32_t> finished{0};
    std::atomic<bool> release{false};
};

struct test_item : wait_item {
    enum e_mode : std::int32_t { e_block_forever, e_meet_then_return };
    test_item(board* b, e_mode m, std::int32_t group)
        : wait_item(&run), shared(b), mode(m), group_size(group) {}

    static std::int32_t run(wait_item* item) {
        test_item* self = static_cast<test_item*>(item);
        self->seen_self.store(item, std::memory_order_release);
        board& b = *self->shared;
        const std::int32_t now = b.arrived.fetch_add(1) + 1;
        if (self->mode == e_block_forever) {
            b.release.wait(false);  // nobody ever sets it
            return 1;
        }
        // Return only when the whole group is running at the same time.
        if (now == self->group_size) {
            b.arrived.notify_all();
        }
        for (std::int32_t seen = b.arrived.load(); seen < self->group_size;
             seen = b.arrived.load()) {
            b.arrived.wait(seen);
        }
        b.finished.fetch_add(1);
        return 0;
    }

    board* shared;
    e_mode mode;
    std::int32_t group_size;
    std::atomic<wait_item*> seen_self{nullptr};
    std::uint8_t payload[200] = {};
};

// Launched items live as long as the process; keep them reachable.
void keep_forever(wait_item* item) {
    static std::vector<wait_item*>* const kept = new std::vector<wait_item*>;
    kept->push_back(item);
}

// The wait returns once the run entry is about to be called; what the entry
// does next happens on its own thread, so look for it until it shows.
void spin_until(const std::atomic<std::int32_t>& counter, std::int32_t target) {
    while (counter.load() < target) std::this_thread::yield();
}

TEST(wait_item, runs_every_item_at_once_however_many_never_return) {
    board* const forever = new board;
    board* const group = new board;
    constexpr std::int32_t k_blocked = 12;
    constexpr std::int32_t k_group = 12;

    std::vector<test_item*> items;
    for (std::int32_t i = 0; i < k_blocked; ++i) {
        items.push_back(new test_item(forever, test_item::e_block_forever, 0));
    }
    // Each of these returns only once all of them run together, beside the
    // blocked ones: a bounded pool would never let them all start.
    for (std::int32_t i = 0; i < k_group; ++i) {
        items.push_back(new test_item(group, test_item::e_meet_then_return, k_group));
    }
    bool all_started = true;
    for (test_item* item : items) {
        // The item's whole concrete size is its own (the address sanitizer
        // sees a write past a short allocation).
        for (std::uint8_t& byte : item->payload) byte = 0xA5;
        keep_forever(item);
        item->launch(0);
        all_started = wait{item}(k_generous_ms) && all_started;
    }
    ASSERT_TRUE(all_started);
    for (std::int32_t done = group->finished.load(); done < k_group;
         done = group->finished.load()) {
        std::this_thread::yield();
    }
    // Each blocked item's wait returned as its entry was about to be called;
    // the entry itself may not have run yet on a loaded machine.
    spin_until(forever->arrived, k_blocked);
    EXPECT_EQ(forever->arrived.load(), k_blocked);
    EXPECT_EQ(forever->finished.load(), 0);
    // The run entry is called with the item's own address.
    for (test_item* item : items) {
        EXPECT_EQ(item->seen_self.load(std::memory_order_acquire), item);
        EXPECT_EQ(item->state.load(), wait_item::e_state_started);
    }
}

TEST(wait_item, infinite_wait_returns_while_the_item_still_runs) {
    board* const forever = new board;
    test_item* item = new test_item(forever, test_item::e_block_forever, 0);
    item->launch(0);
    const wait handle(item);
    const wait copy = handle;  // copies wait on the same item
    EXPECT_TRUE(handle(k_infinite));
    EXPECT_TRUE(copy(0));
    EXPECT_EQ(copy.item(), item);
    EXPECT_EQ(forever->finished.load(), 0);
}

// Runs a wait on a detached thread of its own, so that the test can bound
// how long it waits for it; a wait that overstays is left behind. A wait
// refused because the item is not launched (yet) is asked again.
std::future<bool> wait_on_thread(const wait& handle, std::uint32_t timeout_ms) {
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> result = done->get_future();
    std::thread([handle, timeout_ms, done] {
        for (;;) {
            try {
                done->set_value(handle(timeout_ms));
                return;
            } catch (const std::logic_error&) {
                std::this_thread::yield();
            }
        }
    }).detach();
    return result;
}

bool ready_within(std::future<bool>& result, std::chrono::milliseconds bound) {
    return result.wait_for(bound) == std::future_status::ready;
}

TEST(wait_item, wait_times_out_in_milliseconds_while_the_run_entry_has_not_started) {
    board* const b = new board;
    test_item* item = new test_item(b, test_item::e_block_forever, 0);
    keep_forever(item);
    // Launched as far as the bookkeeping goes, but no thread will start it.
    item->state.store(wait_item::e_state_launched);
    const wait handle(item);
    EXPECT_FALSE(handle(0));
    const auto start = std::chrono::steady_clock::now();
    std::future<bool> waited = wait_on_thread(handle, 30);
    // 30 ms, not 30 s: a time-out read in the wrong unit overstays this bound.
    ASSERT_TRUE(ready_within(waited, std::chrono::seconds(10)))
        << "wait(30) still waits after 10 s";
    EXPECT_FALSE(waited.get());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(b->arrived.load(), 0);
}

// Two threads wait on two items; the item waited on last starts first. Its
// waiter must wake although the other one, waiting longer, has nothing yet.
TEST(wait_item, each_waiter_wakes_when_its_own_item_starts) {
    board* const b = new board;
    test_item* first = new test_item(b, test_item::e_block_forever, 0);
    test_item* second = new test_item(b, test_item::e_block_forever, 0);
    for (test_item* item : {first, second}) {
        keep_forever(item);
        item->state.store(wait_item::e_state_launched);  // waits allowed, no thread yet
    }
    // (A wait that begins while the item is put back for its real launch
    // below is refused, and asked again.)
    std::future<bool> first_waiter = wait_on_thread(wait{first}, k_infinite);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::future<bool> second_waiter = wait_on_thread(wait{second}, k_infinite);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // both asleep

    second->state.store(wait_item::e_state_created);
    second->launch(0);
    EXPECT_TRUE(ready_within(second_waiter, std::chrono::seconds(10)))
        << "the second item started, but its waiter slept on";
    EXPECT_FALSE(ready_within(first_waiter, std::chrono::milliseconds(0)));

    first->state.store(wait_item::e_state_created);
    first->launch(0);
    ASSERT_TRUE(ready_within(first_waiter, std::chrono::seconds(10)));
    ASSERT_TRUE(ready_within(second_waiter, std::chrono::seconds(10)));
    EXPECT_TRUE(first_waiter.get());
    EXPECT_TRUE(second_waiter.get());
    spin_until(b->arrived, 2);
}

TEST(wait_item, rejects_bad_use_with_clear_errors) {
    board* const b = new board;
    test_item* item = new test_item(b, test_item::e_block_forever, 0);

    EXPECT_THROW(wait{nullptr}(0), std::invalid_argument);
    EXPECT_THROW(wait{item}(k_infinite), std::logic_error);  // never launched
    EXPECT_THROW(item->launch(1), std::invalid_argument);    // only 0 is known
    EXPECT_EQ(item->state.load(), wait_item::e_state_created);

    const wait_item::fcn_run_type run = item->fcn_run;
    item->fcn_run = nullptr;
    EXPECT_THROW(item->launch(0), std::invalid_argument);
    item->fcn_run = run;

    item->launch(0);
    EXPECT_THROW(item->launch(0), std::logic_error);
    EXPECT_TRUE(wait{item}(k_generous_ms));
    spin_until(b->arrived, 1);
    EXPECT_EQ(b->arrived.load(), 1);  // launched once only

    EXPECT_THROW(wait_item::operator new(sizeof(wait_item) - 1), std::invalid_argument);
    EXPECT_THROW(wait_item::operator new(0), std::invalid_argument);
    // An item never launched may be deleted through its class.
    delete new test_item(b, test_item::e_block_forever, 0);
}

}  // namespace
