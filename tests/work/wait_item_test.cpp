#include "karvon/work/wait_item.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
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

TEST(WaitItem, RunsEveryItemAtOnceHoweverManyNeverReturn) {
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
        keep_forever(item);
        item->launch(0);
        all_started = wait{item}(k_generous_ms) && all_started;
    }
    ASSERT_TRUE(all_started);
    for (std::int32_t done = group->finished.load(); done < k_group;
         done = group->finished.load()) {
        std::this_thread::yield();
    }
    EXPECT_EQ(forever->arrived.load(), k_blocked);
    EXPECT_EQ(forever->finished.load(), 0);
    // The run entry is called with the item's own address.
    for (test_item* item : items) {
        EXPECT_EQ(item->seen_self.load(std::memory_order_acquire), item);
        EXPECT_EQ(item->state.load(), wait_item::e_state_started);
    }
}

TEST(WaitItem, InfiniteWaitReturnsWhileTheItemStillRuns) {
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

TEST(WaitItem, WaitTimesOutWhileTheRunEntryHasNotStarted) {
    board local;
    board* const b = &local;
    test_item item(b, test_item::e_block_forever, 0);
    // Launched as far as the bookkeeping goes, but no thread will start it.
    item.state.store(wait_item::e_state_launched);
    const wait handle(&item);
    EXPECT_FALSE(handle(0));
    EXPECT_FALSE(handle(30));
    EXPECT_EQ(b->arrived.load(), 0);
}

TEST(WaitItem, RejectsBadUseWithClearErrors) {
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
}

TEST(WaitItem, AllocatesTheConcreteSizeAndFreesIt) {
    // Unlaunched items may be deleted; ASan checks the whole concrete size.
    board b;
    test_item* item = new test_item(&b, test_item::e_block_forever, 0);
    for (std::uint8_t& byte : item->payload) byte = 0xA5;
    EXPECT_EQ(item->payload[sizeof(item->payload) - 1], 0xA5);
    delete item;

    void* raw = wait_item::operator new(sizeof(wait_item));
    ASSERT_NE(raw, nullptr);
    wait_item::operator delete(raw);
}

}  // namespace
