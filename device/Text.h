// Text that comes from outside (serials, file names, script lines, payloads), made safe for where
// the programs without a window put it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvorn {

// For a message on stderr or in a log: bytes outside printable ASCII, and the backslash, as \xNN.
std::string Printable(std::string_view Text);

// A byte as the escapes write it: two upper-case hex digits.
std::string Hex(unsigned char Byte);

// For JSON: serials are the EEPROM's 8-bit bytes and, as the panel shows them, each byte is read
// as the Latin-1 character of that code, so that any serial makes valid UTF-8.
std::string Latin1ToUtf8(std::string_view Text);

// A whole number written with 1 to MaxDigits decimal digits and nothing else (no sign, space,
// point or exponent); MaxDigits at most 9. Nothing for any other text.
std::optional<int> Digits(std::string_view Text, std::size_t MaxDigits);

}  // namespace kelvorn
