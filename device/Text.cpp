#include "device/Text.h"

namespace kelvorn {

std::string Hex(unsigned char Byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    return {kHex[Byte >> 4], kHex[Byte & 0xF]};
}

std::string Printable(std::string_view Text) {
    std::string out;
    for (const char ch : Text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\')
            out += ch;
        else
            out += "\\x" + Hex(c);
    }
    return out;
}

std::string Latin1ToUtf8(std::string_view Text) {
    std::string out;
    for (const char ch : Text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<int> Digits(std::string_view Text, std::size_t MaxDigits) {
    if (Text.empty() || Text.size() > MaxDigits) return std::nullopt;
    int value = 0;
    for (const char c : Text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace kelvorn
