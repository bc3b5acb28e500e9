// kelvorn-io's script parser on arbitrary bytes: it must not crash, and what it returns must hold
// what the runner relies on: indices in range, durations not negative, an error's line within the
// script and its message printable and short.
#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "cli/Script.h"

namespace {

void Check(bool Ok) {
    if (!Ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string_view text(reinterpret_cast<const char*>(Data), Size);
    const auto lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
    const auto parsed = kio::ParseScript(text);
    if (const auto* error = std::get_if<kio::ParseError>(&parsed)) {
        Check(error->Line >= 1 && error->Line <= lines);
        Check(error->Message.size() <= 256);
        for (const char c : error->Message) Check(c >= 0x20 && c < 0x7F);
    } else {
        int line = 0;
        for (const kio::Step& step : std::get<std::vector<kio::Step>>(parsed)) {
            Check(step.Line > line && step.Line <= lines);
            line = step.Line;
            Check(step.Time >= 0);
            if (step.What == kio::Step::Kind::Out) Check(step.Index >= 0 && step.Index <= 2);
            if (step.What == kio::Step::Kind::Expect) Check(step.Index >= 0 && step.Index <= 4);
        }
    }
    if (const auto duration = kio::ParseDuration(text)) Check(*duration >= 0);
    return 0;
}
