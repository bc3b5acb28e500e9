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

// The longest a topic may be, and the most the programs add after a prefix: a board id (a serial
// of 16 bytes, each escaped) and /availability; a bridge's name takes /bridge/ and /availability.
inline constexpr std::size_t kLongestTopic = 65535;
inline constexpr std::size_t kLongestBoardSuffix = 1 + 3 * 16 + 13;
inline constexpr std::size_t kBridgeSuffix = 8 + 13;

// Whether Text can stand in topics as ValidLevels says, as UTF-8 without control characters (as
// brokers take a topic), and leave Room bytes for what follows it in a topic.
bool UsableInTopics(std::string_view Text, bool Slashes, std::size_t Room);
// Whether Text is UTF-8 without control characters, as a user name must be.
bool Utf8Text(std::string_view Text);
// Text for an error line: Printable, cut to its first 64 bytes.
std::string Quoted(std::string_view Text);

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
