// The full index at scale, and what the room kept for it costs:
//
// - finish_index: the finish of a recording of 1 minute, 1 hour and 24
//   hours (a day: 2,160,000 pictures, 4,050,000 AAC frames, 86,400
//   fragments), synthesised as a fragmented file rather than encoded: the
//   first index of a real recording, then fragments whose headers are as the
//   muxer writes them and whose media is left as a hole in a sparse file.
//   Time, the index's size against the room the recording keeps for it
//   (counted from the fragments as the recording counts it: room_minus_index
//   against 1 % of the index plus one fragment's index), and the peak memory
//   of the finish (clean for the first case run: run one case alone, as
//   --benchmark_filter=finish_index/seconds:86400, to measure it).
// - give_up_finish: the finish of a recording of 1 minute, 1 hour and 24
//   hours, synthesised as above, that filled a disk where no room could be
//   kept for its index: the fewest last fragments that hold it are given
//   up. Time, peak memory, and how much media that gave up.
// - room_fps, length_fps, fragment_sync_fps: the writer's frames per second
//   with and without the room for the index, the header's length (with
//   each moof hidden until its fragment is synced), and that second sync
//   of every fragment alone, 1920x1080 into a file in the working
//   directory, runs paired and interleaved (with, without, without, with,
//   ...).
//
//   flock /tmp/karvon-bench.lock build/default/bin/palvex_index_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "boxes.h"
#include "finish.h"
#include "index.h"
#include "recording.h"
#include "storage.h"

namespace {

namespace detail = Selmet::Palvex::detail;
using Selmet::Palvex::writer::mp4;
using video_message = Karvon::Wendrix::video::message;
using audio_message = Karvon::Wendrix::audio::message;

double vm_hwm_mib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0.0;
}

// From here on VmHWM counts anew.
void reset_peak_memory() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

std::unique_ptr<detail::storage> open_file(const std::string& name, bool create) {
    const std::u16string wide(name.begin(), name.end());
    detail::fault problem;
    return detail::open_system_file(wide.c_str(), name, create, problem);
}

// Records `pairs` pictures and sounds; false when the writer failed.
bool record(detail::recording& r, std::int32_t width, std::int32_t height, int pairs) {
    for (int i = 0; i < pairs; ++i) {
        auto* frame = new video_message(video_message::e_data_format_yuv420p, width, height);
        frame->field_type() = video_message::e_field_type_progressive;
        auto* block = new audio_message(1920, 4, 0);
        block->sample_rate() = 48000;
        const bool ok = !r.write_video(frame, -1) && !r.write_audio(block);
        frame->release();
        block->release();
        if (!ok) return false;
    }
    return true;
}

mp4::info settings(const std::u16string& name, std::int32_t width, std::int32_t height) {
    mp4::info info;
    info.file_name = name.c_str();
    info.bit_rate = 5000000;
    info.time_scale = 30000;
    info.frame_duration = 1200;
    info.frame_width = width;
    info.frame_height = height;
    return info;
}

// The header (ftyp and the first moov, with its length box) of a real
// recording, and where its length lies.
struct header_bytes {
    detail::byte_vector bytes;
    std::int64_t length_field = -1;
};

header_bytes real_header() {
    const std::string name = "palvex_bench_header.m4v";
    const std::u16string wide(name.begin(), name.end());
    header_bytes header;
    {
        detail::recording r;
        mp4::info info = settings(wide, 1920, 1080);
        if (r.open(info) || !record(r, 1920, 1080, 30)) return header;
        detail::finish_record ended;
        r.end(ended);
        if (r.file()->fragments() == 0) return header;
        // The header is the ftyp and the moov after it.
        std::int64_t end = 0;
        for (int box = 0; box < 2; ++box) {
            detail::byte_vector head(16);
            detail::top_box b;
            if (r.file()->file().read_at(end, head) ||
                !detail::read_top_box(head, end, r.file()->media_end(), b)) {
                return header;
            }
            end += b.size;
        }
        header.bytes.resize(std::size_t(end));
        header.length_field = r.file()->length_field();
        r.file()->file().read_at(0, header.bytes);
    }
    std::remove(name.c_str());
    return header;
}

