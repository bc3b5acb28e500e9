#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "cli/Commands.h"

namespace kio {

int Main(int argc, const char* const* argv, Io& Io) {
    CLI::App app{"The Kelvorn USB I/O board from scripts and the shell.", "kelvorn-io"};
    Options opt;
    bool sim = false;
    std::string seconds;
    app.add_option("-s,--serial", opt.Serial, "the board's serial (default: the one attached)");
    app.add_flag("--sim", sim, "simulated board A1B2C3 instead of the USB bus");
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
    // Parsed as a script's duration in seconds: no sign, exponent, NaN or overflow gets through.
    watch->add_option("--duration", seconds, "seconds to watch (default: until stopped)")
        ->check(CLI::Validator(
            [](std::string& Text) {
                return ParseDuration(Text + "s") ? "" : "not a number of seconds: " + Text;
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
        // A mistyped command is left over as an extra, and CLI11 then only misses a command.
        if (const std::vector<std::string> extra = app.remaining();
            !extra.empty() && app.get_subcommands().empty())
            what = "unknown command '" + extra.front() + "': list, read, watch or run";
        for (char& c : what)
            if (c == '\n') c = ' ';
        Io.Err << "kelvorn-io: " << what << " (see kelvorn-io --help)\n";
        return kUsage;
    }
    opt.Interval = intervalMs * 1000;
    if (!seconds.empty()) opt.Duration = ParseDuration(seconds + "s");

    if (run->parsed()) return Run([&]() -> d2xx::Driver& { return Io.MakeDriver(sim); }, opt, Io);
    d2xx::Driver& driver = Io.MakeDriver(sim);
    if (list->parsed()) return List(driver, opt, Io);
    if (read->parsed()) return Read(driver, opt, Io);
    return Watch(driver, opt, Io);
}

}  // namespace kio
