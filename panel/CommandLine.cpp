#include "panel/CommandLine.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace commandline {
namespace {

const char* sProgram = "";
QtMessageHandler oQtHandler = nullptr;

std::string_view Env(const char* Name) {
    const char* value = std::getenv(Name);
    return value ? value : "";
}

// Qt takes its platform from QT_QPA_PLATFORM, a ';'-separated list of fallbacks whose entries
// may carry ":options"; unset, it is xcb or, in a Wayland session, wayland. xcb needs DISPLAY and
// wayland WAYLAND_DISPLAY; offscreen, minimal, vnc, eglfs, linuxfb and the like need neither.
bool DisplayAvailable() {
    const bool x11 = !Env("DISPLAY").empty();
    const bool wayland = !Env("WAYLAND_DISPLAY").empty() || !Env("WAYLAND_SOCKET").empty();
    std::string_view platforms = Env("QT_QPA_PLATFORM");
    if (platforms.empty()) return x11 || wayland;
    while (!platforms.empty()) {
        const auto end = platforms.find(';');
        std::string_view name = platforms.substr(0, end);
        name = name.substr(0, name.find(':'));
        if (name == "xcb" ? x11 : name.starts_with("wayland") ? wayland : !name.empty())
            return true;
        platforms = end == std::string_view::npos ? "" : platforms.substr(end + 1);
    }
    return false;
}

// A display that is named but does not answer (a closed ssh tunnel, a stopped Xvfb) still ends in
// Qt's fatal "no Qt platform plugin could be initialized": turn that into status 1 as well.
void OnQtMessage(QtMsgType Type, const QMessageLogContext& Context, const QString& Message) {
    if (Type == QtFatalMsg && Message.contains(QLatin1String("platform plugin"))) {
        std::fprintf(stderr,
                     "%s: cannot open the window: the display does not answer (DISPLAY=%s)\n",
                     sProgram, Env("DISPLAY").data());
        std::_Exit(1);  // inside QApplication's constructor: nothing to tidy up
    }
    oQtHandler(Type, Context, Message);
}

}  // namespace

std::optional<int> Handle(int argc, char** argv, const char* Program, const char* About) {
    sProgram = Program;
    if (argc > 1) {
        const std::string_view argument = argv[1];
        if (argc == 2 && (argument == "--help" || argument == "-h")) {
            std::printf(
                "Usage: %s [--help | --version]\n%s\n\n"
                "  -h, --help  show this help and exit\n"
                "  --version   show the version and exit\n",
                Program, About);
            return 0;
        }
        if (argc == 2 && argument == "--version") {
            std::printf("%s %s\n", Program, KELVORN_VERSION);
            return 0;
        }
        const bool firstKnown = argument == "--help" || argument == "-h" || argument == "--version";
        std::fprintf(stderr, "%s: unknown argument '%s'; usage: %s [--help | --version]\n", Program,
                     argv[firstKnown ? 2 : 1], Program);
        return 2;
    }
    if (!DisplayAvailable()) {
        std::fprintf(stderr,
                     "%s: no display to open the window on: run it in a desktop session, or set "
                     "DISPLAY (X11) or WAYLAND_DISPLAY\n",
                     Program);
        return 1;
    }
    oQtHandler = qInstallMessageHandler(OnQtMessage);
    return std::nullopt;
}

}  // namespace commandline
