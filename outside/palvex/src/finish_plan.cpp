#include "finish_plan.h"

#include <algorithm>
#include <map>

namespace Selmet::Palvex::detail {

namespace {

byte_vector type_bytes(std::uint32_t type) {
    return {std::uint8_t(type >> 24), std::uint8_t(type >> 16), std::uint8_t(type >> 8),
            std::uint8_t(type)};
}

// The header of a free box of `length` bytes (at least 8; 16 past 4 GiB).
byte_vector free_header(std::int64_t length) {
    return header_bytes(fourcc("free"), std::uint64_t(length));
}

}  // namespace

std::vector<patch> plan_finish(const std::vector<top_box>& layout, std::int64_t media_end,
                               std::int64_t file_size, byte_vector full_index) {
    std::vector<patch> plan;
    const top_box* first_moov = nullptr;
    std::int64_t fragments_end = 0;
    for (const top_box& b : layout) {
        if (b.type == fourcc("moov") && first_moov == nullptr) first_moov = &b;
        if (b.type == fourcc("moof") || b.type == fourcc("mdat")) {
            fragments_end = b.position + b.size;
        }
    }
    if (first_moov == nullptr || first_moov->size < 16 || fragments_end <= first_moov->position ||
        fragments_end > media_end || media_end > file_size || full_index.size() < 8) {
        return plan;
    }
    const auto index_end = media_end + std::int64_t(full_index.size());
    // A torn fragment after the media becomes free space, and so does what
    // the index will not cover of it, each on the disk before the index
    // overwrites the first header.
    if (file_size - media_end >= 8) {
        plan.push_back(patch{media_end, free_header(file_size - media_end), true});
        if (file_size - index_end >= 8) {
            plan.push_back(patch{index_end, free_header(file_size - index_end), true});
        }
    }
    const byte_vector free_type = type_bytes(fourcc("free"));
    // Written as a free box: until it is on the disk whole, the fragmented
    // form stays the one that counts.
    patch index{media_end, std::move(full_index), true, media_end};
    std::copy(free_type.begin(), free_type.end(), index.bytes.begin() + 4);
    plan.push_back(std::move(index));
    // The torn fragment is gone once the index is on the disk.
    if (file_size > index_end) plan.push_back(patch{index_end, {}, true});
    // The full index comes alive behind the first one, which players take
    // while it is there.
    plan.push_back(patch{media_end + 4, type_bytes(fourcc("moov")), true});
    // In one write of 16 bytes the first index becomes the head of one media
    // data box over the first index and all fragments: their headers become
    // opaque bytes among the samples, and the full index is the only one.
    plan.push_back(patch{
        first_moov->position,
        header_bytes(fourcc("mdat"), std::uint64_t(fragments_end - first_moov->position), true),
        true, -1, true});
    // The brands the muxer chose announce fragments; an ordinary file says so
    // too, in the same room.
    if (!layout.empty() && layout.front().type == fourcc("ftyp") && layout.front().size == 28) {
        byte_writer brands;
        for (const char* brand : {"isom", "\0\0\2\0", "isom", "avc1", "mp41"}) {
            brands.raw(byte_span(reinterpret_cast<const std::uint8_t*>(brand), 4));
        }
        plan.push_back(patch{8, brands.take(), false});
    }
    return plan;
}

std::size_t most_fragments_kept(std::size_t fragments,
                                const std::function<std::int64_t(std::size_t)>& index_size,
                                const std::function<std::int64_t(std::size_t)>& room) {
    // Each index is built once.
    std::map<std::size_t, std::int64_t> sizes;
    const auto size_of = [&](std::size_t kept) {
        const auto known = sizes.find(kept);
        return known != sizes.end() ? known->second : (sizes[kept] = index_size(kept));
    };
    const auto fits = [&](std::size_t kept) { return size_of(kept) <= room(kept); };
    if (fragments == 0 || fits(fragments)) return fragments;
    // The index of fewer fragments is no larger than that of all: where the
    // room holds that one, the index fits for sure, and usually one
    // fragment more does not.
    const std::int64_t largest = size_of(fragments);
    std::size_t low = 0;           // fits, or keeps nothing
    std::size_t high = fragments;  // does not fit
    for (std::size_t kept = fragments - 1; kept > 0 && low == 0; --kept) {
        if (room(kept) >= largest) low = kept;
    }
    // From there a few steps, growing, to one that does not fit; the
    // largest that does lies between.
    for (std::size_t step = 1; low > 0 && low + step < high; step *= 2) {
        if (!fits(low + step)) {
            high = low + step;
            break;
        }
        low += step;
    }
    while (high - low > 1) {
        const std::size_t middle = low + (high - low) / 2;
        (fits(middle) ? low : high) = middle;
    }
    return low;
}

}  // namespace Selmet::Palvex::detail
