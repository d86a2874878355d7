#include "storage.h"

#include "platform/file.h"

namespace Selmet::Palvex::detail {

namespace {

using Karvon::Platform::file;

class system_file final : public storage {
  public:
    bool open(const Karvon::Platform::wchar16* name, bool create) {
        if (!m_file.open(name, create ? file::e_open_create : file::e_open_existing)) return false;
        // Marked while it is empty: once it holds data the mark is refused.
        if (create && m_file.write_in_place() == file::e_in_place_refused) {
            m_copies_on_write = "it could not be set to be written in place: " + reason();
        }
        return true;
    }
    std::string reason() const { return m_file.error_text(); }

    fault write_at(std::int64_t position, std::span<const std::uint8_t> bytes) override {
        // A write past the size limit would end the process (SIGXFSZ): it
        // fails here instead, as it does where the signal is ignored.
        if (m_limit >= 0 && position + std::int64_t(bytes.size()) > m_limit) {
            return failure(e_fault_write, "File too large");
        }
        if (m_file.write_at(position, bytes.data(), bytes.size())) return {};
        return failure(e_fault_write, reason());
    }
    fault read_at(std::int64_t position, std::span<std::uint8_t> out) override {
        const std::int64_t got = m_file.read_at(position, out.data(), out.size());
        if (got < 0) return failure(e_fault_read, reason());
        if (got != std::int64_t(out.size())) return failure(e_fault_read, "the file ends early");
        return {};
    }
    fault size(std::int64_t& out) override {
        out = m_file.size();
        return out >= 0 ? fault{} : failure(e_fault_read, reason());
    }
    fault sync() override {
        if (m_file.sync_data()) return {};
        return failure(e_fault_write, reason());
    }
    fault truncate(std::int64_t size) override {
        if (m_file.truncate(size)) return {};
        return failure(e_fault_write, reason());
    }
    e_room allocate(std::int64_t end, std::string& why) override {
        const e_room result = m_file.allocate(end);
        if (result != file::e_room_done) why = reason();
        return result;
    }
    std::int64_t size_limit() const override { return m_limit; }
    std::string copies_on_write() const override { return m_copies_on_write; }
    void close() override { m_file.close(); }

  private:
    file m_file;
    // Read once: a limit set while the file is written is not seen.
    std::int64_t m_limit = Karvon::Platform::file_size_limit();
    std::string m_copies_on_write;
};

}  // namespace

std::unique_ptr<storage> open_system_file(const Karvon::Platform::wchar16* name,
                                          const std::string& path, bool create, fault& problem) {
    auto opened = std::make_unique<system_file>();
    if (opened->open(name, create)) return opened;
    problem = failure(e_fault_setup, "Cannot open output file '" + path + "': " + opened->reason());
    return nullptr;
}

}  // namespace Selmet::Palvex::detail
