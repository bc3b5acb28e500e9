#include "mqtt/Options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <functional>
#include <ostream>
#include <set>
#include <sstream>

#include "d2xx/d2xx.h"
#include "device/Text.h"
#include "mqtt/Remote.h"
#include "mqtt/Topics.h"

namespace kmqtt {
namespace {

using kelvorn::Printable;
constexpr int kUsage = 2;
constexpr int kUnusable = 3;

// A check on an option's value. Its text says why a value is refused (CLI11 puts the option's
// name before it); it has no description, so that --help shows none of CLI11's.
CLI::Validator Check(std::function<bool(const std::string&)> Ok, std::string Why) {
    return CLI::Validator(
        [Ok = std::move(Ok), Why = std::move(Why)](std::string& Text) {
            if (Ok(Text)) return std::string();
            return Text.empty() ? Why : Why + ": " + Quoted(Text);
        },
        "");
}

// The room a topic must leave is checked once every option is known (see ParseOptions).
CLI::Validator Levels(bool Slashes) {
    return Check([Slashes](const std::string& Text) { return UsableInTopics(Text, Slashes, 0); },
                 "not usable in a topic");
}

// A config file is a few lines: a bigger one, or a longer line, is some other file named by
// mistake (or /dev/zero, which never ends).
constexpr std::size_t kLongestConfig = 1 << 20;
constexpr std::size_t kLongestConfigLine = 128 << 10;
// The discovery topics add /binary_sensor/kelvorn_<id>/in<N>/config to their prefix.
constexpr std::size_t kDiscoverySuffix = 15 + 8 + 3 * 16 + 1 + 3 + 7;

// The config file's text, or why it cannot be used.
std::optional<std::string> ConfigText(const std::string& Path, std::string& Text) {
    const std::string cannot = "cannot read the config file " + Quoted(Path);
    // Looked at before it is opened: opening a named pipe waits for a writer that may never come.
    struct stat about {};
    if (stat(Path.c_str(), &about) != 0) return cannot;
    if (!S_ISREG(about.st_mode)) return cannot + ": not a regular file";
    std::ifstream file(Path, std::ios::binary);
    if (!file) return cannot;
    Text.resize(kLongestConfig + 1);
    file.read(Text.data(), static_cast<std::streamsize>(Text.size()));
    Text.resize(static_cast<std::size_t>(file.gcount()));
    if (Text.size() > kLongestConfig) return cannot + ": over 1 MB, not a config file";
    return std::nullopt;
}

CLI::Validator Between(int Low, int High) {
    return Check(
        [=](const std::string& Text) {
            const std::optional<int> value = kelvorn::Digits(Text, 9);
            return value && *value >= Low && *value <= High;
        },
        "not a whole number from " + std::to_string(Low) + " to " + std::to_string(High));
}

CLI::Validator NotEmpty(const char* Why) {
    return Check([](const std::string& Text) { return !Text.empty(); }, Why);
}

std::string Trim(const std::string& Text) {
    const std::size_t first = Text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return Text.substr(first, Text.find_last_not_of(" \t\r") - first + 1);
}

// The serials of a --sim-serials list, each with the spaces around it left out, in their order.
std::vector<std::string> SerialList(const std::string& Text) {
    std::vector<std::string> serials;
    for (std::size_t from = 0;;) {
        const std::size_t comma = std::min(Text.find(',', from), Text.size());
        serials.push_back(Trim(Text.substr(from, comma - from)));
        if (comma == Text.size()) return serials;
        from = comma + 1;
    }
}

// Why a --sim-serials list cannot be used, naming the first serial at fault; "" when it can. A
// serial is as a board's EEPROM holds it: not empty, and at most 16 bytes.
std::string SerialListFault(const std::string& Text) {
    std::set<std::string> seen;
    for (const std::string& serial : SerialList(Text)) {
        if (serial.empty())
            return "an empty serial names no board" + (Text.empty() ? "" : ": " + Quoted(Text));
        if (serial.size() >= d2xx::kSerialNumberSize)
            return "a serial has " + std::to_string(d2xx::kSerialNumberSize - 1) +
                   " bytes at most: " + Quoted(serial);
        if (!seen.insert(serial).second) return "serial named twice: " + Quoted(serial);
    }
    return "";
}

// Each option's line as the manual page has it: its argument's name, then what it does; none of
// CLI11's notes on types, ranges or requirements.
class Help : public CLI::Formatter {
public:
    std::string make_option_opts(const CLI::Option* Opt) const override {
        return Opt->get_type_size() != 0 ? " " + Opt->get_type_name() : "";
    }
};

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// The value of a config line: one pair of quotes around it taken off, or else a ` #` comment.
std::string Value(std::string Text) {
    if (Text.size() >= 2 && (Text.front() == '"' || Text.front() == '\'') &&
        Text.back() == Text.front())
        return Text.substr(1, Text.size() - 2);
    for (std::size_t hash = Text.find('#'); hash != std::string::npos; hash = Text.find('#', hash + 1))
        if (hash > 0 && (Text[hash - 1] == ' ' || Text[hash - 1] == '\t'))
            return Trim(Text.substr(0, hash));
    return Text;
}

// Applies the config file's lines to the options the command line left unset. The message of its
// first fault, naming the file and the line, or nothing.
std::optional<std::string> ReadConfig(CLI::App& App, const std::string& Path) {
    std::string text;
    if (auto why = ConfigText(Path, text)) return why;
    std::istringstream file(text);
    std::set<const CLI::Option*> fromCommandLine;
    for (const CLI::Option* op : App.get_options())
        if (op->count() > 0) fromCommandLine.insert(op);
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string where = Quoted(Path) + ":" + std::to_string(number) + ": ";
        if (line.size() > kLongestConfigLine) return where + "a line of over 128 KB";
        line = Trim(line);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        const std::size_t equals = line.find('=');
        const std::string key = Trim(line.substr(0, equals));
        CLI::Option* op = key.empty() ? nullptr : App.get_option_no_throw("--" + key);
        if (op == nullptr) return where + "unknown option \"" + Quoted(key) + "\"";
        if (!op->get_configurable()) return where + key + " is for the command line only";
        const bool flag = op->get_expected_min() == 0;
        if (equals == std::string::npos && !flag)
            return where + key + " needs a value: " + key + " = ...";
        std::string value = equals == std::string::npos ? "true" : Value(Trim(line.substr(equals + 1)));
        if (flag) {
            if (value != "true" && value != "false")
                return where + key + " = " + Quoted(value) + ": not true or false";
        }
        if (fromCommandLine.contains(op)) continue;
        try {
            op->add_result(value);
            op->run_callback();
        } catch (const CLI::Error& e) {
            std::string why = e.what();
            if (const std::string name = op->get_name() + ": "; why.starts_with(name))
                why.erase(0, name.size());
            return where + key + ": " + why;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> ParseOptions(int argc, const char* const* argv, Options& Opt, std::ostream& Out,
                                std::ostream& Err) {
    CLI::App app{"Bridges the Kelvorn boards attached to this machine to an MQTT broker.",
                 "kelvorn-mqtt"};
    app.formatter(std::make_shared<Help>());
    app.get_formatter()->column_width(32);
    // An option given again, on the command line or in the file, takes the last value; the
    // repeatable ones collect them all.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.allow_extras();  // named below, in words of its own
    app.set_help_flag("-h,--help", "Show a short help and exit.");
    app.set_version_flag("--version", "kelvorn-mqtt " KELVORN_VERSION, "Show the version and exit.");
    std::string config, passwordFile, inputsOn = "high";
    app.add_option("--config", config,
                   "Read options from FILE: one option = value line each.")
        ->type_name("FILE")
        ->configurable(false);
    app.add_option("--host", Opt.Host, "The broker (default localhost).")->type_name("HOST");
    app.add_option("--port", Opt.Port, "Its port (default 1883).")
        ->type_name("PORT")
        ->check(Between(1, 65535));
    app.add_option("--username", Opt.Username, "The user name at the broker.")
        ->type_name("USER")
        ->check(Check(Utf8Text, "not UTF-8 without control characters"));
    app.add_option("--password-file", passwordFile,
                   "The password at the broker: the first line of FILE. Needs --username.")
        ->type_name("FILE");
    app.add_option("--cafile", Opt.CaFile,
                   "Talk TLS to the broker and trust the CA certificates in FILE (PEM).")
        ->type_name("FILE");
    app.add_option("--client-id", Opt.ClientId,
                   "The MQTT client id (default kelvorn-NAME cut to fit and a random tail, 23 "
                   "bytes at most).")
        ->type_name("ID");
    app.add_option("--keepalive", Opt.Keepalive, "The MQTT keep-alive, 5 to 65535 (default 60).")
        ->type_name("SECONDS")
        ->check(Between(5, 65535));
    app.add_option("--prefix", Opt.Prefix,
                   "The first level, or levels, of every topic (default kelvorn).")
        ->type_name("PREFIX")
        ->check(Levels(true));
    app.add_option("--name", Opt.Name,
                   "This bridge's name in its availability topic (default the host name).")
        ->type_name("NAME")
        ->check(Levels(false));
    app.add_option("--serial", Opt.Serials,
                   "Hold only this board; repeatable. Without it, every board found.")
        ->type_name("SERIAL")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(NotEmpty("an empty serial names no board"));
    app.add_option("--heartbeat", Opt.Heartbeat,
                   "Seconds between this bridge's heartbeats, by which every client sees within "
                   "2 of them that it hung or lost the broker; 0 to 3600, 0: none (default 2).")
        ->type_name("SECONDS")
        ->check(Between(0, 3600));
    app.add_option("--rescan", Opt.Rescan,
                   "Seconds between looks for boards plugged in or back, 1 to 86400 (default 5).")
        ->type_name("SECONDS")
        ->check(Between(1, 86400));
    app.add_option("--interval", Opt.Interval,
                   "Milliseconds between two reads of the inputs, 1 to 60000 (default 10).")
        ->type_name("MS")
        ->check(Between(1, 60000));
    bool noDiscovery = false;
    app.add_flag("--no-discovery", noDiscovery, "Publish no Home Assistant discovery.");
    app.add_option("--discovery-prefix", Opt.DiscoveryPrefix,
                   "Home Assistant's discovery prefix (default homeassistant).")
        ->type_name("PREFIX")
        ->check(Levels(true));
    app.add_option("--inputs-on", inputsOn,
                   "The input level Home Assistant shows as on: low or high (default high).")
        ->type_name("LEVEL")
        ->check(Check([](const std::string& T) { return T == "low" || T == "high"; },
                      "not low or high"));
    app.add_option("--forget", Opt.Forget,
                   "Clear every retained topic of this board on the broker and exit; "
                   "repeatable.")
        ->type_name("SERIAL")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->configurable(false)
        ->check(NotEmpty("an empty serial names no board"));
    app.add_option("--forget-bridge", Opt.ForgetBridges,
                   "Clear a retired bridge's own retained topics on the broker and exit; "
                   "repeatable.")
        ->type_name("NAME")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->configurable(false)
        ->check(Levels(false));
    app.add_flag("--force", Opt.Force,
                 "With --forget and --forget-bridge: clear also what a live bridge holds.")
        ->configurable(false);
    app.add_flag("--sim", Opt.Sim,
                 "Two simulated boards, A1B2C3 and D4E5F6, instead of the USB bus.");
    std::string simSerials;
    app.add_option("--sim-serials", simSerials,
                   "Simulated boards with these serials, comma-separated, instead of the USB "
                   "bus.")
        ->type_name("SERIALS")
        ->check(CLI::Validator(
            [](std::string& Text) { return SerialListFault(Text); }, ""));
    app.add_flag("--verbose", Opt.Verbose, "Log every message sent and received too.");
    const auto usage = [&](const std::string& What) {
        Err << "kelvorn-mqtt: " << What << '\n';
        return kUsage;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch& e) {  // "--host: 1 required HOST missing"
        const std::string what = e.what();
        return usage(what.substr(0, what.find(':')) + " needs a value (see kelvorn-mqtt --help)");
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e, Out, Err);
        std::string what = e.what();
        for (char& c : what)
            if (c == '\n') c = ' ';
        return usage(what + " (see kelvorn-mqtt --help)");
    }
    if (const std::vector<std::string> extra = app.remaining(); !extra.empty())
        return usage((extra[0].starts_with("-") ? "unknown option " : "unexpected argument ") +
                     Quoted(extra[0]) + " (see kelvorn-mqtt --help)");
    if (!config.empty())
        if (const auto fault = ReadConfig(app, config)) return usage(*fault);
    if (!passwordFile.empty() && Opt.Username.empty())
        return usage("--password-file needs --username");
    Opt.Discovery = !noDiscovery;
    if (!simSerials.empty()) {
        Opt.SimSerials = SerialList(simSerials);
        Opt.Sim = true;
    }
    Opt.InputsOnLow = inputsOn == "low";
    if (Opt.Name.empty()) Opt.Name = HostName();
    if (!UsableInTopics(Opt.Name, false, 0))  // the host's name
        return usage("--name: the host name is not usable in a topic: " + Quoted(Opt.Name));
    if (Opt.Prefix.size() + std::max(kLongestBoardSuffix, kBridgeSuffix + Opt.Name.size()) >
        kLongestTopic)
        return usage("--prefix and --name: a topic would be over 65535 bytes");
    if (Opt.DiscoveryPrefix.size() + kDiscoverySuffix > kLongestTopic)
        return usage("--discovery-prefix: a topic would be over 65535 bytes");
    if (Opt.ClientId.empty()) Opt.ClientId = UniqueClientId("kelvorn-" + Opt.Name);
    if (!passwordFile.empty())
        if (const auto why = ReadPasswordFile(passwordFile, Opt.Password)) return usage(*why);
    if (!Opt.CaFile.empty() && !std::ifstream(Opt.CaFile))
        return usage("cannot read the CA file " + Quoted(Opt.CaFile));
    // As the attempts to connect would say, but at once: nothing can change it but the user.
    if (const std::string why = CaFileFault(Opt.CaFile); !why.empty()) {
        Err << "kelvorn-mqtt: " << why << '\n';
        return kUnusable;
    }
    return std::nullopt;
}

}  // namespace kmqtt
