#pragma once
// The command line of both programs, read before QApplication exists: --help and --version
// answer on standard output, anything else is refused, and a missing display is reported in one
// line instead of Qt's abort.
#include <optional>

namespace commandline {

// Returns the exit status when the program should end here (0 after --help or --version, 2 for
// any other argument with a one-line usage on standard error, 1 with no display to open a window
// on), or nothing when the window may open. `Program` is the name shown, `About` one line on
// what the program does.
std::optional<int> Handle(int argc, char** argv, const char* Program, const char* About);

}  // namespace commandline
