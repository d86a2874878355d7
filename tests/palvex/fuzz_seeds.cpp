// Writes the seed corpora of the fuzz targets that read recordings (the
// recorder's index reader and finish, the report's box layout) from real,
// small recordings: a fragmented file as a killed writer leaves it, the same
// file torn inside its last fragment, and the ordinary file that close()
// makes.
//
//   build/default/bin/palvex_fuzz_seeds tests/fuzz/corpus
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "boxes.h"
#include "memory_file.h"
#include "recording.h"
#include "test_support.h"

namespace {

using namespace palvex_test;

void put(const std::string& path, std::vector<std::uint8_t> bytes, std::vector<std::uint8_t> head) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    head.insert(head.end(), bytes.begin(), bytes.end());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
}

struct top_box_of_file {
    std::string type;
    std::int64_t size = 0;
    bool large = false;       // a 64-bit size
    bool fragmented = false;  // an index with the header of fragments (mvex)
};

// The top-level boxes of a file our recorder wrote, through the recorder's
// own reader of boxes.
std::vector<top_box_of_file> top_boxes(const std::vector<std::uint8_t>& file) {
    std::vector<top_box_of_file> out;
    const auto size = std::int64_t(file.size());
    for (std::int64_t at = 0; size - at >= 8;) {
        detail::top_box b;
        const detail::byte_span all(file);
        if (!detail::read_top_box(all.subspan(std::size_t(at))
                                      .first(std::size_t(std::min<std::int64_t>(16, size - at))),
                                  at, size, b)) {
            break;
        }
        top_box_of_file found{detail::fourcc_text(b.type), b.size, b.header == 16, false};
        std::vector<detail::box> children;
        if (found.type == "moov" && detail::split_boxes(all.subspan(std::size_t(at + b.header),
                                                                    std::size_t(b.size - b.header)),
                                                        children)) {
            found.fragmented = detail::find_box(children, detail::fourcc("mvex")) != nullptr;
        }
        out.push_back(found);
        at += b.size;
    }
    return out;
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
    // The end of a file: a clean end; media that ends at the last complete
    // fragment of a torn file (its sixth box), without room and with it;
    // one whose torn tail is too short to hold the index; and under a size
    // limit just past the file.
    put(folder + "/finish/clean_end", fragmented, {0, 0xff});
    put(folder + "/finish/torn", torn, {1, 5});
    put(folder + "/finish/torn_room_held", torn, {0x41, 5});
    std::vector<std::uint8_t> short_tail(fragmented.begin(), fragmented.begin() + whole.end);
    short_tail.insert(short_tail.end(), fragmented.begin() + 40, fragmented.begin() + 72);
    put(folder + "/finish/short_tail", short_tail, {1, 5});
    put(folder + "/finish/torn_limit", torn, {0x81, 5});
    // Box layout: the files, readable throughout (an unreadable byte of all
    // ones), one that cannot be read from its middle on, and the top-level
    // boxes of both files as a description of boxes to write.
    const std::vector<std::uint8_t> readable{0, 0xff, 0xff, 0xff, 0xff};
    put(folder + "/box_layout/fragmented", fragmented, readable);
    put(folder + "/box_layout/finished", finished, readable);
    put(folder + "/box_layout/torn", torn, readable);
    const auto middle = std::uint32_t(finished.size() / 2);
    put(folder + "/box_layout/finished_unreadable_middle", finished,
        {0, std::uint8_t(middle >> 24), std::uint8_t(middle >> 16), std::uint8_t(middle >> 8),
         std::uint8_t(middle)});
    for (const auto& [name, file] : {std::pair{"fragmented", fragmented}, {"finished", finished}}) {
        // Kinds as the fuzz target numbers them; a payload of at most 255 bytes.
        static const char* const kinds[] = {"ftyp", "mdat", "free", "moof", "moov"};
        std::vector<std::uint8_t> description{1};
        for (const top_box_of_file& b : top_boxes(file)) {
            std::uint8_t kind = 6;
            for (std::uint8_t k = 0; k < 5; ++k) {
                if (b.type == kinds[k]) kind = k;
            }
            if (kind == 4 && b.fragmented) kind = 5;
            description.push_back(std::uint8_t(kind | (b.large ? 0x80 : 0)));
            description.push_back(std::uint8_t(std::min<std::int64_t>(b.size - 8, 255)));
        }
        put(folder + "/box_layout/" + name + "_boxes", {}, description);
    }
    std::printf("%zu bytes fragmented, %zu torn, %zu finished\n", fragmented.size(), torn.size(),
                finished.size());
    return 0;
}
