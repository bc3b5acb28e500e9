#include "panel/CommandLine.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace commandline {
namespace {

const char* sProgram = "";
std::string_view sDisplay;  // the X display xcb opens: -display, else DISPLAY
std::string sSilent;        // the first display named for the platform that did not answer
// The check's connection to the X server, held until Qt has made its own: an X server whose last
// client leaves resets, refusing connections for a moment (Xvfb with no window manager).
xcb_connection_t* sHeld = nullptr;
QtMessageHandler oQtHandler = nullptr;

std::string_view Env(const char* Name) {
    const char* value = std::getenv(Name);
    return value ? value : "";
}

// The index of the value of the last -Name (or --Name) option, as Qt takes it; 0 when there is
// none. -platform counts over QT_QPA_PLATFORM, and xcb takes -display over DISPLAY.
int LastArgument(int argc, char** argv, std::string_view Name) {
    int at = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.starts_with("--")) arg.remove_prefix(1);
        if (arg.starts_with('-') && arg.substr(1) == Name) at = ++i;
    }
    return at;
}

// Whether the X server sDisplay takes a connection as xcb makes it (any form of display name, with
// its authorisation): then held in sHeld, else noted in sSilent.
bool X11Answers() {
    if (sDisplay.empty()) return false;
    const std::string name(sDisplay);
    xcb_connection_t* connection = xcb_connect(name.c_str(), nullptr);
    if (xcb_connection_has_error(connection) == 0) {
        sHeld = connection;
        return true;
    }
    xcb_disconnect(connection);
    if (sSilent.empty()) sSilent = "display " + name;
    return false;
}

// Whether the Wayland compositor takes a connection on its socket: WAYLAND_DISPLAY, a path or a
// name in XDG_RUNTIME_DIR. WAYLAND_SOCKET is a connection made already. Noted in sSilent when not.
bool WaylandAnswers() {
    if (!Env("WAYLAND_SOCKET").empty()) return true;
    const std::string_view name = Env("WAYLAND_DISPLAY");
    if (name.empty()) return false;
    std::string path(name);
    if (!name.starts_with('/')) path = std::string(Env("XDG_RUNTIME_DIR")) + '/' + path;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    bool answers = false;
    if (path.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, path.data(), path.size());
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        answers =
            s >= 0 && connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (s >= 0) close(s);
    }
    if (!answers && sSilent.empty()) sSilent = "Wayland display " + std::string(name);
    return answers;
}

// A ';'-separated list of fallbacks whose entries may carry ":options"; empty, it is xcb or, in
// a Wayland session, wayland. xcb needs a DISPLAY and wayland a WAYLAND_DISPLAY that answers;
// offscreen, minimal, vnc, eglfs, linuxfb and the like need neither.
bool DisplayAvailable(std::string_view Platforms) {
    if (Platforms.empty()) return X11Answers() || WaylandAnswers();
    while (!Platforms.empty()) {
        const auto end = Platforms.find(';');
        std::string_view name = Platforms.substr(0, end);
        name = name.substr(0, name.find(':'));
        if (name == "xcb"                 ? X11Answers()
            : name.starts_with("wayland") ? WaylandAnswers()
                                          : !name.empty())
            return true;
        Platforms = end == std::string_view::npos ? "" : Platforms.substr(end + 1);
    }
    return false;
}

// A display that stops answering between the check and Qt's own connection still ends in Qt's
// fatal "no Qt platform plugin could be initialized": turn that into status 1 as well.
void OnQtMessage(QtMsgType Type, const QMessageLogContext& Context, const QString& Message) {
    if (Type == QtFatalMsg && Message.contains(QLatin1String("platform plugin"))) {
        std::fprintf(stderr, "%s: cannot open the window: display %.*s does not answer\n", sProgram,
                     static_cast<int>(sDisplay.size()), sDisplay.data());
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
    const int platform = LastArgument(argc, argv, "platform");
    const int display = LastArgument(argc, argv, "display");
    sDisplay = display != 0 ? argv[display] : Env("DISPLAY");
    // --help and --version answer without opening any display, also one that would not answer.
    const bool answerOnly = std::any_of(argv + 1, argv + argc, [](std::string_view Arg) {
        if (Arg.starts_with("--")) Arg.remove_prefix(1);
        return Arg == "-h" || Arg == "-?" || Arg == "-help" || Arg == "-help-all" || Arg == "-v" ||
               Arg == "-version";
    });
    if (!answerOnly && DisplayAvailable(platform != 0 ? argv[platform] : Env("QT_QPA_PLATFORM"))) {
        oQtHandler = qInstallMessageHandler(OnQtMessage);
        return true;
    }
    qputenv("QT_QPA_PLATFORM", offscreen);
    if (platform != 0) argv[platform] = offscreen;
    oQtHandler = qInstallMessageHandler(OnQtMessageOffscreen);
    return false;
}

std::optional<int> Handle(bool Display, const char* About, Remote* Wants) {
    xcb_disconnect(sHeld);  // Qt has connected by now
    sHeld = nullptr;
    QCoreApplication::setApplicationName(QString::fromLatin1(sProgram));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVORN_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(About));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    // Taken by xcb when it opens the display; left over when it does not, as without one.
    QCommandLineOption display(QStringLiteral("display"), QStringLiteral("the X display"),
                               QStringLiteral("name"));
    display.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(display);
    // Known to both programs, so that the one without them can say why it refuses them.
    const QCommandLineOption mqtt(
        QStringLiteral("mqtt"),
        QStringLiteral("The boards behind kelvorn-mqtt bridges on this broker instead of the USB "
                       "bus: mqtt://[USER@]HOST[:PORT][/PREFIX], or mqtts:// for TLS."),
        QStringLiteral("URL"));
    const QCommandLineOption passwordFile(
        QStringLiteral("password-file"),
        QStringLiteral("With --mqtt: the password at the broker, the file's first line."),
        QStringLiteral("FILE"));
    const QCommandLineOption caFile(
        QStringLiteral("cafile"),
        QStringLiteral("With an mqtts:// URL: trust the CA certificates in FILE (PEM) instead of "
                       "the system's."),
        QStringLiteral("FILE"));
    for (const QCommandLineOption* o : {&mqtt, &passwordFile, &caFile}) {
        QCommandLineOption option = *o;
        if (Wants == nullptr) option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
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
    const bool remote = parser.isSet(mqtt);
    const char* wrong = nullptr;
    if (remote && Wants == nullptr)
        wrong = "--mqtt is for kelvorn-panel: the simulated boards are this program's own";
    else if (!remote && (parser.isSet(passwordFile) || parser.isSet(caFile)))
        wrong = "--password-file and --cafile go with --mqtt";
    if (wrong != nullptr) {
        std::fprintf(stderr, "%s: %s; see %s --help\n", sProgram, wrong, sProgram);
        return 2;
    }
    if (remote) {
        Wants->Url = parser.value(mqtt).toStdString();
        Wants->PasswordFile = parser.value(passwordFile).toStdString();
        Wants->CaFile = parser.value(caFile).toStdString();
    }
    if (!Display) {
        if (!sSilent.empty())
            std::fprintf(stderr, "%s: cannot open the window: %s does not answer\n", sProgram,
                         sSilent.c_str());
        else
            std::fprintf(stderr,
                         "%s: no display to open the window on: run it in a desktop session, or "
                         "set DISPLAY (X11) or WAYLAND_DISPLAY\n",
                         sProgram);
        return 1;
    }
    return std::nullopt;
}

}  // namespace commandline
