// Writes the seed corpora of the recorder's fuzz targets from real, small
// recordings: a fragmented file as a killed writer leaves it, the same file
// torn inside its last fragment, and the ordinary file that close() makes.
//
//   build/default/bin/palvex_fuzz_seeds tests/fuzz/corpus
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "memory_file.h"
#include "recording.h"
#include "test_support.h"

namespace {

using namespace palvex_test;

void put(const std::string& path, std::vector<std::uint8_t> bytes, std::vector<std::uint8_t> head) {
    head.insert(head.end(), bytes.begin(), bytes.end());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    auto owned = std::make_unique<memory_file>();
    memory_file* file = owned.get();
    settings s("seed.m4v", 64, 64);
    s.info.bit_rate = 20000;
    s.info.audio_bit_rate = 8000;
    detail::recording r;
    if (r.open(s.info, std::move(owned))) return 1;
    clock_signal signal(64, 64);
    for (int i = 0; i < 60; ++i) {
        video_message* frame = signal.next_frame();
        audio_message* block = signal.next_block();
        const bool ok = !r.write_video(frame, -1) && !r.write_audio(block);
        frame->release();
        block->release();
        if (!ok) return 1;
    }
    // Two whole fragments as a killed writer leaves them, then torn.
    const std::vector<std::uint8_t> fragmented = file->bytes;
    const fragments whole = complete_fragments(fragmented);
    std::vector<std::uint8_t> torn(fragmented.begin(), fragmented.begin() + whole.end);
    torn.insert(torn.end(), fragmented.begin() + 40, fragmented.begin() + 400);
    if (r.close()) return 1;
    const std::vector<std::uint8_t> finished = file->bytes;

    // Index reader: files (even first byte) and a description of samples.
    put(folder + "/index_read/fragmented", fragmented, {0});
    put(folder + "/index_read/finished", finished, {0});
    put(folder + "/index_read/samples",
        std::vector<std::uint8_t>(fragmented.begin() + 100, fragmented.begin() + 400), {1});
    // Finish: a clean end, media ended at the last complete fragment of a
    // torn file, and the cut; every box end remembered as complete.
    put(folder + "/finish/clean_end", fragmented, {0, 0xff});
    put(folder + "/finish/torn_media_end", torn, {1, 0xff});
    put(folder + "/finish/torn_cut", torn, {2, 0xff});
    std::printf("%zu bytes fragmented, %zu torn, %zu finished\n", fragmented.size(), torn.size(),
                finished.size());
    return 0;
}
