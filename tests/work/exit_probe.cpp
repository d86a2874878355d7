// Launches items that never return (some spinning, some blocked) and returns
// from main: the process must end at once with status 0.
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "karvon/work/wait_item.h"

namespace {

std::atomic<bool> g_never{false};

struct probe_item : Karvon::Work::wait_item {
    explicit probe_item(bool spin) : wait_item(&run), spin(spin) {}
    static std::int32_t run(wait_item* item) {
        if (static_cast<probe_item*>(item)->spin) {
            volatile std::uint64_t turns = 0;
            while (!g_never.load(std::memory_order_relaxed)) turns = turns + 1;
        } else {
            g_never.wait(false);
        }
        return 0;
    }
    bool spin;
};

// A static whose destructor runs at exit while the items still run.
struct at_exit {
    ~at_exit() { std::printf("static destruction ran\n"); }
} g_at_exit;

}  // namespace

int main() {
    constexpr int k_items = 16;
    int started = 0;
    for (int i = 0; i < k_items; ++i) {
        probe_item* item = new probe_item(i % 2 == 0);
        item->launch(0);
        if (Karvon::Work::wait(item)(0xFFFFFFFFu)) ++started;
    }
    std::printf("all %d items started\n", started);
    return 0;
}
