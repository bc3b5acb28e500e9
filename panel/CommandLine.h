#pragma once
// The command line of both programs. Qt takes its own options (-style, -platform, -reverse,
// -qwindowgeometry, -display, ...) as QApplication starts; what is left must be --help, -h,
// --help-all or --version. A missing display, or one that does not answer, is reported in one
// line instead of Qt's abort, yet --help, --help-all and --version answer without one: they open
// no display at all.
#include <optional>
#include <string>

namespace commandline {

// Before QApplication: whether there is a display that answers for the platform Qt will use
// (-platform, else QT_QPA_PLATFORM; for X11 -display, else DISPLAY). Without one, points Qt at its
// offscreen platform, so that the command line can still be read; Handle then ends the program.
bool PrepareDisplay(int argc, char** argv, const char* Program);

// The boards behind kelvorn-mqtt bridges, as --mqtt URL [--password-file FILE] [--cafile FILE]
// ask for them; all empty without --mqtt.
struct Remote {
    std::string Url;
    std::string PasswordFile;
    std::string CaFile;
};

// After QApplication, with what PrepareDisplay returned: the exit status when the program should
// end here (0 after --help or --version, 2 for any other argument with a one-line message naming
// it on standard error, 1 with no display), or nothing when the window may open. `About` is one
// line on what the program does. Wants, when given, takes --mqtt and its companions; a program
// without it (the simulated boards) refuses them with status 2.
std::optional<int> Handle(bool Display, const char* About, Remote* Wants = nullptr);

}  // namespace commandline
