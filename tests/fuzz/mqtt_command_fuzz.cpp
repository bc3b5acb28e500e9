// kelvorn-mqtt's topic and payload parsing on arbitrary bytes (the topic up to the first newline,
// the payload after it): it must not crash, a command it accepts must stand in the topic as
// parsed and be in range, a board's id must be a safe topic level that gives its serial back, and
// the state a client reads must name one level.
#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mqtt/Topics.h"

namespace {

void Check(bool Ok) {
    if (!Ok) std::abort();
}

int Hex(char C) { return C <= '9' ? C - '0' : C - 'A' + 10; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string_view input(reinterpret_cast<const char*>(Data), Size);
    const std::size_t newline = input.find('\n');
    const std::string_view topic = input.substr(0, newline);
    const std::string_view payload =
        newline == std::string_view::npos ? std::string_view{} : input.substr(newline + 1);

    const kmqtt::Parsed parsed = kmqtt::ParseCommand("kelvorn", topic, payload);
    Check(parsed.Ok.has_value() == parsed.Why.empty());
    if (const auto& c = parsed.Ok) {
        using K = kmqtt::Command::Kind;
        Check(c->Output >= 0 && c->Output <= 2);
        Check(!c->Id.empty() && c->Id.find('/') == std::string::npos);
        const std::string verb = c->What == K::Pulse ? "pulse" : "set";
        Check(topic == "kelvorn/" + c->Id + "/out" + std::to_string(c->Output) + "/" + verb);
        Check(c->What == K::Pulse ? c->Millis >= 1 && c->Millis <= 60000 : c->Millis == 0);
        if (c->What == K::Pulse) Check(payload.find_first_not_of("0123456789") == payload.npos);
        if (c->What == K::Republish) Check(payload.empty());
    }

    const std::string id = kmqtt::EscapeId(payload);
    Check(kmqtt::ValidLevels(id, false) || id.empty());
    std::string back;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const char c = id[i];
        Check((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_');
        if (c != '_') {
            back += c;
            continue;
        }
        Check(i + 2 < id.size() && std::isxdigit(static_cast<unsigned char>(id[i + 1])) &&
              std::isxdigit(static_cast<unsigned char>(id[i + 2])));
        back += static_cast<char>(Hex(id[i + 1]) << 4 | Hex(id[i + 2]));
        i += 2;
    }
    Check(back == payload);
    Check(kmqtt::UnescapeId(id) == std::string(payload));
    // An id read back from a topic is one EscapeId gives, or nothing.
    if (const auto serial = kmqtt::UnescapeId(topic)) Check(kmqtt::EscapeId(*serial) == topic);

    // What a client reads as state names one level and stands in the topic as parsed.
    if (const auto state = kmqtt::ParseState("kelvorn", topic)) {
        using K = kmqtt::State::Kind;
        Check(!state->Level.empty() && state->Level.find('/') == std::string::npos);
        const kmqtt::Topics names("kelvorn", state->Level);
        const std::string& l = state->Level;
        Check(topic == (state->What == K::BridgeAvailability ? names.Bridge()
                        : state->What == K::BridgeIndex      ? names.BridgeIndex(l)
                        : state->What == K::BridgeAlive      ? names.BridgeAlive(l)
                        : state->What == K::Availability     ? names.Availability(l)
                        : state->What == K::HeldBy           ? names.HeldBy(l)
                        : state->What == K::Input            ? names.Input(l, state->N)
                                                             : names.Output(l, state->N)));
        Check(state->N >= 0 && state->N <= (state->What == K::Input ? 4 : 2));
    }
    return 0;
}
