// Test scripts for `kelvorn-io run`: one command per line, parsed whole before the board opens.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kio {

// Durations are kept in microseconds.
using Micros = std::int64_t;

// "20ms", "1.5s", "0s": a decimal number and its unit. Nothing when the unit is missing or
// unknown, the number is malformed (signs included) or the value overflows.
std::optional<Micros> ParseDuration(std::string_view Text);

struct Step {
    enum class Kind { Out, Wait, Expect, Read };
    Kind What = Kind::Read;
    int Line = 0;         // 1-based, counting every line of the script
    int Index = 0;        // output (Out) or input (Expect)
    bool Level = false;   // Out: on; Expect: high
    Micros Time = 0;      // Wait: how long; Expect: how long to keep reading
    bool Within = false;  // Expect: keep reading until met or Time is up
};

struct ParseError {
    int Line = 0;
    std::string Message;  // printable ASCII only, bounded in length
};

// Parses a whole script. CRLF or LF line ends; blank lines and lines whose first non-blank
// character is '#' are skipped. The first bad line ends parsing.
std::variant<std::vector<Step>, ParseError> ParseScript(std::string_view Text);

}  // namespace kio
