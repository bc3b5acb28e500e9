// The USB strings in an FT232R's 128-byte EEPROM, decoded from its words alone. The EEPROM is
// whatever the board's last programmer left there, so every table entry and string header is
// checked before it is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "d2xx/d2xx.h"

namespace d2xx {

constexpr std::size_t kEepromWords = 64;
// Byte addresses of the string table entries (offset | 0x80, length in bytes).
constexpr std::size_t kEepromProductEntry = 0x10;
constexpr std::size_t kEepromSerialEntry = 0x12;
// The strings live in bytes 0x18..0x7D; the checksum word follows.
constexpr std::size_t kEepromStringAreaStart = 0x18;
constexpr std::size_t kEepromChecksumByte = 0x7E;

// Reads EEPROM word Word (0..63) into Out; false when it could not be read.
using EepromWordReader = std::function<bool(std::size_t Word, std::uint16_t& Out)>;

// Decodes the string whose table entry stands at byte Entry, reading each word it needs once, in
// address order: the entry's word, then the string's. FT_OK with Out set; FT_IO_ERROR when Read
// failed; FT_EEPROM_READ_FAILED when the entry or the string header is implausible (blank or
// garbled EEPROM, a string reaching into the checksum). Out is changed only on FT_OK.
FT_STATUS DecodeEepromString(const EepromWordReader& Read, std::size_t Entry, std::string& Out);

// UTF-16LE code units as 8-bit text, as USB string descriptors carry them: a unit above 0xFF has
// no 8-bit character and becomes '?'.
std::string FromUtf16Le(const std::uint8_t* Units, std::size_t Count);

}  // namespace d2xx
