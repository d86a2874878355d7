// Recordings made by the recorder library for the report's tests, in a
// folder of this test process's own.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Harnvik::Report::test {

constexpr int k_frames = 50;  // two seconds at 25 frames per second

// Made at first use and removed at exit: CTest runs the cases in processes
// of their own, side by side, and each records its files anew.
std::filesystem::path scratch();

// A small recording, as the soak makes it: video at 25 fps and 4-channel
// 48 kHz sound, closed cleanly, which leaves an ordinary MP4. With `copy`,
// a copy of the file as it stands before the close, as a recording that
// ends without one leaves it: in fragments. Returns the closed file's name.
std::string record(const std::string& name, const std::string& copy = "");

std::vector<char> bytes_of(const std::string& file);
void write_bytes(const std::string& file, const std::vector<char>& bytes);

}  // namespace Harnvik::Report::test
