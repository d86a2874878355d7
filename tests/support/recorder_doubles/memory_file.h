// A recording's storage in memory, with a disk of chosen capacity behind it
// and faults on demand: the recorder's I/O paths without a file system.
#pragma once

#include <cstdint>
#include <functional>
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
    // Faults at the n-th call (counted from 1; 0: never). Of the write that
    // fails, its first fail_write_lands bytes are written all the same, as
    // when a disk fails part way through.
    std::int32_t fail_write = 0;
    std::int64_t fail_write_lands = 0;
    // Or, where set, its sectors but the last (nothing of a write that lies
    // in one sector), as when the disk fails at its last sector.
    bool fail_write_torn = false;
    std::int32_t fail_sync = 0;
    // Another program takes the disk's free room after this many writes.
    std::int32_t fill_disk_after_writes = 0;
    // A disk that copies on write (and a file it would not mark to be
    // written in place): a write over bytes the file holds needs free room
    // for them too (the old ones are freed once it is done).
    bool copy_on_write = false;
    // Writes that would pass `limit`: where the limit is known, none must
    // come, since the system ends the process for one (SIGXFSZ).
    std::int32_t writes_past_limit = 0;

    std::vector<std::uint8_t> bytes;
    std::int64_t allocated = 0;  // room from the start of the file
    std::int32_t writes = 0;
    std::int32_t syncs = 0;
    std::int32_t allocations = 0;
    // Sizes of the file at each sync, in order.
    std::vector<std::int64_t> synced_sizes;
    // Every change and every sync, in order, once log_changes is set: what
    // a crash may keep of them is any part of those after the last sync.
    struct change {
        enum e_kind { e_write, e_cut, e_sync } kind = e_write;
        std::int64_t position = 0;  // written at, or cut to
        std::vector<std::uint8_t> bytes;
    };
    bool log_changes = false;
    std::vector<change> changes;

    std::int64_t used() const { return std::max(std::int64_t(bytes.size()), allocated); }

    detail::fault write_at(std::int64_t position, std::span<const std::uint8_t> data) override;
    detail::fault read_at(std::int64_t position, std::span<std::uint8_t> out) override;
    detail::fault size(std::int64_t& out) override;
    detail::fault sync() override;
    detail::fault truncate(std::int64_t size) override;
    e_room allocate(std::int64_t end, std::string& reason) override;
    std::int64_t size_limit() const override { return limit; }
    std::string copies_on_write() const override {
        return copy_on_write ? "it could not be set to be written in place: Operation not supported"
                             : "";
    }
    void close() override { closed = true; }
    bool closed = false;
};

// A power loss on a disk like this one: what a file may hold after it, at
// any moment of the changes logged from `start` on. Everything up to the
// last sync before the loss is kept; of the changes after it, any subset
// (each whole or lost, in order), or one write torn at a sector boundary
// (its sectors before the boundary kept, with every change before it in
// that stretch). `visit` sees each state and a label that says which it is.
constexpr std::int64_t k_sector = 512;
using power_loss_visit = std::function<void(const std::vector<std::uint8_t>&, const std::string&)>;
void power_losses(const std::vector<std::uint8_t>& start,
                  const std::vector<memory_file::change>& changes, const power_loss_visit& visit);

// The file after one change.
void apply_change(std::vector<std::uint8_t>& bytes, const memory_file::change& c);

}  // namespace palvex_test
