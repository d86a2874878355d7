// Reads a recorded file through FFmpeg: every packet of its first video and
// first audio stream, and with `decode` every frame too.
#pragma once

#include <functional>
#include <string>

#include "core/media_facts.h"

namespace Harnvik::Report {

struct probe_options {
    bool decode = false;
    // Called now and then with the share of the file read so far (0 to 1).
    std::function<void(double)> progress;
};

// Fills `facts` and returns true; or returns false with a readable reason in
// `error` when the file cannot be opened or holds no audio or video stream.
// Damage found inside a readable file is a fact, not a failure. The name is
// UTF-8.
bool probe_media(const std::string& file, const probe_options& options, media_facts& facts,
                 std::string& error);

}  // namespace Harnvik::Report
