// Threads that start their work together, to make races likely.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace tovrel_test {

// Runs body(i) for i in [0, count) on threads of their own that start
// together, and waits for all of them.
template <typename Body>
void on_threads_at_once(int count, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < count) std::this_thread::yield();
            body(i);
        });
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace tovrel_test
