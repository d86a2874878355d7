#include "render/progress.h"

#include <cmath>

namespace Harnvik::Report {

namespace {

constexpr int k_bar_width = 40;

double held(double share) {
    if (std::isnan(share) || share < 0.0) return 0.0;
    return share > 1.0 ? 1.0 : share;
}

}  // namespace

std::string progress_line(double share, int width) {
    share = held(share);
    const int marks = static_cast<int>(share * width);
    std::string line = "[";
    line.append(static_cast<std::size_t>(marks), '#');
    line.append(static_cast<std::size_t>(width - marks), '.');
    char percent[16];
    std::snprintf(percent, sizeof(percent), "] %3d%%", static_cast<int>(share * 100.0));
    return line + percent;
}

void progress_bar::show(double share) {
    const int percent = static_cast<int>(held(share) * 100.0);
    if (percent == m_percent) return;
    m_percent = percent;
    std::fprintf(m_out, "\rdecoding %s", progress_line(share, k_bar_width).c_str());
    std::fflush(m_out);
}

void progress_bar::finish() {
    if (m_percent < 0) return;
    std::fprintf(m_out, "\r%*s\r", k_bar_width + 16, "");
    std::fflush(m_out);
}

}  // namespace Harnvik::Report
