// Reads a log from a file or standard input, block by block.
#pragma once

#include <string>

#include "core/log_reader.h"

namespace Harnvik::Report {

// "-" reads standard input. False with a readable reason in `error` when the
// log cannot be read.
bool read_log_file(const std::string& name, log_facts& facts, std::string& error);

}  // namespace Harnvik::Report
