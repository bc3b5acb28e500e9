// kelvorn-mqtt's command line and its config file (--config FILE: CLI11's format, `key = value`
// lines with the options' long names, `#` comments; a key given twice, like serial, repeats).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "mqtt/Connection.h"

namespace kmqtt {

// The broker's part: Password is the first line of --password-file, TLS is on with --cafile, and
// the client id is by default kelvorn-<name> with a random tail.
struct Options : Broker {
    std::string Prefix = "kelvorn";
    std::string Name;                  // default the host name
    std::vector<std::string> Serials;  // empty: every Kelvorn board
    int Rescan = 5;                    // seconds
    int Interval = 10;                 // milliseconds
    bool Discovery = true;
    std::string DiscoveryPrefix = "homeassistant";
    bool Sim = false;
    bool Verbose = false;
};

// Fills Opt from the command line. Nothing when the bridge is to run; otherwise the status to exit
// with: 0 after --help or --version (on Out), 2 after one line on Err for a wrong command line or
// config file, or a password or CA file that cannot be read.
std::optional<int> ParseOptions(int argc, const char* const* argv, Options& Opt, std::ostream& Out,
                                std::ostream& Err);

}  // namespace kmqtt
