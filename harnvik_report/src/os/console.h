// The terminal the live view is drawn on, and Ctrl-C.
#pragma once

namespace Harnvik::Report::os {

// Whether standard output is a terminal that takes the control sequences
// which rewrite lines in place; on Windows, a console switched to take them.
bool prepare_terminal_output();

// The terminal's size in characters; 80 by 24 when it tells none.
struct terminal_size {
    int columns = 80;
    int rows = 24;
};
terminal_size output_terminal_size();

// From now on Ctrl-C (on Windows also Ctrl-Break) only sets a flag, which
// interrupted() reads; a second one ends the program at once.
void catch_interrupt();
bool interrupted();

// Ends the process as an interrupted program ends, which is what a shell
// expects of one: killed by SIGINT on Linux, STATUS_CONTROL_C_EXIT on
// Windows. Standard output and error are flushed first.
[[noreturn]] void exit_interrupted();

}  // namespace Harnvik::Report::os
