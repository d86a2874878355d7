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

using access = critical_section_access;
using counting = read_write_lock_access;

std::uint32_t owner_of(critical_section& cs) {
    return access::owner(cs).load();
}

class CountingLock : public ::testing::Test {
  protected:
    void SetUp() override { counting::install(); }
    void TearDown() override { counting::uninstall(); }
};

TEST(CriticalSection, PlatformEntryPointsAreSetBeforeMainRuns) {
    EXPECT_TRUE(counting::real_entry_points_set());
}

TEST_F(CountingLock, NestedTakesTouchTheSlimLockOnlyAtTheOutermostLevel) {
    critical_section cs;
    cs.lock();
    cs.lock();
    cs.lock();
    EXPECT_EQ(counting::acquires.load(), 1);
    EXPECT_EQ(owner_of(cs), GetCurrentThreadId());
    EXPECT_EQ(access::recursion(cs), 2u);
    cs.unlock();
    cs.unlock();
    EXPECT_EQ(counting::releases.load(), 0);
    EXPECT_EQ(owner_of(cs), GetCurrentThreadId());
    cs.unlock();
    EXPECT_EQ(counting::releases.load(), 1);
    EXPECT_EQ(owner_of(cs), 0u);
    EXPECT_EQ(access::recursion(cs), 0u);
}

TEST(CriticalSection, TakenAndGivenBackOnceIsExactlyAsConstructed) {
    critical_section fresh;
    critical_section used;
    used.lock();
    used.unlock();
    EXPECT_EQ(std::memcmp(&fresh, &used, sizeof(critical_section)), 0);
    EXPECT_EQ(owner_of(used), 0u);
    EXPECT_EQ(access::recursion(used), 0u);
}

// A second thread waits while the first holds any number of levels and gets
// the lock with no levels of its own beyond the first.
TEST(CriticalSection, SecondThreadWaitsForTheLastUnlock) {
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
            recursion_seen = access::recursion(cs);
            owner_seen = owner_of(cs);
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
        EXPECT_EQ(owner_of(cs), 0u);
    }
}

TEST(CriticalSection, ExcludesUnderContentionWithNestedTakes) {
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
    EXPECT_EQ(owner_of(cs), 0u);
    EXPECT_EQ(access::recursion(cs), 0u);
}

TEST(CriticalSection, RecursionCountsUpToManyLevels) {
    critical_section cs;
    constexpr int k_levels = 100000;
    for (int i = 0; i < k_levels; ++i) cs.lock();
    EXPECT_EQ(access::recursion(cs), static_cast<std::uint32_t>(k_levels - 1));
    for (int i = 0; i < k_levels; ++i) cs.unlock();
    EXPECT_EQ(owner_of(cs), 0u);
}

// Destroying a lock, as a library does at unload whatever its state, leaves a
// holder undisturbed: the bytes that another thread relies on stay as they were.
TEST(CriticalSection, DestructorLeavesAHeldLockAlone) {
    alignas(critical_section) unsigned char storage[sizeof(critical_section)];
    auto* cs = new (storage) critical_section;
    cs->lock();
    cs->lock();
    unsigned char before[sizeof(critical_section)];
    std::memcpy(before, storage, sizeof before);
    cs->~critical_section();
    EXPECT_EQ(std::memcmp(before, storage, sizeof before), 0);
}

}  // namespace
}  // namespace Karvon::Threads
