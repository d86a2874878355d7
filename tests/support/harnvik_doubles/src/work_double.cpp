// A work library that records launches and waits and starts no thread.
#include <new>

#include "internal.h"
#include "karvon/work/wait_item.h"

namespace Karvon::Work {

using harnvik_doubles::e_call;
namespace internal = harnvik_doubles::internal;

void* wait_item::operator new(std::size_t size) {
    void* const storage = ::operator new(size);
    std::lock_guard<std::mutex> guard(internal::lock());
    internal::keep(storage, internal::e_storage::item);
    internal::record_locked({e_call::item_new, storage, {std::int64_t(size)}, {}});
    return storage;
}

void wait_item::operator delete(void* storage) noexcept {
    ::operator delete(storage);
}

void wait_item::launch(std::uint32_t priority) {
    state.store(e_state_launched);
    harnvik_doubles::record({e_call::item_launch, this, {priority}, {}});
}

bool wait::operator()(std::uint32_t timeout_ms) const {
    std::lock_guard<std::mutex> guard(internal::lock());
    internal::record_locked({e_call::item_wait, m_item, {timeout_ms}, {}});
    return internal::current_script().wait_result;
}

}  // namespace Karvon::Work
