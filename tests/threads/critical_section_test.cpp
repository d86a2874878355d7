#include "karvon/threads/critical_section.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "counting_srw/counting_srw.h"

namespace Karvon::Threads {

namespace {

using counting_srw::counter;
using counting_srw::owner;
using counting_srw::recursion;

// Every slim-lock call of the test counted; owner must be 0 at every release.
class counted_lock : public ::testing::Test {
  protected:
    void SetUp() override { counter::install(); }
    void TearDown() override {
        EXPECT_EQ(counter::releases_with_owner.load(), 0)
            << "srw given back before owner was cleared";
        counter::uninstall();
    }
};

TEST_F(counted_lock, nested_takes_touch_the_slim_lock_only_at_the_outermost_level) {
    critical_section cs;
    cs.lock();
    cs.lock();
    cs.lock();
    EXPECT_EQ(counter::acquires.load(), 1);
    EXPECT_EQ(owner(cs), GetCurrentThreadId());
    EXPECT_EQ(recursion(cs), 2u);
    cs.unlock();
    cs.unlock();
    EXPECT_EQ(counter::releases.load(), 0);
    EXPECT_EQ(owner(cs), GetCurrentThreadId());
    cs.unlock();
    EXPECT_EQ(counter::releases.load(), 1);
    EXPECT_EQ(owner(cs), 0u);
    EXPECT_EQ(recursion(cs), 0u);
}

TEST(critical_section_lock, taken_and_given_back_once_is_exactly_as_constructed) {
    critical_section fresh;
    critical_section used;
    used.lock();
    used.unlock();
    EXPECT_EQ(std::memcmp(&fresh, &used, sizeof(critical_section)), 0);
    EXPECT_EQ(owner(used), 0u);
    EXPECT_EQ(recursion(used), 0u);
}

// A second thread waits while the first holds any number of levels and gets
// the lock with no levels of its own beyond the first.
TEST_F(counted_lock, second_thread_waits_for_the_last_unlock) {
    for (int levels : {1, 2, 5}) {
        critical_section cs;
        for (int i = 0; i < levels; ++i) cs.lock();
        std::atomic<bool> got{false};
        std::atomic<std::uint32_t> recursion_seen{99};
        std::atomic<std::uint32_t> owner_seen{0};
        DWORD waiter_id = 0;
        std::thread waiter([&] {
            waiter_id = GetCurrentThreadId();
            cs.lock();
            recursion_seen = recursion(cs);
            owner_seen = owner(cs);
            got = true;
            cs.unlock();
        });
        for (int i = 0; i < levels; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            EXPECT_FALSE(got.load()) << "levels " << levels << " after " << i << " unlocks";
            cs.unlock();
        }
        waiter.join();
        EXPECT_TRUE(got.load());
        EXPECT_EQ(recursion_seen.load(), 0u);
        EXPECT_EQ(owner_seen.load(), waiter_id);
        EXPECT_EQ(owner(cs), 0u);
    }
}

// Under contention a release that gives srw back before clearing owner lets
// the next holder's id be wiped, and its nested take then waits for itself:
// the counting release sees owner still set.
TEST_F(counted_lock, excludes_under_contention_with_nested_takes) {
    critical_section cs;
    constexpr int k_threads = 8;
    constexpr int k_rounds = 5000;
    std::int64_t counter = 0;  // plain: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < k_threads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < k_rounds; ++i) {
                const int depth = 1 + (i + t) % 3;
                for (int d = 0; d < depth; ++d) cs.lock();
                const std::int64_t seen = counter;
                if ((i & 127) == 0) std::this_thread::yield();
                counter = seen + 1;
                for (int d = 0; d < depth; ++d) cs.unlock();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, static_cast<std::int64_t>(k_threads) * k_rounds);
    EXPECT_EQ(owner(cs), 0u);
    EXPECT_EQ(recursion(cs), 0u);
}

TEST(critical_section_lock, recursion_counts_up_to_many_levels) {
    critical_section cs;
    constexpr int k_levels = 100000;
    for (int i = 0; i < k_levels; ++i) cs.lock();
    EXPECT_EQ(recursion(cs), static_cast<std::uint32_t>(k_levels - 1));
    for (int i = 0; i < k_levels; ++i) cs.unlock();
    EXPECT_EQ(owner(cs), 0u);
}

}  // namespace
}  // namespace Karvon::Threads
