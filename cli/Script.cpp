#include "cli/Script.h"

#include "device/Text.h"

namespace kio {

using kelvorn::Printable;
namespace {

// At most 40 characters of Text, made printable: error messages quote what the script held,
// which may be anything.
std::string Quote(std::string_view Text) {
    std::string quoted = "'";  // appended to, not "'" + ...: GCC 12 -O3 -Wrestrict
    quoted += Printable(Text.substr(0, 40));
    return quoted += Text.size() > 40 ? "...'" : "'";
}

std::vector<std::string_view> Words(std::string_view Line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < Line.size()) {
        while (i < Line.size() && (Line[i] == ' ' || Line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < Line.size() && Line[i] != ' ' && Line[i] != '\t') ++i;
        if (i > start) words.push_back(Line.substr(start, i - start));
    }
    return words;
}

// A small non-negative decimal index, digits only.
std::optional<int> Index(std::string_view Text) { return kelvorn::Digits(Text, 3); }

// True for Yes, false for No, nothing for any other word.
std::optional<bool> Either(std::string_view Text, std::string_view Yes, std::string_view No) {
    if (Text == Yes) return true;
    if (Text == No) return false;
    return std::nullopt;
}

}  // namespace

std::optional<Micros> ParseDuration(std::string_view Text) {
    Micros unit = 0;
    if (Text.ends_with("ms")) {
        unit = 1000;
        Text.remove_suffix(2);
    } else if (Text.ends_with("s")) {
        unit = 1000000;
        Text.remove_suffix(1);
    } else {
        return std::nullopt;
    }
    const std::size_t dot = Text.find('.');
    const std::string_view whole = Text.substr(0, dot);
    const std::string_view fraction =
        dot == std::string_view::npos ? std::string_view{} : Text.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty())) return std::nullopt;

    Micros value = 0;
    for (const char c : whole) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, c - '0', &value))
            return std::nullopt;
    }
    if (__builtin_mul_overflow(value, unit, &value)) return std::nullopt;
    // Fraction digits beyond the microsecond are checked but dropped.
    Micros scale = unit;
    for (const char c : fraction) {
        if (c < '0' || c > '9') return std::nullopt;
        scale /= 10;
        if (__builtin_add_overflow(value, (c - '0') * scale, &value)) return std::nullopt;
    }
    return value;
}

std::variant<std::vector<Step>, ParseError> ParseScript(std::string_view Text) {
    std::vector<Step> steps;
    int number = 0;
    while (!Text.empty()) {
        const std::size_t end = Text.find('\n');
        std::string_view line = Text.substr(0, end);
        Text = end == std::string_view::npos ? std::string_view{} : Text.substr(end + 1);
        ++number;
        if (line.ends_with('\r')) line.remove_suffix(1);
        const auto fail = [&](std::string Message) {
            return ParseError{number, std::move(Message)};
        };
        if (line.find('\0') != std::string_view::npos) return fail("NUL byte");

        const std::vector<std::string_view> w = Words(line);
        if (w.empty() || w[0].starts_with('#')) continue;
        Step step;
        step.Line = number;
        if (w[0] == "out") {
            if (w.size() != 3) return fail("expected 'out N on|off'");
            const std::optional<int> n = Index(w[1]);
            if (!n || *n > 2) return fail("no output " + Quote(w[1]) + " (0 to 2)");
            const std::optional<bool> on = Either(w[2], "on", "off");
            if (!on) return fail("expected on or off, not " + Quote(w[2]));
            step.What = Step::Kind::Out;
            step.Index = *n;
            step.Level = *on;
        } else if (w[0] == "wait") {
            if (w.size() != 2) return fail("expected 'wait DURATION'");
            const std::optional<Micros> t = ParseDuration(w[1]);
            if (!t) return fail("bad duration " + Quote(w[1]) + " (a number with ms or s)");
            step.What = Step::Kind::Wait;
            step.Time = *t;
        } else if (w[0] == "expect") {
            if (w.size() != 3 && !(w.size() == 5 && w[3] == "within"))
                return fail("expected 'expect inN high|low [within DURATION]'");
            const std::optional<int> n =
                w[1].starts_with("in") ? Index(w[1].substr(2)) : std::nullopt;
            if (!n || *n > 4) return fail("no input " + Quote(w[1]) + " (in0 to in4)");
            const std::optional<bool> high = Either(w[2], "high", "low");
            if (!high) return fail("expected high or low, not " + Quote(w[2]));
            step.What = Step::Kind::Expect;
            step.Index = *n;
            step.Level = *high;
            if (w.size() == 5) {
                const std::optional<Micros> t = ParseDuration(w[4]);
                if (!t) return fail("bad duration " + Quote(w[4]) + " (a number with ms or s)");
                step.Within = true;
                step.Time = *t;
            }
        } else if (w[0] == "read") {
            if (w.size() != 1) return fail("'read' takes nothing");
            step.What = Step::Kind::Read;
        } else {
            return fail("unknown command " + Quote(w[0]));
        }
        steps.push_back(step);
    }
    return steps;
}

}  // namespace kio
