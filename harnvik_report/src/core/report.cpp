#include "core/report.h"

#include <limits>

namespace Harnvik::Report {

void complete(report& run) {
    run.summary = summarize(run.log);
    run.real_time_factor = run.has_media ? Report::real_time_factor(run.media.duration_s,
                                                                    run.summary.recording_worker_s)
                                         : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace Harnvik::Report
