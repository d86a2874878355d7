// The live view of a running soak: a block of lines for a terminal, drawn
// again in place at each update, and one plain line for anywhere else.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/live_status.h"

namespace Harnvik::Report {

// The block, each line at most 79 characters (file names aside), the last
// few notes at its end.
std::vector<std::string> live_block(const live_status& status);

// One line of the same figures, without a line end.
std::string live_line(const live_status& status);

// Seconds as a clock, "1:02:03", with whole days before it: "2 d 01:02:03".
std::string format_clock(double seconds);
// Seconds as a rough span: "about 18 d 2 h", "about 3 h 20 min", "under a minute".
std::string format_span(double seconds);
// Bytes in binary units: "812.30 GiB", "16.00 MiB", "512 B".
std::string format_bytes(std::int64_t bytes);

// The first `columns` characters of `line` (UTF-8: a character is counted
// once, whatever its bytes).
std::string fit(const std::string& line, int columns);

// Draws a block on a terminal and draws it again over the last one. After
// a change of the terminal's width the screen is cleared first: lines drawn
// at the old width may have wrapped.
class block_painter {
  public:
    explicit block_painter(std::FILE* out) : m_out(out) {}
    // Draws `lines`, each cut to the width, as many as the height leaves
    // room for.
    void draw(const std::vector<std::string>& lines, int columns, int rows);
    // Removes the block drawn last.
    void clear();

  private:
    std::FILE* m_out;
    int m_drawn = 0;    // lines of the block on the screen
    int m_columns = 0;  // the width it was drawn at
};

}  // namespace Harnvik::Report
