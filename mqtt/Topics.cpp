#include "mqtt/Topics.h"

#include <algorithm>
#include <cctype>

#include "device/Text.h"

namespace kmqtt {
namespace {

bool IdByte(unsigned char C) { return std::isalnum(C) != 0 || C == '-'; }

// Payload equals Word (upper-case ASCII) in any case.
bool Is(std::string_view Payload, std::string_view Word) {
    return Payload.size() == Word.size() &&
           std::equal(Payload.begin(), Payload.end(), Word.begin(), [](char P, char W) {
               return std::toupper(static_cast<unsigned char>(P)) == W;
           });
}

// A whole number of milliseconds from 1 to 60000: digits only, no sign, space or exponent.
std::optional<int> Millis(std::string_view Payload) {
    const std::optional<int> value = kelvorn::Digits(Payload, 5);
    if (!value || *value < 1 || *value > 60000) return std::nullopt;
    return value;
}

}  // namespace

std::string EscapeId(std::string_view Serial) {
    std::string id;
    for (const char ch : Serial) {
        const auto c = static_cast<unsigned char>(ch);
        if (IdByte(c))
            id += ch;
        else
            id += '_' + kelvorn::Hex(c);
    }
    return id;
}

std::optional<std::string> UnescapeId(std::string_view Id) {
    const auto hex = [](char C) -> int {
        return C >= '0' && C <= '9' ? C - '0' : C >= 'A' && C <= 'F' ? C - 'A' + 10 : -1;
    };
    std::string serial;
    for (std::size_t i = 0; i < Id.size(); ++i) {
        const auto c = static_cast<unsigned char>(Id[i]);
        if (IdByte(c)) {
            serial += Id[i];
            continue;
        }
        if (c != '_' || i + 2 >= Id.size() || hex(Id[i + 1]) < 0 || hex(Id[i + 2]) < 0)
            return std::nullopt;
        const auto byte = static_cast<unsigned char>(hex(Id[i + 1]) << 4 | hex(Id[i + 2]));
        if (IdByte(byte)) return std::nullopt;  // EscapeId writes it as itself
        serial += static_cast<char>(byte);
        i += 2;
    }
    return serial;
}

namespace {

std::optional<bool> Word(std::string_view Payload, const char* True, const char* False) {
    if (Payload == True) return true;
    if (Payload == False) return false;
    return std::nullopt;
}

}  // namespace

std::optional<bool> ParseAvailability(std::string_view Payload) {
    return Word(Payload, kOnline, kOffline);
}
std::optional<bool> ParseInput(std::string_view Payload) {
    return Word(Payload, InputPayload(true), InputPayload(false));
}
std::optional<bool> ParseOutput(std::string_view Payload) {
    return Word(Payload, OutputPayload(true), OutputPayload(false));
}

std::optional<State> ParseState(std::string_view Prefix, std::string_view Topic) {
    if (Topic.size() <= Prefix.size() || !Topic.starts_with(Prefix) || Topic[Prefix.size()] != '/')
        return std::nullopt;
    std::string_view rest = Topic.substr(Prefix.size() + 1);
    const std::size_t cut = rest.find('/');
    if (cut == 0 || cut == std::string_view::npos) return std::nullopt;
    State state{State::Kind::Availability, std::string(rest.substr(0, cut))};
    const std::string_view level = rest.substr(cut + 1);
    const auto numbered = [&](std::string_view Name, int Count) {
        return level.size() == Name.size() + 1 && level.starts_with(Name) &&
               level.back() >= '0' && level.back() < '0' + Count;
    };
    // bridge/<name>/<what> has one level more than a board's state (a board may be called
    // "bridge").
    if (const std::size_t end = level.find('/'); end != std::string_view::npos) {
        const std::string_view what = level.substr(end);
        if (state.Level != "bridge" || end == 0) return std::nullopt;
        const std::string name(level.substr(0, end));
        if (what == "/availability") return State{State::Kind::BridgeAvailability, name};
        if (what == "/boards") return State{State::Kind::BridgeIndex, name};
        if (what == "/alive") return State{State::Kind::BridgeAlive, name};
        return std::nullopt;
    }
    if (level == "availability")
        state.What = State::Kind::Availability;
    else if (level == "bridge")
        state.What = State::Kind::HeldBy;
    else if (numbered("in", 5))
        state.What = State::Kind::Input;
    else if (numbered("out", 3))
        state.What = State::Kind::Output;
    else
        return std::nullopt;
    if (state.What == State::Kind::Input || state.What == State::Kind::Output)
        state.N = level.back() - '0';
    return state;
}

bool ValidLevels(std::string_view Text, bool Slashes) {
    if (Text.empty() || Text.front() == '/' || Text.back() == '/' ||
        Text.find("//") != std::string_view::npos)
        return false;
    return std::none_of(Text.begin(), Text.end(), [&](char c) {
        return c == '+' || c == '#' || c == '\0' || (c == '/' && !Slashes);
    });
}

Parsed ParseCommand(std::string_view Prefix, std::string_view Topic, std::string_view Payload) {
    // <prefix>/<id>/out<N>/<verb>: the id is one level, N one digit.
    const auto notCommand = [] { return Parsed{std::nullopt, "not an output's set or pulse"}; };
    if (Topic.size() <= Prefix.size() || !Topic.starts_with(Prefix) || Topic[Prefix.size()] != '/')
        return notCommand();
    std::string_view rest = Topic.substr(Prefix.size() + 1);
    const std::size_t idEnd = rest.find('/');
    if (idEnd == 0 || idEnd == std::string_view::npos) return notCommand();
    Command command;
    command.Id = rest.substr(0, idEnd);
    rest.remove_prefix(idEnd + 1);
    if (rest.size() < 6 || !rest.starts_with("out") || rest[3] < '0' || rest[3] > '2' ||
        rest[4] != '/')
        return notCommand();
    command.Output = rest[3] - '0';
    const std::string_view verb = rest.substr(5);

    if (verb == "pulse") {
        const std::optional<int> ms = Millis(Payload);
        if (!ms) return {std::nullopt, "not a whole number of milliseconds from 1 to 60000"};
        command.What = Command::Kind::Pulse;
        command.Millis = *ms;
        return {command, ""};
    }
    if (verb != "set") return notCommand();
    if (Payload.empty())
        command.What = Command::Kind::Republish;
    else if (Is(Payload, "ON") || Payload == "1")
        command.What = Command::Kind::On;
    else if (Is(Payload, "OFF") || Payload == "0")
        command.What = Command::Kind::Off;
    else if (Is(Payload, "TOGGLE"))
        command.What = Command::Kind::Toggle;
    else
        return {std::nullopt, "not ON, OFF, TOGGLE, 1 or 0"};
    return {command, ""};
}

}  // namespace kmqtt
