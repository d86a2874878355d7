// Where a recording's bytes live: the file the writer owns for the whole
// recording, read and written at explicit positions. The recorder reaches
// the system's file only through this interface, so tests and the fuzzers
// put their own stand-ins behind it. Every failure is a fault whose text is
// the system's reason.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "fault.h"
#include "platform/file.h"
#include "platform/wide_char.h"

namespace Selmet::Palvex::detail {

class storage {
  public:
    // Whether room could be allocated: the platform's own answer.
    using e_room = Karvon::Platform::file::e_room;

    virtual ~storage() = default;

    // All the bytes at `position`, or a fault. A write that would pass the
    // size limit fails, whole.
    virtual fault write_at(std::int64_t position, std::span<const std::uint8_t> bytes) = 0;
    // Exactly out.size() bytes at `position`, or a fault (a file that ends
    // before them included).
    virtual fault read_at(std::int64_t position, std::span<std::uint8_t> out) = 0;
    virtual fault size(std::int64_t& out) = 0;
    // The data written so far is on the disk.
    virtual fault sync() = 0;
    virtual fault truncate(std::int64_t size) = 0;
    // Room for the file's first `end` bytes without changing its size; on a
    // failure `reason` gets the system's text.
    virtual e_room allocate(std::int64_t end, std::string& reason) = 0;
    // The largest size the file may reach, or -1 without a limit.
    virtual std::int64_t size_limit() const = 0;
    // Why the file system copies every block of the file written over (so
    // that a write over data needs free room), where it does; empty where
    // the file is written in place.
    virtual std::string copies_on_write() const = 0;
    // Lets the file go: nothing is read or written after this.
    virtual void close() = 0;
};

// The system's file at a UTF-16 name: created (or emptied) for a recording,
// and then marked to be written in place where the file system would copy
// on write; or opened as it is. `path` (UTF-8) is only for the texts.
std::unique_ptr<storage> open_system_file(const Karvon::Platform::wchar16* name,
                                          const std::string& path, bool create, fault& problem);

}  // namespace Selmet::Palvex::detail
