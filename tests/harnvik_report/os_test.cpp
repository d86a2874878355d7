#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "os/followed_file.h"
#include "os/input_reader.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#define pipe(ends) _pipe(ends, 4096, _O_BINARY)
#define write _write
#define close _close
#else
#include <unistd.h>
#endif

namespace {

using namespace Harnvik::Report::os;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Takes until `wanted` bytes came or the input ended, a bounded number of waits.
std::string take_until(input_reader& reader, std::size_t wanted, bool& going) {
    std::string got;
    going = true;
    for (int wait = 0; wait < 100 && going && got.size() < wanted; ++wait) {
        going = reader.take(got, 100ms);
    }
    return got;
}

TEST(input_reader, bytes_come_as_they_are_written_and_the_end_is_told) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        input_reader reader(ends[0]);
        std::string none;
        EXPECT_TRUE(reader.take(none, 10ms));  // a wait that ends with nothing
        EXPECT_EQ(none, "");
        ASSERT_EQ(write(ends[1], "Thread 1", 8), 8);
        bool going = true;
        EXPECT_EQ(take_until(reader, 8, going), "Thread 1");
        EXPECT_TRUE(going);
        ASSERT_EQ(write(ends[1], ", memcpy", 8), 8);
        close(ends[1]);
        EXPECT_EQ(take_until(reader, 1000, going), ", memcpy");
        EXPECT_FALSE(going);
        EXPECT_EQ(reader.error(), "");
    }
    close(ends[0]);
}

void write_file(const fs::path& name, const std::string& text) {
    std::ofstream(name, std::ios::binary | std::ios::trunc) << text;
}

TEST(followed_file, tells_growth_a_cut_a_replacement_and_a_lost_name) {
    const fs::path folder =
        fs::temp_directory_path() /
        ("harnvik_followed_" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(folder);
    const fs::path name = folder / "soak.log";
    followed_file followed(name.string());
    const struct {
        const char* label;
        void (*change)(const fs::path&);
        followed_file::e_look look;
        const char* content;
    } steps[] = {
        {"not there yet", [](const fs::path&) {}, followed_file::e_look_missing, ""},
        {"there", [](const fs::path& n) { write_file(n, "abc"); }, followed_file::e_look_opened,
         "abc"},
        {"grown",
         [](const fs::path& n) { std::ofstream(n, std::ios::binary | std::ios::app) << "de"; },
         followed_file::e_look_same, "abcde"},
        {"cut shorter", [](const fs::path& n) { write_file(n, "x"); }, followed_file::e_look_cut,
         "x"},
        {"its name gone", [](const fs::path& n) { fs::remove(n); }, followed_file::e_look_unnamed,
         "x"},
        {"still without a name", [](const fs::path&) {}, followed_file::e_look_same, "x"},
        {"replaced",
         [](const fs::path& n) {
             write_file(n.string() + ".new", "other");
             fs::rename(n.string() + ".new", n);
         },
         followed_file::e_look_replaced, "other"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.label);
#if defined(_WIN32)
        // Under Windows' rules a name stays with a file while it is open
        // (Wine keeps them, as older Windows does): the follower's handle
        // keeps the name from going or being taken by another file.
        if (std::string(step.label) == "its name gone") break;
#endif
        step.change(name);
        EXPECT_EQ(followed.look(), step.look) << followed.error();
        std::string read(16, '\0');
        const std::int64_t got = step.look == followed_file::e_look_missing
                                     ? 0
                                     : followed.read_at(0, read.data(), read.size());
        EXPECT_EQ(read.substr(0, static_cast<std::size_t>(got < 0 ? 0 : got)), step.content);
        EXPECT_EQ(followed.size(), static_cast<std::int64_t>(std::string(step.content).size()));
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

}  // namespace
