// A recording's storage in memory, with a disk of chosen capacity behind it
// and faults on demand: the recorder's I/O paths without a file system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage.h"

namespace palvex_test {

namespace detail = Selmet::Palvex::detail;

class memory_file final : public detail::storage {
  public:
    // Bytes of the disk that this file may take: its data and the room
    // allocated beyond it. Writes past it are written in part, then fail.
    std::int64_t capacity = INT64_MAX;
    std::int64_t limit = -1;  // the file-size limit: writes past it fail
    bool can_allocate = true;
    // Faults at the n-th call (counted from 1; 0: never).
    std::int32_t fail_write = 0;
    std::int32_t fail_sync = 0;
    // Another program takes the disk's free room after this many writes.
    std::int32_t fill_disk_after_writes = 0;

    std::vector<std::uint8_t> bytes;
    std::int64_t allocated = 0;  // room from the start of the file
    std::int32_t writes = 0;
    std::int32_t syncs = 0;
    std::int32_t allocations = 0;
    // Sizes of the file at each sync, in order.
    std::vector<std::int64_t> synced_sizes;

    std::int64_t used() const { return std::max(std::int64_t(bytes.size()), allocated); }

    detail::fault write_at(std::int64_t position, std::span<const std::uint8_t> data) override;
    detail::fault read_at(std::int64_t position, std::span<std::uint8_t> out) override;
    detail::fault size(std::int64_t& out) override;
    detail::fault sync() override;
    detail::fault truncate(std::int64_t size) override;
    e_room allocate(std::int64_t end, std::string& reason) override;
    std::int64_t size_limit() const override { return limit; }
    void close() override { closed = true; }
    bool closed = false;
};

}  // namespace palvex_test
