// The bridge's MQTT topic contract: the topic names, the payloads, and the parsing of the commands
// that arrive. Everything here is a pure function of its arguments, so that the fuzzer and the
// table tests reach all of it.
//
//   <prefix>/bridge/<name>/availability   Online | Offline              retained, also the will
//   <prefix>/bridge/<name>/boards         {"boards":[ids],"heartbeat":S} retained: what it holds
//   <prefix>/bridge/<name>/alive          a count, every S seconds      retained
//   <prefix>/bridge/<name>/ping           anything, from anyone: the bridge beats at once
//                                         (at most once per 100 ms)     not retained
//   <prefix>/<id>/availability            Online | Offline              retained
//   <prefix>/<id>/bridge                  <name> of the bridge holding it retained, at each Online
//   <prefix>/<id>/in<N>, N 0..4           high | low                    retained
//   <prefix>/<id>/out<N>, N 0..2          ON | OFF (on = pin low)       retained
//   <prefix>/<id>/out<N>/set              ON OFF TOGGLE 1 0, any case; empty: publish again
//   <prefix>/<id>/out<N>/pulse            whole milliseconds 1..60000
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kmqtt {

// The board's serial as one topic level: every byte outside A-Z a-z 0-9 and '-' is written as
// '_' and two upper-case hex digits ("_" is "_5F", "/" is "_2F"). Different serials give
// different ids, and no id holds a topic separator or wildcard.
std::string EscapeId(std::string_view Serial);
// The serial EscapeId gives Id for; nothing when no serial gives Id (a byte outside the alphabet,
// '_' without two upper-case hex digits, or an escape of a byte that stands as itself).
std::optional<std::string> UnescapeId(std::string_view Id);

inline constexpr const char* kOnline = "Online";
inline constexpr const char* kOffline = "Offline";
inline const char* InputPayload(bool High) { return High ? "high" : "low"; }
inline const char* OutputPayload(bool On) { return On ? "ON" : "OFF"; }
// A state payload read back: the word it is, exactly as above, or nothing.
std::optional<bool> ParseAvailability(std::string_view Payload);  // true: Online
std::optional<bool> ParseInput(std::string_view Payload);         // true: high
std::optional<bool> ParseOutput(std::string_view Payload);        // true: ON

// The topic names of one bridge. Prefix and Name are taken as they are (see ValidLevels).
class Topics {
public:
    Topics(std::string Prefix, std::string Name)
        : prefix_(std::move(Prefix)), name_(std::move(Name)) {}

    std::string Bridge() const { return BridgeAvailability(name_); }
    std::string BridgeAvailability(const std::string& Name) const {
        return prefix_ + "/bridge/" + Name + "/availability";
    }
    std::string BridgeIndex(const std::string& Name) const {
        return prefix_ + "/bridge/" + Name + "/boards";
    }
    std::string BridgeAlive(const std::string& Name) const {
        return prefix_ + "/bridge/" + Name + "/alive";
    }
    std::string BridgePing(const std::string& Name) const {
        return prefix_ + "/bridge/" + Name + "/ping";
    }
    std::string Availability(const std::string& Id) const { return Board(Id) + "availability"; }
    std::string HeldBy(const std::string& Id) const { return Board(Id) + "bridge"; }
    std::string Input(const std::string& Id, int N) const {
        return Board(Id) + "in" + std::to_string(N);
    }
    std::string Output(const std::string& Id, int N) const {
        return Board(Id) + "out" + std::to_string(N);
    }
    std::string Set(const std::string& Id, int N) const { return Output(Id, N) + "/set"; }
    // The subscriptions that bring one board's commands.
    std::string SetCommands(const std::string& Id) const { return Board(Id) + "+/set"; }
    std::string PulseCommands(const std::string& Id) const { return Board(Id) + "+/pulse"; }
    // The subscriptions that bring every board's and every bridge's state (ParseState reads it).
    std::string BoardStates() const { return prefix_ + "/+/+"; }
    std::string BridgeStates() const { return BridgeAvailability("+"); }
    std::string BridgeIndexes() const { return BridgeIndex("+"); }
    std::string BridgeAlives() const { return BridgeAlive("+"); }
    const std::string& Prefix() const { return prefix_; }

private:
    std::string Board(const std::string& Id) const { return prefix_ + "/" + Id + "/"; }
    std::string prefix_;
    std::string name_;
};

// A bridge's index: the ids of the boards it holds Online, and the period of its heartbeat in
// seconds (0: it sends none). The payload is JSON, {"boards":["A1B2C3"],"heartbeat":2}; keys a
// later bridge adds are read past.
struct Index {
    std::vector<std::string> Ids;
    int Heartbeat = 0;
};
std::string IndexPayload(const Index& I);
// Nothing for a payload that is not such an index.
std::optional<Index> ParseIndex(std::string_view Payload);

// Whether Text can stand in a topic as given: not empty, no wildcard ('+', '#') or NUL, and
// without '/' unless Slashes (a prefix may span levels, a bridge name may not); nor empty levels.
bool ValidLevels(std::string_view Text, bool Slashes);

// A message of the state that the bridges publish, as its topic names it.
struct State {
    enum class Kind { BridgeAvailability, BridgeIndex, BridgeAlive, Availability, HeldBy, Input, Output };
    Kind What;
    std::string Level;  // the board's id, or for the Bridge kinds the bridge's name
    int N = 0;          // Input 0..4, Output 0..2
};
// The state Topic holds under Prefix; nothing for any other topic (commands included).
std::optional<State> ParseState(std::string_view Prefix, std::string_view Topic);

// One command for one output, as parsed from its topic and payload.
struct Command {
    enum class Kind { On, Off, Toggle, Republish, Pulse };
    std::string Id;
    int Output = 0;  // 0..2
    Kind What = Kind::Republish;
    int Millis = 0;  // Pulse: 1..60000
};

// The command in a message on Topic, or why it is ignored, in words for the log line.
struct Parsed {
    std::optional<Command> Ok;
    std::string Why;
};
Parsed ParseCommand(std::string_view Prefix, std::string_view Topic, std::string_view Payload);

}  // namespace kmqtt
