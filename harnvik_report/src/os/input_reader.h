// Standard input (or another descriptor) read on a thread of its own, so
// that a wait for it ends at a time of the caller's choosing, and bytes
// arrive as their writer sends them rather than in whole blocks.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace Harnvik::Report::os {

class input_reader {
  public:
    // Starts reading the descriptor (0: standard input, read as bytes).
    explicit input_reader(int descriptor = 0);
    // Waits for the reading thread when the input has ended; leaves it
    // blocked in its read otherwise, which the process's end ends.
    ~input_reader();
    input_reader(const input_reader&) = delete;
    input_reader& operator=(const input_reader&) = delete;

    // Waits up to `wait` for bytes and appends what has come to `out`.
    // False once the input has ended: its last bytes are in `out` all the same.
    bool take(std::string& out, std::chrono::milliseconds wait);
    // Why reading stopped before the end of the input; empty at a plain end.
    std::string error() const;

  private:
    struct shared;
    std::shared_ptr<shared> m_shared;
    std::thread m_thread;
};

}  // namespace Harnvik::Report::os
