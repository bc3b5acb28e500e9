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