struct synthesised {
    detail::finish_record record;
    std::int64_t size = 0;
    std::int64_t room = 0;  // the recording's room for the index, counted
};

// A day of fragments behind the header: 25 pictures (a key frame, then
// B-frame groups with their presentation offsets) and 46 or 47 AAC frames a
// second, their media a hole.
synthesised synthesise_day(detail::storage& file, const header_bytes& real, std::int64_t seconds) {
    const detail::byte_vector& header = real.bytes;
    synthesised out;
    detail::top_box ftyp, moov;
    const auto all = std::int64_t(header.size());
    detail::read_top_box(header, 0, all, ftyp);
    detail::read_top_box(detail::byte_span(header).subspan(std::size_t(ftyp.size)), ftyp.size, all,
                         moov);
    detail::movie m;
    detail::read_movie(detail::byte_span(header).subspan(std::size_t(moov.position + moov.header)),
                       m);
    const detail::track& video = m.tracks.at(0);
    const detail::track& sound = m.tracks.at(1);
    const std::uint32_t frame_ticks = video.timescale / 25;
    const auto picture_size = [](std::uint32_t i) {
        return i == 0 ? 60000u : 23000u + (i * 7919u) % 2000u;
    };
    const auto sound_size = [](std::uint32_t i) { return 700u + (i * 31u) % 90u; };
    file.write_at(0, header);
    std::int64_t at = std::int64_t(header.size());
    std::int64_t audio_total = 0;
    std::vector<std::int64_t> counts(2, 0);
    for (std::int64_t second = 0; second < seconds; ++second) {
        const std::int64_t audio_next = (second + 1) * 48000 / 1024;
        const auto audio_count = std::uint32_t(audio_next - audio_total);
        detail::byte_writer w;
        const std::size_t moof = w.begin(detail::fourcc("moof"));
        const std::size_t mfhd = w.begin_full(detail::fourcc("mfhd"), 0, 0);
        w.u32(std::uint32_t(second + 1));
        w.end(mfhd);
        std::vector<std::size_t> offset_fields;
        std::vector<std::uint32_t> media_of(2, 0);
        for (int t = 0; t < 2; ++t) {
            const bool is_video = t == 0;
            const std::size_t traf = w.begin(detail::fourcc("traf"));
            const std::size_t tfhd =
                w.begin_full(detail::fourcc("tfhd"), 0, detail::tfhd_flags::default_base_is_moof);
            w.u32(is_video ? video.id : sound.id);
            w.end(tfhd);
            const std::size_t tfdt = w.begin_full(detail::fourcc("tfdt"), 1, 0);
            w.u64(is_video ? std::uint64_t(second) * 25 * frame_ticks
                           : std::uint64_t(audio_total) * 1024);
            w.end(tfdt);
            using namespace detail::trun_flags;
            const std::uint32_t flags = data_offset | sample_duration | sample_size |
                                        (is_video ? sample_flags | sample_composition_offset : 0);
            const std::size_t trun = w.begin_full(detail::fourcc("trun"), 1, flags);
            const std::uint32_t count = is_video ? 25 : audio_count;
            w.u32(count);
            offset_fields.push_back(w.size());
            w.u32(0);
            for (std::uint32_t i = 0; i < count; ++i) {
                const std::uint32_t size = is_video ? picture_size(i) : sound_size(i);
                w.u32(is_video ? frame_ticks : 1024);
                w.u32(size);
                media_of[std::size_t(t)] += size;
                if (is_video) {
                    w.u32(i == 0 ? 0x02000000u : 0x01010000u);
                    // I P B B pattern: offsets of 2, 0, ... frames.
                    w.u32(std::uint32_t(i % 3 == 0   ? 2 * frame_ticks
                                        : i % 3 == 1 ? 0
                                                     : frame_ticks));
                }
            }
            w.end(trun);
            w.end(traf);
            counts[std::size_t(t)] += count;
        }
        w.end(moof);
        const std::size_t moof_size = w.size();
        // Both runs point into the one mdat: video first, then sound.
        const std::uint32_t media = media_of[0] + media_of[1];
        w.patch_u32(offset_fields[0], std::uint32_t(moof_size + 8));
        w.patch_u32(offset_fields[1], std::uint32_t(moof_size + 8 + media_of[0]));
        w.u32(8 + media);
        w.u32(detail::fourcc("mdat"));
        file.write_at(at, w.bytes());
        at += std::int64_t(moof_size) + 8 + media;
        audio_total = audio_next;
    }
    file.truncate(at);
    out.size = at;
    out.record.ended = true;
    out.record.media_end = at;
    out.record.length_field = real.length_field;
    out.record.samples_written = counts;
    out.record.sound = detail::sound_timing{1024, 1024, 48000, audio_total * 1024};
    return out;
}

