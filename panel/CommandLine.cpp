#include "panel/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
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

// Where Qt takes its platform: the last -platform (or --platform) argument, else QT_QPA_PLATFORM.
// Returns the index of that argument's value, or 0 when it comes from the environment.
int PlatformArgument(int argc, char** argv) {
    int at = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-platform" || arg == "--platform") at = ++i;
    }
    return at;
}

// A ';'-separated list of fallbacks whose entries may carry ":options"; empty, it is xcb or, in
// a Wayland session, wayland. xcb needs DISPLAY and wayland WAYLAND_DISPLAY; offscreen, minimal,
// vnc, eglfs, linuxfb and the like need neither.
bool DisplayAvailable(std::string_view Platforms) {
    const bool x11 = !Env("DISPLAY").empty();
    const bool wayland = !Env("WAYLAND_DISPLAY").empty() || !Env("WAYLAND_SOCKET").empty();
    if (Platforms.empty()) return x11 || wayland;
    while (!Platforms.empty()) {
        const auto end = Platforms.find(';');
        std::string_view name = Platforms.substr(0, end);
        name = name.substr(0, name.find(':'));
        if (name == "xcb" ? x11 : name.starts_with("wayland") ? wayland : !name.empty())
            return true;
        Platforms = end == std::string_view::npos ? "" : Platforms.substr(end + 1);
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

// Without a display Qt runs offscreen only to read the command line: its warnings about that
// stand-in would only muddle the one line that says what is wrong.
void OnQtMessageOffscreen(QtMsgType Type, const QMessageLogContext& Context,
                          const QString& Message) {
    if (Type == QtFatalMsg) oQtHandler(Type, Context, Message);
}

}  // namespace

bool PrepareDisplay(int argc, char** argv, const char* Program) {
    sProgram = Program;
    static char offscreen[] = "offscreen";
    const int platform = PlatformArgument(argc, argv);
    if (DisplayAvailable(platform != 0 ? argv[platform] : Env("QT_QPA_PLATFORM"))) {
        oQtHandler = qInstallMessageHandler(OnQtMessage);
        return true;
    }
    qputenv("QT_QPA_PLATFORM", offscreen);
    if (platform != 0) argv[platform] = offscreen;
    oQtHandler = qInstallMessageHandler(OnQtMessageOffscreen);
    return false;
}

std::optional<int> Handle(bool Display, const char* About) {
    QCoreApplication::setApplicationName(QString::fromLatin1(sProgram));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVORN_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(About));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    const QStringList arguments = QCoreApplication::arguments();
    const bool parsed = parser.parse(arguments);
    if (!parsed || !parser.positionalArguments().isEmpty()) {
        QString why = parsed ? QStringLiteral("unexpected argument '%1'")
                                   .arg(parser.positionalArguments().constFirst())
                             : parser.errorText();
        if (why.endsWith(QLatin1Char('.'))) why.chop(1);
        why[0] = why[0].toLower();  // "Unknown option 'x'" in the middle of the line
        std::fprintf(stderr, "%s: %s; see %s --help\n", sProgram, qPrintable(why), sProgram);
        return 2;
    }
    // Qt's own texts for --help, --help-all (with Qt's options) and --version, on standard output.
    // They leave through exit(), with the application still standing.
    parser.process(arguments);
    if (!Display) {
        std::fprintf(stderr,
                     "%s: no display to open the window on: run it in a desktop session, or set "
                     "DISPLAY (X11) or WAYLAND_DISPLAY\n",
                     sProgram);
        return 1;
    }
    return std::nullopt;
}

}  // namespace commandline
