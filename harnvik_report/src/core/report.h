// Everything the report says about one run: the log's facts, the figures
// over them and, when a file was given, the file's facts.
#pragma once

#include <string>

#include "core/log_reader.h"
#include "core/media_facts.h"
#include "core/statistics.h"

namespace Harnvik::Report {

struct report {
    std::string log_name;  // the log's file name, or "standard input"
    log_facts log;
    log_summary summary;
    bool has_media = false;
    media_facts media;
    // Media seconds per second of worker time while recording; NaN when the
    // log's timing or the file does not allow it.
    double real_time_factor = 0.0;
};

// Fills the summary and the real-time factor from the facts already in it.
void complete(report& run);

}  // namespace Harnvik::Report
