#include "memory_file.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace palvex_test {

using detail::failure;

detail::fault memory_file::write_at(std::int64_t position, std::span<const std::uint8_t> data) {
    ++writes;
    if (fill_disk_after_writes != 0 && writes > fill_disk_after_writes) capacity = used();
    if (writes == fail_write) {
        const std::int64_t last_sector =
            (position + std::int64_t(data.size()) - 1) / k_sector * k_sector - position;
        const std::int64_t lands =
            fail_write_torn ? std::max<std::int64_t>(last_sector, 0)
                            : std::min<std::int64_t>(fail_write_lands, std::int64_t(data.size()));
        if (lands > 0) {
            const std::int32_t again = fail_write;
            fail_write = 0;
            --writes;
            write_at(position, data.first(std::size_t(lands)));
            fail_write = again;
        }
        return failure(detail::e_fault_write, "Input/output error");
    }
    const std::int64_t end = position + std::int64_t(data.size());
    if (limit >= 0 && end > limit) ++writes_past_limit;
    if (copy_on_write) {
        const std::int64_t size = std::int64_t(bytes.size());
        const std::int64_t over = std::max<std::int64_t>(0, std::min(end, size) - position);
        const std::int64_t grows = std::max<std::int64_t>(0, end - std::max(size, allocated));
        if (over > 0 && capacity != INT64_MAX && over + grows > capacity - used()) {
            return failure(detail::e_fault_write, "No space left on device");
        }
    }
    // What fits goes in, as on a disk that fills up during a write.
    std::int64_t room = std::max<std::int64_t>(capacity, allocated);
    if (limit >= 0) room = std::min(room, limit);
    const std::int64_t fits = std::min(end, room);
    if (log_changes && fits > position) {
        changes.push_back(
            change{change::e_write, position, {data.begin(), data.begin() + (fits - position)}});
    }
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
        return failure(detail::e_fault_read, "the file ends early");
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
    if (log_changes) changes.push_back(change{change::e_sync, 0, {}});
    synced_sizes.push_back(std::int64_t(bytes.size()));
    return {};
}

detail::fault memory_file::truncate(std::int64_t size) {
    if (log_changes) changes.push_back(change{change::e_cut, size, {}});
    bytes.resize(std::size_t(size));
    // As on the common file systems, the room beyond the end goes with it.
    allocated = std::min(allocated, size);
    return {};
}

detail::storage::e_room memory_file::allocate(std::int64_t end, std::string& reason) {
    ++allocations;
    if (!can_allocate) {
        reason = "Operation not supported";
        return Karvon::Platform::file::e_room_unsupported;
    }
    if (std::max(end, std::int64_t(bytes.size())) > capacity) {
        reason = "No space left on device";
        return Karvon::Platform::file::e_room_full;
    }
    allocated = std::max(allocated, end);
    return Karvon::Platform::file::e_room_done;
}

void apply_change(std::vector<std::uint8_t>& bytes, const memory_file::change& c) {
    if (c.kind == memory_file::change::e_cut) {
        bytes.resize(std::size_t(c.position));
        return;
    }
    if (c.kind != memory_file::change::e_write) return;
    const std::size_t end = std::size_t(c.position) + c.bytes.size();
    if (end > bytes.size()) bytes.resize(end);
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + c.position);
}

void power_losses(const std::vector<std::uint8_t>& start,
                  const std::vector<memory_file::change>& changes, const power_loss_visit& visit) {
    // More changes than this between two syncs would make the subsets too
    // many to visit; the writer makes far fewer.
    constexpr std::size_t k_most_between_syncs = 12;
    std::vector<std::uint8_t> synced = start;
    std::vector<const memory_file::change*> since;
    std::size_t stretch = 0;
    const auto visit_stretch = [&] {
        const std::string at = "after sync " + std::to_string(stretch);
        if (since.size() > k_most_between_syncs) {
            throw std::runtime_error(at + ": " + std::to_string(since.size()) +
                                     " changes between two syncs");
        }
        for (std::uint32_t kept = 0; kept < (1u << since.size()); ++kept) {
            std::vector<std::uint8_t> left = synced;
            for (std::size_t i = 0; i < since.size(); ++i) {
                if ((kept >> i) & 1) apply_change(left, *since[i]);
            }
            visit(left, at + ", changes kept " + std::to_string(kept));
        }
        std::vector<std::uint8_t> before = synced;
        for (std::size_t i = 0; i < since.size(); ++i) {
            const memory_file::change& c = *since[i];
            if (c.kind == memory_file::change::e_write) {
                const std::int64_t end = c.position + std::int64_t(c.bytes.size());
                for (std::int64_t cut = (c.position / k_sector + 1) * k_sector; cut < end;
                     cut += k_sector) {
                    memory_file::change part = c;
                    part.bytes.resize(std::size_t(cut - c.position));
                    std::vector<std::uint8_t> left = before;
                    apply_change(left, part);
                    visit(left, at + ", change " + std::to_string(i + 1) + " torn at byte " +
                                    std::to_string(cut));
                }
            }
            apply_change(before, c);
        }
    };
    for (const memory_file::change& c : changes) {
        if (c.kind != memory_file::change::e_sync) {
            since.push_back(&c);
            continue;
        }
        visit_stretch();
        for (const memory_file::change* done : since) apply_change(synced, *done);
        since.clear();
        ++stretch;
    }
    visit_stretch();
}

}  // namespace palvex_test