// The room a recording keeps for the index of the fragments of `file` up
// to `media_end`: counted from their headers as the recording counts it.
std::int64_t room_counted(detail::storage& file, std::int64_t media_end) {
    detail::movie clock;
    detail::index_skeleton skeleton;
    for (std::int64_t at = 0; at < media_end;) {
        detail::byte_vector head(16);
        detail::top_box b;
        if (file.read_at(at, head) || !detail::read_top_box(head, at, media_end, b)) return -1;
        if (b.type == detail::fourcc("moov") || b.type == detail::fourcc("moof")) {
            detail::byte_vector payload(std::size_t(b.size - b.header));
            if (file.read_at(at + b.header, payload)) return -1;
            if (b.type == detail::fourcc("moov")) {
                if (detail::read_movie(payload, clock) ||
                    detail::measure_index(payload, clock, skeleton)) {
                    return -1;
                }
                clock.times_only = true;
            } else if (detail::add_fragment(payload, at, media_end, clock)) {
                return -1;
            }
        }
        at += b.size;
    }
    return detail::index_size(skeleton, clock);
}

// One finish of a synthesised recording of state.range(0) seconds per
// iteration: its time and peak memory. `torn` leaves the file as a full
// disk does, 4 KiB into the fragment being written (its moof hidden as
// free); `finish` runs the finish and adds counters of its own.
template <typename finish_fn>
void time_finish(benchmark::State& state, bool torn, finish_fn finish) {
    const std::int64_t seconds = state.range(0);
    const header_bytes header = real_header();
    if (header.bytes.size() < 100) {
        state.SkipWithError("no header from a real recording");
        return;
    }
    const std::string name = "palvex_bench_day.m4v";
    for (auto _ : state) {
        state.PauseTiming();
        synthesised day;
        {
            auto file = open_file(name, true);
            day = synthesise_day(*file, header, seconds);
            if (torn) {
                detail::byte_vector tail(4096, 0);
                tail[2] = 0x02;
                tail[4] = 'f', tail[5] = 'r', tail[6] = 'e', tail[7] = 'e';
                file->write_at(day.size, tail);
                day.record.ended = false;
                day.record.media_end = day.size;
            }
            // A recording has every fragment on the disk when it ends.
            file->sync();
        }
        auto file = open_file(name, false);
        if (!torn) day.room = room_counted(*file, day.size);
        reset_peak_memory();
        const double before = vm_hwm_mib();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const detail::fault f = finish(*file, day);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        const double peak = vm_hwm_mib();
        if (f) {
            state.SkipWithError(detail::describe(f).c_str());
            break;
        }
        state.counters["finish_s"] = took;
        state.counters["peak_MiB"] = peak;
        state.counters["peak_over_start_MiB"] = peak - before;
        state.counters["file_GiB"] = double(day.size) / (1 << 30);
        file.reset();
        std::remove(name.c_str());
        state.ResumeTiming();
    }
}

void finish_index(benchmark::State& state) {
    time_finish(state, false, [&state](detail::storage& file, const synthesised& day) {
        const detail::ending e = detail::end_file(file, day.record);
        std::int64_t size = 0;
        file.size(size);
        const std::int64_t index = size - day.size;
        const double seconds = double(state.range(0));
        state.counters["index_MiB"] = double(index) / (1 << 20);
        state.counters["room_MiB"] = double(day.room) / (1 << 20);
        state.counters["room_minus_index_B"] = double(day.room - index);
        // What the room may exceed the index by: 1 %, and the index of one
        // fragment more (the room is kept for the fragment being appended).
        state.counters["allowed_B"] = 0.01 * double(index) + double(index) / seconds;
        return e.whole() ? detail::fault{}
                         : detail::failure(detail::e_fault_finish, detail::describe(e));
    });
}

