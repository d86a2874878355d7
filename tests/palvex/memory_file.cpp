#include "memory_file.h"

#include <algorithm>
#include <cstring>

namespace palvex_test {

using detail::failure;

detail::fault memory_file::write_at(std::int64_t position, std::span<const std::uint8_t> data) {
    ++writes;
    if (fill_disk_after_writes != 0 && writes > fill_disk_after_writes) capacity = used();
    if (writes == fail_write) return failure(detail::e_fault_write, "Input/output error");
    const std::int64_t end = position + std::int64_t(data.size());
    // What fits goes in, as on a disk that fills up during a write.
    std::int64_t room = std::max<std::int64_t>(capacity, allocated);
    if (limit >= 0) room = std::min(room, limit);
    const std::int64_t fits = std::min(end, room);
    if (fits > position && !data.empty()) {
        if (fits > std::int64_t(bytes.size())) bytes.resize(std::size_t(fits));
        std::memcpy(bytes.data() + position, data.data(), std::size_t(fits - position));
    }
    if (fits < end) {
        return failure(detail::e_fault_write,
                       fits == limit ? "File too large" : "No space left on device");
    }
    return {};
}

detail::fault memory_file::read_at(std::int64_t position, std::span<std::uint8_t> out) {
    if (position < 0 || position > std::int64_t(bytes.size()) ||
        std::int64_t(out.size()) > std::int64_t(bytes.size()) - position) {
        return failure(detail::e_fault_write, "the file ends early");
    }
    if (!out.empty()) std::memcpy(out.data(), bytes.data() + position, out.size());
    return {};
}

detail::fault memory_file::size(std::int64_t& out) {
    out = std::int64_t(bytes.size());
    return {};
}

detail::fault memory_file::sync() {
    ++syncs;
    if (syncs == fail_sync) return failure(detail::e_fault_write, "Input/output error");
    synced_sizes.push_back(std::int64_t(bytes.size()));
    return {};
}

detail::fault memory_file::truncate(std::int64_t size) {
    bytes.resize(std::size_t(size));
    // As on the common file systems, the room beyond the end goes with it.
    allocated = std::min(allocated, size);
    return {};
}

detail::storage::e_room memory_file::allocate(std::int64_t end, std::string& reason) {
    ++allocations;
    if (!can_allocate) {
        reason = "Operation not supported";
        return e_room_unsupported;
    }
    if (std::max(end, std::int64_t(bytes.size())) > capacity) {
        reason = "No space left on device";
        return e_room_full;
    }
    allocated = std::max(allocated, end);
    return e_room_done;
}

}  // namespace palvex_test
