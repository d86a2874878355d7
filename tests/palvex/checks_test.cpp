#include "checks.h"

#include <gtest/gtest.h>

namespace {

using namespace Selmet::Palvex::detail;

// A picture's time becomes the number of the frame nearest to it, one
// exactly half-way between two frames the later; -1 is the next frame, and
// a frame that does not come after the last one is refused.
TEST(checks, a_pictures_time_is_its_nearest_frame_and_comes_after_the_last) {
    const struct {
        std::int64_t time, last;
        std::int64_t frame;  // -1: refused
    } cases[] = {
        {0, -1, 0},    {599, -1, 0},  {600, -1, 1}, {1199, -1, 1},   {1200, -1, 1},
        {1799, -1, 1}, {1800, -1, 2}, {-1, -1, 0},  {-1, 41, 42},    {1800, 1, 2},
        {1799, 1, -1}, {1200, 1, -1}, {-2, -1, -1}, {-1200, -1, -1},
    };
    for (const auto& each : cases) {
        std::int64_t frame = -7;
        const fault refused = check_video_time(each.time, 1200, each.last, frame);
        if (each.frame < 0) {
            EXPECT_TRUE(refused) << each.time << " after frame " << each.last;
            EXPECT_NE(refused.text.find("Video time"), std::string::npos) << refused.text;
        } else {
            EXPECT_FALSE(refused) << refused.text;
            EXPECT_EQ(frame, each.frame) << each.time << " after frame " << each.last;
        }
    }
}

}  // namespace
