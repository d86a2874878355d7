// A file followed by its name while another program writes it: it may not
// exist yet, grow, be replaced by another file under the same name, be cut
// shorter, or lose its name. It is read through a handle that lets its
// writer go on writing, moving and deleting it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Harnvik::Report::os {

class followed_file {
  public:
    explicit followed_file(std::string name);
    ~followed_file();
    followed_file(const followed_file&) = delete;
    followed_file& operator=(const followed_file&) = delete;

    enum e_look : std::uint8_t {
        e_look_missing,   // no file by that name, and none open
        e_look_opened,    // the file by that name was opened now
        e_look_same,      // the same file as at the last look, perhaps grown
        e_look_replaced,  // another file has the name now: it is the one open
        e_look_cut,       // the file open is shorter than at the last look
        e_look_unnamed,   // the name is gone; the file open is still read
        e_look_failed,    // it cannot be opened or its size read: error()
    };

    // Looks at the name and at the file open: opens, opens again, tells
    // what changed since the last look.
    e_look look();

    // The size at the last look.
    std::int64_t size() const { return m_size; }
    // Reads up to `count` bytes at `offset` of the file open; fewer at its
    // end, -1 on a failure (error() says why).
    std::int64_t read_at(std::int64_t offset, void* out, std::size_t count);

    const std::string& name() const { return m_name; }
    const std::string& error() const { return m_error; }

  private:
    bool open_named();
    void close();
    // The size of the file open, or -1.
    std::int64_t size_now();

    std::string m_name;
    std::int64_t m_size = 0;
    bool m_unnamed = false;  // said once
    std::string m_error;
    // The file open: the system's handle, or its descriptor; -1 for none.
    std::intptr_t m_handle = -1;
    // Which file it is: its volume and file index, or device and inode.
    std::uint64_t m_identity[2] = {};
};

}  // namespace Harnvik::Report::os
