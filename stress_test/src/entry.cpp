#include "harnvik.h"
#include "os_services.h"

namespace Harnvik {

worker_item::worker_item(fcn_bound_type bound_function, std::int32_t argument)
    : wait_item(&run_item), fcn_bound(bound_function), bound_argument(argument) {}

std::int32_t entry(int /*argc*/, const wchar16* const* /*argv*/) {
    for (std::int32_t index = 0; index < k_worker_count; ++index) {
        const Karvon::Work::wait handle = launch_worker(index);
        handle(k_wait_timeout);  // returns once the worker runs; the result changes nothing
    }
    os::Sleep(k_pause_before_soak_ms);
    record_soak();
    return 0;
}

Karvon::Work::wait launch_worker(std::int32_t index) {
    // The class's own allocation function, asked for the concrete item's size.
    worker_item* const item = new worker_item(&run_copy_worker, index);
    item->launch(k_launch_argument);
    return Karvon::Work::wait(item);
}

std::int32_t run_item(Karvon::Work::wait_item* item) {
    const worker_item* const self = static_cast<const worker_item*>(item);
    self->fcn_bound(self->bound_argument);
    return 0;
}

}  // namespace Harnvik
