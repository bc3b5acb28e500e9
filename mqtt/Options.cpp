#include "mqtt/Options.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <ostream>

#include "device/Text.h"
#include "mqtt/Topics.h"

namespace kmqtt {
namespace {

constexpr int kUsage = 2;

CLI::Validator Levels(bool Slashes) {
    return CLI::Validator(
        [Slashes](std::string& Text) {
            return ValidLevels(Text, Slashes)
                       ? ""
                       : "not usable in a topic: " + kelvorn::Printable(Text);
        },
        "");
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

}  // namespace

std::optional<int> ParseOptions(int argc, const char* const* argv, Options& Opt, std::ostream& Out,
                                std::ostream& Err) {
    CLI::App app{"Bridges the Kelvorn boards attached to this machine to an MQTT broker.",
                 "kelvorn-mqtt"};
    app.set_config("--config", "", "read options from FILE (key = value lines)")->type_name("FILE");
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.set_version_flag("--version", "kelvorn-mqtt " KELVORN_VERSION, "show the version and exit");
    std::string passwordFile;
    app.add_option("--host", Opt.Host, "the broker (default localhost)");
    app.add_option("--port", Opt.Port, "its port (default 1883)")->check(CLI::Range(1, 65535));
    CLI::Option* user = app.add_option("--username", Opt.Username, "user name at the broker");
    app.add_option("--password-file", passwordFile, "the password: the file's first line")
        ->type_name("FILE")
        ->needs(user);
    app.add_option("--cafile", Opt.CaFile,
                   "TLS, trusting the CA certificates in FILE (PEM); the broker's host name is "
                   "verified")
        ->type_name("FILE");
    app.add_option("--client-id", Opt.ClientId,
                   "MQTT client id (default kelvorn-NAME and a random tail, 23 bytes at most)");
    app.add_option("--keepalive", Opt.Keepalive, "seconds (default 60)")
        ->type_name("SECONDS")
        ->check(CLI::Range(5, 65535));
    app.add_option("--prefix", Opt.Prefix, "first topic level(s) (default kelvorn)")
        ->check(Levels(true));
    app.add_option("--name", Opt.Name, "this bridge's name in its topic (default the host name)")
        ->check(Levels(false));
    app.add_option("--serial", Opt.Serials, "hold only this board (repeatable; default all)")
        ->type_name("SERIAL");
    app.add_option("--rescan", Opt.Rescan, "seconds between looks for boards (default 5)")
        ->type_name("SECONDS")
        ->check(CLI::Range(1, 86400));
    app.add_option("--interval", Opt.Interval, "input sampling interval in ms (default 10)")
        ->type_name("MS")
        ->check(CLI::Range(1, 60000));
    bool noDiscovery = false;
    app.add_flag("--no-discovery", noDiscovery, "no Home Assistant discovery");
    app.add_option("--discovery-prefix", Opt.DiscoveryPrefix,
                   "Home Assistant's discovery prefix (default homeassistant)")
        ->check(Levels(true));
    app.add_flag("--sim", Opt.Sim,
                 "two simulated boards, A1B2C3 and D4E5F6, instead of the USB bus");
    app.add_flag("--verbose", Opt.Verbose, "log every message sent and received");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e, Out, Err);
        std::string what = e.what();
        for (char& c : what)
            if (c == '\n') c = ' ';
        Err << "kelvorn-mqtt: " << what << " (see kelvorn-mqtt --help)\n";
        return kUsage;
    }
    Opt.Discovery = !noDiscovery;
    if (Opt.Name.empty()) Opt.Name = HostName();
    if (Opt.ClientId.empty()) Opt.ClientId = UniqueClientId("kelvorn-" + Opt.Name);
    if (!passwordFile.empty()) {
        std::ifstream file(passwordFile);
        if (!file || (!std::getline(file, Opt.Password) && !file.eof())) {
            Err << "kelvorn-mqtt: cannot read the password file "
                << kelvorn::Printable(passwordFile) << '\n';
            return kUsage;
        }
        if (Opt.Password.ends_with('\r')) Opt.Password.pop_back();
    }
    if (!Opt.CaFile.empty() && !std::ifstream(Opt.CaFile)) {
        Err << "kelvorn-mqtt: cannot read the CA file " << kelvorn::Printable(Opt.CaFile) << '\n';
        return kUsage;
    }
    return std::nullopt;
}

}  // namespace kmqtt
