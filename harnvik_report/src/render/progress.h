// A progress bar on standard error, for a long decode.
#pragma once

#include <cstdio>
#include <string>

namespace Harnvik::Report {

// One state of the bar: "[#####.....]  50%", `width` marks wide. The share is
// held between 0 and 1.
std::string progress_line(double share, int width);

// Redraws the bar in place when the shown percentage changes.
class progress_bar {
  public:
    explicit progress_bar(std::FILE* out) : m_out(out) {}
    void show(double share);
    // Clears the bar's line.
    void finish();

  private:
    std::FILE* m_out;
    int m_percent = -1;
};

}  // namespace Harnvik::Report
