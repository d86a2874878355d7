#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "os/followed_file.h"
#include "os/input_reader.h"
#include "os/os_services.h"
#include "platform/file.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#define pipe(ends) _pipe(ends, 4096, _O_BINARY)
#define write _write
#define close _close
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
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

fs::path new_folder(const char* name) {
    const fs::path folder =
        fs::temp_directory_path() /
        (name + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(folder);
    return folder;
}

std::string read_file(const fs::path& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(followed_file, tells_growth_a_cut_a_replacement_and_a_lost_name) {
    const fs::path folder = new_folder("harnvik_followed_");
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
#if !defined(_WIN32)
    // A folder under the name is no file to follow. (Windows opens no
    // folder as a file: to the follower, its name holds no file yet.)
    followed_file folder_named(folder.string());
    EXPECT_EQ(folder_named.look(), followed_file::e_look_failed);
    EXPECT_EQ(folder_named.error(), "cannot read " + folder.string() + ": it is a directory");
#endif
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

// A file replaced as a whole: the new text under the name, nothing left
// beside it, and a replace that fails leaves the old text.
TEST(replace_file, the_name_holds_the_old_text_or_the_new_never_a_part) {
    const fs::path folder = new_folder("harnvik_replace_");
    const std::string name = (folder / "soak.prom").string();
    std::string error;
    EXPECT_TRUE(can_replace(name, error)) << error;
    EXPECT_FALSE(fs::exists(name));
    ASSERT_TRUE(replace_file(name, "first\n", error)) << error;
    ASSERT_TRUE(replace_file(name, "second\n", error)) << error;
    EXPECT_EQ(read_file(name), "second\n");
#if defined(_WIN32)
    {
        // A reader that does not let others delete the file: Windows
        // refuses to replace it until the reader lets go.
        const HANDLE reader = CreateFileW(fs::path(name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(replace_file(name, "third\n", error));
        EXPECT_NE(error.find("cannot replace " + name), std::string::npos) << error;
        CloseHandle(reader);
        EXPECT_TRUE(replace_file(name, "third\n", error)) << error;
        EXPECT_EQ(read_file(name), "third\n");
    }
#endif
    const std::string nowhere = (folder / "no" / "soak.prom").string();
    error.clear();
    EXPECT_FALSE(can_replace(nowhere, error));
    EXPECT_NE(error.find("cannot write a file beside " + nowhere), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(replace_file(nowhere, "x", error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    // A name that a folder holds cannot take the file.
    const fs::path taken = folder / "taken.prom";
    fs::create_directory(taken);
    error.clear();
    EXPECT_FALSE(replace_file(taken.string(), "x", error));
    EXPECT_NE(error.find("cannot replace " + taken.string()), std::string::npos) << error;
    // Nothing but the file and that folder are left.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

#if !defined(_WIN32)

// The limit of the process that writes the file, where one does; this
// process's own where none does, said to be so.
TEST(writer_limit, is_the_writers_own_where_a_process_writes_the_file) {
    const fs::path folder = new_folder("harnvik_writer_");
    const std::string name = (folder / "HelloWorld.m4v").string();
    write_file(name, "");
    const struct {
        const char* label;
        int open_flags;  // of the child; -1: no child
        rlim_t limit;
        bool of_writer;
        bool name_gone = false;  // looked up under a name that no file has
    } cases[] = {
        {"a writer with a limit", O_WRONLY, 123457, true},
        {"a reader and a writer", O_RDWR, 4096, true},
        {"a writer without a limit", O_WRONLY, RLIM_INFINITY, true},
        {"a reader only", O_RDONLY, 777, false},
        {"nobody", -1, 0, false},
        {"nobody, under a name now gone", -1, 0, false, true},
    };
    // This process's own limit, for the rows without a writer: a figure,
    // not "none", so that a limit lost shows.
    rlimit own{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &own), 0);
    const rlimit lowered{rlim_t{1} << 40, own.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        int ready[2];
        int done[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(done), 0);
        pid_t child = -1;
        if (each.open_flags >= 0) {
            child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(done[1]);  // the parent's close of its end is the signal to end
                const rlimit limit{each.limit, each.limit};
                const int file = open(name.c_str(), each.open_flags);
                char byte = 0;
                if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || file < 0 ||
                    write(ready[1], "r", 1) != 1 || read(done[0], &byte, 1) < 0) {
                    _exit(1);
                }
                _exit(0);
            }
            char byte = 0;
            ASSERT_EQ(read(ready[0], &byte, 1), 1);
        }
        writer_limit limit;
        const size_limit found = limit.look(each.name_gone ? name + ".gone" : name);
        EXPECT_EQ(found.of_writer, each.of_writer);
        if (each.of_writer) {
            EXPECT_EQ(found.writer, child);
            EXPECT_EQ(found.bytes,
                      each.limit == RLIM_INFINITY ? -1 : static_cast<std::int64_t>(each.limit));
        } else {
            EXPECT_EQ(found.bytes, std::int64_t{1} << 40);
            EXPECT_EQ(found.writer, 0);
        }
        for (const int end : {ready[0], ready[1], done[1]}) close(end);
        if (child > 0) {
            int status = 0;
            EXPECT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        close(done[0]);
    }
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &own), 0);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

#endif

}  // namespace
