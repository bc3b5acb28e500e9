#include "panel/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace commandline {
namespace {

const char* sProgram = "";
std::string_view sDisplay;  // the X display xcb opens: -display, else DISPLAY
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

// A ';'-separated list of fallbacks whose entries may carry ":options"; empty, it is xcb or, in
// a Wayland session, wayland. xcb needs DISPLAY and wayland WAYLAND_DISPLAY; offscreen, minimal,
// vnc, eglfs, linuxfb and the like need neither.
bool DisplayAvailable(std::string_view Platforms) {
    const bool x11 = !sDisplay.empty();
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
        std::fprintf(stderr,
                     "%s: no display to open the window on: run it in a desktop session, or set "
                     "DISPLAY (X11) or WAYLAND_DISPLAY\n",
                     sProgram);
        return 1;
    }
    return std::nullopt;
}

}  // namespace commandline
