// Following a run while it goes: the live view, from its log as the lines
// come and from its recording as it grows, until the run ends.
#pragma once

#include <string>

#include "core/log_reader.h"
#include "options.h"

namespace Harnvik::Report {

struct followed_run {
    log_facts log;             // the whole log, read as the report reads it
    bool interrupted = false;  // Ctrl-C ended the following
};

// Follows the log (standard input, or a file by its name) and the file of
// `chosen` until the final text has come and the log has been quiet for a
// moment, the input ends, or Ctrl-C. False with a readable reason in
// `error` when the log cannot be read.
bool follow_run(const options& chosen, followed_run& run, std::string& error);

}  // namespace Harnvik::Report
