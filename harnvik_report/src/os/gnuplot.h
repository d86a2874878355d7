// Finds and runs the gnuplot program.
#pragma once

#include <string>

namespace Harnvik::Report {

// The full name of the gnuplot program in the directories of the search path
// (PATH); empty when there is none.
std::string find_gnuplot();

// The full name of `program` in the directories of `search_path`, a list in
// the form of PATH; empty when none of them holds it as an executable file.
std::string find_program(const std::string& program, const std::string& search_path);

// Runs gnuplot on the script; false with a readable reason in `error` when it
// cannot be started, fails, or leaves no picture at `output`.
bool draw_plot(const std::string& gnuplot, const std::string& script, const std::string& output,
               std::string& error);

}  // namespace Harnvik::Report
