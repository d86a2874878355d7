// The few services of the operating system and its C runtime that the tool
// needs, under one name on every platform: whether standard error is a
// terminal, raw bytes from standard input, a pipe into another program, and
// the search path's form.
#pragma once

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
// The largest file this process may write, or -1 when there is no limit.
std::int64_t file_size_limit();

// Starts `program` (a full name) with a pipe to its standard input; null when
// it cannot be started. A program that stops reading early does not end
// this process.
std::FILE* open_pipe_to(const std::string& program);
// Closes the pipe and waits for the program: its exit status, or -1 when it
// did not exit normally.
int close_pipe(std::FILE* pipe);

}  // namespace Harnvik::Report::os
