// The start signal on its own, with the waiter's look at the state and its
// sleep pulled apart: the start is published while a waiter has looked and
// found nothing, but is not asleep yet. That is where a start stored without
// the signal's mutex loses its wake-up.
#include "start_signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>

namespace {

using Karvon::Work::detail::start_signal;

constexpr std::uint32_t k_launched = 1;
constexpr std::uint32_t k_started = 2;

// What a waiter and its publisher share, owned by both: a waiter that never
// wakes keeps it alive.
struct scene {
    start_signal signal;
    std::atomic<std::uint32_t> state{k_launched};
    std::atomic<bool> publishing{false};
    std::atomic<int> looks{0};
};

// The waiter's first look starts the publisher and, still holding the
// mutex (the look is asked under it), gives it time to publish: a publisher
// that takes the mutex waits, one that does not stores the start and wakes
// nobody. The look answers what it saw before the publisher ran.
auto look_while_publishing(const std::shared_ptr<scene>& s) {
    return [s] {
        const bool started = s->state.load() == k_started;
        if (s->looks.fetch_add(1) == 0) {
            std::thread([s] {
                s->publishing.store(true);
                s->signal.publish(s->state, k_started);
            }).detach();
            while (!s->publishing.load()) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return started;
    };
}

// Runs `wait` on a thread of its own, so that the test can bound how long it
// waits for it; a waiter that never wakes is left behind.
template <typename waiting>
std::future<bool> on_thread(waiting wait) {
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> result = done->get_future();
    std::thread([wait, done] { done->set_value(wait()); }).detach();
    return result;
}

TEST(start_signal, a_start_published_between_a_look_and_the_sleep_wakes_the_waiter) {
    const auto unlimited = std::make_shared<scene>();
    std::future<bool> woke = on_thread([unlimited] {
        unlimited->signal.wait(look_while_publishing(unlimited));
        return true;
    });
    ASSERT_EQ(woke.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the start was published while the waiter looked, and the waiter slept on";
    EXPECT_TRUE(woke.get());
    EXPECT_EQ(unlimited->state.load(), k_started);
    EXPECT_GE(unlimited->looks.load(), 2);

    // With a deadline the waiter must wake at the start too, long before it.
    const auto limited = std::make_shared<scene>();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::future<bool> answered = on_thread([limited, deadline] {
        return limited->signal.wait_until(deadline, look_while_publishing(limited));
    });
    ASSERT_EQ(answered.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "a waiter with a deadline slept past the start";
    EXPECT_TRUE(answered.get());
}

TEST(start_signal, a_deadline_passes_without_a_start) {
    start_signal signal;
    std::atomic<std::uint32_t> state{k_launched};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    EXPECT_FALSE(signal.wait_until(deadline, [&state] { return state.load() == k_started; }));
    EXPECT_GE(std::chrono::steady_clock::now(), deadline);
    // Already started: no sleep at all.
    signal.publish(state, k_started);
    EXPECT_TRUE(signal.wait_until(deadline, [&state] { return state.load() == k_started; }));
}

}  // namespace
