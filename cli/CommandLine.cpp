#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "device/Text.h"
#include "mqtt/MqttDriver.h"

namespace kio {

int Main(int argc, const char* const* argv, Io& Io) {
    CLI::App app{"The Kelvorn USB I/O board from scripts and the shell.", "kelvorn-io"};
    Options opt;
    bool sim = false;
    std::string seconds;
    app.add_option("-s,--serial", opt.Serial, "the board's serial (default: the one attached)");
    std::string mqtt, passwordFile, caFile;
    CLI::Option* simFlag =
        app.add_flag("--sim", sim, "simulated board A1B2C3 instead of the USB bus");
    CLI::Option* mqttOption =
        app.add_option("--mqtt", mqtt,
                       "the boards behind kelvorn-mqtt bridges: mqtt[s]://[USER@]HOST[:PORT][/PREFIX]")
            ->type_name("URL")
            ->excludes(simFlag);
    app.add_option("--password-file", passwordFile, "with --mqtt: the password, the file's first line")
        ->type_name("FILE")
        ->needs(mqttOption);
    app.add_option("--cafile", caFile, "with an mqtts:// URL: trust the CA certificates in FILE")
        ->type_name("FILE")
        ->needs(mqttOption);
    app.set_version_flag("--version", "kelvorn-io " KELVORN_VERSION, "show the version and exit");
    app.require_subcommand(1);

    CLI::App* list = app.add_subcommand("list", "serials of the attached boards")->fallthrough();
    CLI::App* read = app.add_subcommand("read", "read the five inputs once")->fallthrough();
    CLI::App* watch =
        app.add_subcommand("watch", "print the inputs, then a line each time they change")
            ->fallthrough();
    CLI::App* run = app.add_subcommand("run", "run a test script")->fallthrough();
    for (CLI::App* sub : {list, read, watch}) sub->add_flag("--json", opt.Json, "JSON output");
    Micros intervalMs = 10;
    watch->add_option("--interval", intervalMs, "sampling interval in ms (default 10, least 1)")
        ->check(CLI::Range(Micros{1}, Micros{86400000}));
    // A script's duration, or a plain number of seconds: no sign, exponent, NaN, other unit or
    // overflow gets through.
    const auto duration = [](std::string Text) {
        if (!Text.empty() && Text.back() >= '0' && Text.back() <= '9') Text += 's';
        return ParseDuration(Text);
    };
    watch
        ->add_option("--duration", seconds,
                     "how long to watch: seconds, or 20ms, 1.5s (default: until stopped)")
        ->check(CLI::Validator(
            [&](std::string& Text) {
                return duration(Text) ? "" : "not a duration (seconds, or with ms or s): " + Text;
            },
            "SECONDS"));
    run->add_option("FILE", opt.Script, "the script; - or none: standard input");
    watch->add_flag("--vcd", opt.VcdTrace, "a VCD trace of the inputs instead of the lines")
        ->excludes(watch->get_option("--json"));
    run->add_option("--vcd", opt.VcdFile, "also write the script's trace to this file, as VCD")
        ->type_name("TRACE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e, Io.Out, Io.Err);
        std::string what = e.what();
        // What CLI11 leaves over: a mistyped option, a mistyped command (CLI11 then only misses a
        // command) or a word too many.
        if (const std::vector<std::string> extra = app.remaining(); !extra.empty()) {
            const std::string word = "'" + kelvorn::Printable(extra.front()) + "'";
            what = extra.front().starts_with('-') ? "unknown option " + word
                   : app.get_subcommands().empty()
                       ? "unknown command " + word + ": list, read, watch or run"
                       : "unexpected argument " + word;
        }
        for (char& c : what)
            if (c == '\n') c = ' ';
        Io.Err << "kelvorn-io: " << what << " (see kelvorn-io --help)\n";
        return kUsage;
    }
    opt.Interval = intervalMs * 1000;
    if (!seconds.empty()) opt.Duration = duration(seconds);

    // A URL that cannot be used is a wrong command line: said before anything connects.
    std::optional<kmqtt::Remote> remote;
    if (mqttOption->count() > 0) {
        auto parsed = kmqtt::ParseRemote(mqtt, passwordFile, caFile, "kelvorn-io");
        if (const auto* why = std::get_if<std::string>(&parsed)) {
            Io.Err << "kelvorn-io: " << *why << '\n';
            return kUsage;
        }
        remote = std::get<kmqtt::Remote>(std::move(parsed));
    }
    std::unique_ptr<kmqtt::MqttDriver> bridged;
    const auto driver = [&]() -> d2xx::Driver* {
        if (!remote) return &Io.MakeDriver(sim);
        bridged = std::make_unique<kmqtt::MqttDriver>(*remote);
        if (const auto why = bridged->Start()) {
            Io.Err << "kelvorn-io: " << *why << '\n';
            return nullptr;
        }
        return bridged.get();
    };
    if (run->parsed()) return Run(driver, opt, Io);
    d2xx::Driver* board = driver();
    if (board == nullptr) return kBoard;
    if (list->parsed()) return List(*board, opt, Io);
    if (read->parsed()) return Read(*board, opt, Io);
    return Watch(*board, opt, Io);
}

}  // namespace kio
