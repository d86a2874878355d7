// The few services of the operating system and its C runtime that the tool
// needs, under one name on every platform: whether standard error is a
// terminal, raw bytes from standard input, a pipe into another program, and
// the search path's form.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace Harnvik::Report::os {

bool stderr_is_terminal();

// A file name given in UTF-8, as the platform's file functions take it.
std::filesystem::path file_path(const std::string& utf8);

// Standard input without any translation of line ends or end-of-file bytes.
void read_stdin_as_bytes();

// Separator of the directories in PATH, and the suffix of executable files.
char path_separator();
const char* executable_suffix();
bool is_executable(const std::string& file);

// Bytes free for this user on the file system that holds `file` (a UTF-8
// name; the file need not exist yet), or -1 when the system does not tell.
std::int64_t free_bytes_for(const std::string& file);
// (This process's own file-size limit is the platform layer's:
// Karvon::Platform::file_size_limit().)
// A file-size limit, and whose it is.
struct size_limit {
    std::int64_t bytes = -1;  // -1: none
    bool of_writer = false;   // false: this process's own
    std::int64_t writer = 0;  // of_writer: the writer's process id
};

// The file-size limit that binds whoever writes a file. On Linux, that of
// the process that holds the file open for writing, found through /proc and
// remembered while it holds the file; where no such process can be seen (it
// has not opened the file yet, has closed it, or is another user's), this
// process's own, said to be so. Windows has no such limit.
class writer_limit {
  public:
    size_limit look(const std::string& file);

  private:
    std::int64_t m_writer = 0;
    std::chrono::steady_clock::time_point m_searched{};  // every process looked at
};

// Writes `text` into the file `name` (UTF-8) as a whole: into a new file
// beside it first, which then takes the name, so that a reader sees the old
// file or the new one, never a part. False with the reason in `error`; a
// replace refused because another program holds the file may succeed later.
bool replace_file(const std::string& name, const std::string& text, std::string& error);
// Whether a file can be made beside `name` and take its name: the new file
// is made and removed again. False with the reason in `error`.
bool can_replace(const std::string& name, std::string& error);

// Seconds since 1970 (UTC), the clock of the metrics' time stamps.
double unix_time_s();

// The system's text for one of its error codes (errno; on Windows
// GetLastError's).
std::string system_text(std::uint32_t code);

// Starts `program` (a full name) with a pipe to its standard input; null when
// it cannot be started. A program that stops reading early does not end
// this process.
std::FILE* open_pipe_to(const std::string& program);
// Closes the pipe and waits for the program: its exit status, or -1 when it
// did not exit normally.
int close_pipe(std::FILE* pipe);

}  // namespace Harnvik::Report::os
