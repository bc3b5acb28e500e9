// kelvorn-mqtt's command line and its config file (--config FILE: one `option = value` line each,
// the option's long name without its dashes; blank lines and lines starting with `#` or `;` are
// left out, and so is a ` #` comment after an unquoted value; a flag takes true or false, or
// stands alone for true; a repeatable option, like serial, on several lines). The command line
// wins: an option given there leaves that option's lines in the file unused. The file is a
// regular file of at most 1 MB, each line at most 128 KB; an error quotes at most 64 bytes of
// what it refuses.
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
    int Heartbeat = 2;                 // seconds between heartbeats; 0: none
    bool Discovery = true;
    std::string DiscoveryPrefix = "homeassistant";
    bool InputsOnLow = false;  // Home Assistant shows an input as on while it is low
    std::vector<std::string> Forget;  // not empty: clear these boards' retained topics and exit
    std::vector<std::string> ForgetBridges;  // likewise, these bridges' own topics
    bool Force = false;  // forget also what a live bridge holds
    bool Sim = false;
    std::vector<std::string> SimSerials;  // --sim-serials; empty: A1B2C3 and D4E5F6
    bool Verbose = false;
};

// Fills Opt from the command line. Nothing when the bridge is to run; otherwise the status to exit
// with: 0 after --help or --version (on Out), 2 after one line on Err for a wrong command line or
// config file (naming its file and line), or a password or CA file that cannot be read; 3 after
// one line for a CA file that holds no CA certificate.
std::optional<int> ParseOptions(int argc, const char* const* argv, Options& Opt, std::ostream& Out,
                                std::ostream& Err);

}  // namespace kmqtt
