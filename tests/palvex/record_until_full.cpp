// Records the clock signal (640x360 at 5 Mbit/s, 4-channel sound) into a
// new file until the writer fails, then closes it and prints error()'s text
// after the close: for the end-to-end tests that fill a disk under a
// recording, with the room for the index kept or without it.
//
//   palvex_record_until_full FILE room|no-room
#include <cstdio>
#include <cstring>
#include <string>

#include "recording.h"
#include "test_support.h"

int main(int argc, char** argv) {
    using namespace palvex_test;
    if (argc != 3 || (std::strcmp(argv[2], "room") != 0 && std::strcmp(argv[2], "no-room") != 0)) {
        std::fprintf(stderr, "usage: %s FILE room|no-room\n", argv[0]);
        return 2;
    }
    settings s(argv[1], 640, 360);
    detail::seams seams;
    seams.keep_room = std::strcmp(argv[2], "room") == 0;
    detail::recording r;
    if (const detail::fault f = r.open(s.info, nullptr, seams)) {
        std::printf("%s\n", detail::describe(f).c_str());
        return 1;
    }
    // An hour of media at most, should the disk never fill.
    clock_signal signal(640, 360);
    std::int32_t pairs = 0;
    const std::string first = detail::describe(write_clock_to(r, signal, 90000, &pairs));
    const detail::fault closed = r.close();
    const std::string text = r.text_after_close(first.empty() ? detail::describe(closed) : first);
    std::printf("%d pairs offered\n%s\n", pairs, text.c_str());
    return 0;
}