// A full disk where no room could be kept: the finish gives up the fewest
// last fragments that hold the index. How much media that gave up.
void give_up_finish(benchmark::State& state) {
    time_finish(state, true, [&state](detail::storage& file, const synthesised& day) {
        const detail::ending e = detail::end_file(file, day.record);
        state.counters["fragments_given_up"] = double(e.fragments - e.kept);
        state.counters["media_given_up_s"] = e.seconds_given_up;
        if (e.outcome != detail::ending::e_finished) {
            return detail::failure(detail::e_fault_finish, detail::describe(e));
        }
        return detail::fault{};
    });
}

// Frames per second of one recording of `frames` pictures.
double recording_fps(int frames, const detail::seams& seams) {
    const std::string name = "palvex_bench_room.m4v";
    const std::u16string wide(name.begin(), name.end());
    mp4::info info = settings(wide, 1920, 1080);
    const auto start = std::chrono::steady_clock::now();
    {
        detail::recording r;
        if (r.open(info, nullptr, seams)) return 0.0;
        if (!record(r, 1920, 1080, frames) || r.close()) return 0.0;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::remove(name.c_str());
    return frames / seconds;
}

// Recordings with the writer as it is and with a part turned off, in pairs
// whose order alternates (with, without; without, with; ...).
void paired_fps(benchmark::State& state, const detail::seams& without_part) {
    const int frames = int(state.range(0));
    const int pairs = int(state.range(1));
    for (auto _ : state) {
        std::vector<double> with, without, ratios;
        for (int p = 0; p < pairs; ++p) {
            const bool with_first = p % 2 == 0;
            const double a = recording_fps(frames, with_first ? detail::seams{} : without_part);
            const double b = recording_fps(frames, with_first ? without_part : detail::seams{});
            with.push_back(with_first ? a : b);
            without.push_back(with_first ? b : a);
            ratios.push_back(with.back() / without.back());
        }
        const auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
        };
        state.counters["fps_with"] = median(with);
        state.counters["fps_without"] = median(without);
        state.counters["median_ratio"] = median(ratios);
        state.counters["worst_ratio"] = *std::min_element(ratios.begin(), ratios.end());
        state.counters["best_ratio"] = *std::max_element(ratios.begin(), ratios.end());
    }
}

// The room for the index.
void room_fps(benchmark::State& state) {
    detail::seams without;
    without.keep_room = false;
    paired_fps(state, without);
}

// The header's length: its box and its update after every fragment, with
// each moof kept hidden until its fragment is on the disk (a second sync a
// fragment), against neither.
void length_fps(benchmark::State& state) {
    detail::seams without;
    without.keep_length = false;
    without.hide_fragments = false;
    paired_fps(state, without);
}

// The second sync of every fragment alone: moofs hidden until their
// fragment is synced, against moofs written as they come.
void fragment_sync_fps(benchmark::State& state) {
    detail::seams without;
    without.hide_fragments = false;
    paired_fps(state, without);
}

// A minute, an hour and a day of recording.
void recording_lengths(benchmark::internal::Benchmark* b) {
    b->ArgName("seconds")->Arg(60)->Arg(3600)->Arg(86400)->Iterations(3)->Unit(benchmark::kSecond);
}

// Pairs of recordings of 750 pictures (30 s of media): long enough that a
// difference of 1% stands out of the noise of a shared machine.
void recording_pairs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"frames", "pairs"})->Args({750, 16})->Iterations(1)->Unit(benchmark::kSecond);
}

BENCHMARK(finish_index)->Apply(recording_lengths);
BENCHMARK(give_up_finish)->Apply(recording_lengths);
BENCHMARK(room_fps)->Apply(recording_pairs);
BENCHMARK(length_fps)->Apply(recording_pairs);
BENCHMARK(fragment_sync_fps)->Apply(recording_pairs);

}  // namespace

BENCHMARK_MAIN();
