// The broker URL that the programs take with --mqtt, for the boards behind kelvorn-mqtt bridges:
//
//   mqtt://[USER@]HOST[:PORT][/PREFIX]      port 1883 by default
//   mqtts://[USER@]HOST[:PORT][/PREFIX]     TLS, port 8883 by default; the broker's certificate is
//                                           checked against the system's CAs or --cafile's, and
//                                           its name against HOST
//
// PREFIX is the bridges' --prefix (default kelvorn). The password never goes in the URL, where
// shell histories and process lists would show it: it is the first line of --password-file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "mqtt/Connection.h"

namespace kmqtt {

struct Remote : Broker {
    std::string Prefix = "kelvorn";
};

// Password: the first line of the file at Path, without its line end (LF or CR LF). Otherwise
// the one line that says why it cannot be read, with the path and the system's reason.
std::optional<std::string> ReadPasswordFile(const std::string& Path, std::string& Password);

// The broker and prefix Url names, with the password and CA file given beside it and a client id
// made from Program; or, when any of it is unusable, the one line that says why (without the
// program's name). Nothing is connected.
std::variant<Remote, std::string> ParseRemote(std::string_view Url, const std::string& PasswordFile,
                                              const std::string& CaFile,
                                              const std::string& Program);

}  // namespace kmqtt
