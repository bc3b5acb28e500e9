#include "d2xx/Ft232rEeprom.h"

#include <vector>

namespace d2xx {
namespace {

constexpr std::uint8_t kStringDescriptorType = 0x03;

std::uint8_t ByteOf(std::uint16_t Word, std::size_t Address) {
    return static_cast<std::uint8_t>(Address % 2 ? Word >> 8 : Word & 0xFF);
}

}  // namespace

std::string FromUtf16Le(const std::uint8_t* Units, std::size_t Count) {
    std::string s;
    s.reserve(Count);
    for (std::size_t i = 0; i < Count; ++i)
        s.push_back(Units[2 * i + 1] == 0 ? static_cast<char>(Units[2 * i]) : '?');
    return s;
}

FT_STATUS DecodeEepromString(const EepromWordReader& Read, std::size_t Entry, std::string& Out) {
    if (Entry % 2 != 0 || Entry / 2 >= kEepromWords) return FT_INVALID_PARAMETER;
    std::uint16_t entry = 0;
    if (!Read(Entry / 2, entry)) return FT_IO_ERROR;
    const std::size_t offset = ByteOf(entry, Entry) & 0x7F;
    const std::size_t length = ByteOf(entry, Entry + 1);
    if (length == 0) {
        Out.clear();
        return FT_OK;
    }
    if (length % 2 != 0 || length < 2 || offset < kEepromStringAreaStart ||
        offset + length > kEepromChecksumByte)
        return FT_EEPROM_READ_FAILED;

    std::vector<std::uint8_t> bytes;
    bytes.reserve(length);
    for (std::size_t word = offset / 2; word <= (offset + length - 1) / 2; ++word) {
        std::uint16_t value = 0;
        if (!Read(word, value)) return FT_IO_ERROR;
        for (std::size_t address : {2 * word, 2 * word + 1})
            if (address >= offset && address < offset + length)
                bytes.push_back(ByteOf(value, address));
    }
    if (bytes[0] != length || bytes[1] != kStringDescriptorType) return FT_EEPROM_READ_FAILED;
    Out = FromUtf16Le(bytes.data() + 2, (length - 2) / 2);
    return FT_OK;
}

}  // namespace d2xx
