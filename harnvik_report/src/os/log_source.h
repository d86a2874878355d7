// Where a followed run's log comes from: standard input, read on a thread
// of its own, or a file followed by its name while another process writes it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/follow_step.h"

namespace Harnvik::Report::os {

class followed_file;
class input_reader;

class log_source {
  public:
    // "-": standard input; anything else: a file by that name.
    explicit log_source(const std::string& name);
    ~log_source();
    log_source(const log_source&) = delete;
    log_source& operator=(const log_source&) = delete;

    // Waits up to `wait` (standard input: for bytes; a file: always, but
    // before the first look) and tells what came. False when the log cannot
    // be read: error() says why.
    bool poll(std::chrono::milliseconds wait, log_news& news);
    const std::string& error() const { return m_error; }

  private:
    std::unique_ptr<input_reader> m_input;
    std::unique_ptr<followed_file> m_file;
    std::int64_t m_read = 0;  // bytes of the file read
    bool m_first = true;
    std::string m_error;
};

}  // namespace Harnvik::Report::os
