// The EEPROM string decoder on hand-made images: where a string may stand, and what it reads.
#include "d2xx/Ft232rEeprom.h"

#include <gmock/gmock.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "d2xx/Handles.h"

namespace {

using d2xx::DecodeEepromString;

// A 128-byte image with one string descriptor of Text at Offset, named by the product entry.
struct Image {
    std::array<std::uint8_t, 128> bytes{};
    std::vector<std::size_t> reads;  // words asked for, in order
    std::size_t failAt = 999;        // word whose read fails

    Image(std::size_t Offset, const std::string& Text) {
        const auto length = static_cast<std::uint8_t>(2 + 2 * Text.size());
        bytes[d2xx::kEepromProductEntry] = static_cast<std::uint8_t>(0x80 | Offset);
        bytes[d2xx::kEepromProductEntry + 1] = length;
        bytes[Offset] = length;
        bytes[Offset + 1] = 0x03;
        for (std::size_t i = 0; i < Text.size(); ++i)
            bytes[Offset + 2 + 2 * i] = static_cast<std::uint8_t>(Text[i]);
    }
    d2xx::FT_STATUS Decode(std::string& Out) {
        return DecodeEepromString(
            [this](std::size_t Word, std::uint16_t& Value) {
                reads.push_back(Word);
                if (Word == failAt) return false;
                Value = static_cast<std::uint16_t>(bytes[2 * Word] | bytes[2 * Word + 1] << 8);
                return true;
            },
            d2xx::kEepromProductEntry, Out);
    }
};

TEST(Ft232rEeprom, AStringMayEndRightBelowTheChecksumButNotReachIntoIt) {
    std::string out = "old";
    Image last(0x6E, "Kelvorn");  // bytes 0x6E..0x7D
    ASSERT_EQ(last.Decode(out), d2xx::FT_OK);
    EXPECT_EQ(out, "Kelvorn");
    EXPECT_THAT(last.reads, testing::ElementsAre(8, 55, 56, 57, 58, 59, 60, 61, 62));

    for (std::size_t offset : {0x6Fu, 0x70u}) {  // ends in the checksum word
        Image over(offset, "Kelvorn");
        std::string kept = "old";
        EXPECT_EQ(over.Decode(kept), d2xx::FT_EEPROM_READ_FAILED) << offset;
        EXPECT_EQ(kept, "old");
        EXPECT_THAT(over.reads, testing::ElementsAre(8)) << "nothing read past the entry";
    }
    for (std::size_t offset : {0x18u, 0x19u}) {  // the area's first byte; odd offsets too
        Image first(offset, "Kelvorn");
        ASSERT_EQ(first.Decode(out), d2xx::FT_OK) << offset;
        EXPECT_EQ(out, "Kelvorn");
    }
    Image header(0x17, "Kelvorn");  // inside the header words
    EXPECT_EQ(header.Decode(out), d2xx::FT_EEPROM_READ_FAILED);
}

TEST(Ft232rEeprom, AnOddLengthFailsEvenWhereTableAndHeaderAgree) {
    Image odd(0x20, "Kelvorn");
    odd.bytes[d2xx::kEepromProductEntry + 1] = odd.bytes[0x20] = 15;
    std::string out = "old";
    EXPECT_EQ(odd.Decode(out), d2xx::FT_EEPROM_READ_FAILED);
    EXPECT_EQ(out, "old");
}

TEST(Ft232rEeprom, AFailedWordReadFailsTheStringAndChangesNothing) {
    Image image(0x20, "Kelvorn");
    image.failAt = 0x12;
    std::string out = "old";
    EXPECT_EQ(image.Decode(out), d2xx::FT_IO_ERROR);
    EXPECT_EQ(out, "old");
    EXPECT_EQ(image.reads.back(), 0x12u) << "no read after the failed one";
}

TEST(Handles, NumberingWrapsPastTheLargestHandleAndSkipsOpenOnes) {
    const std::map<d2xx::FT_HANDLE, int> open = {{INT32_MAX, 0}, {1, 0}, {3, 0}};
    EXPECT_EQ(d2xx::NextFreeHandle(0, open), 2);
    EXPECT_EQ(d2xx::NextFreeHandle(INT32_MAX - 2, open), INT32_MAX - 1);
    EXPECT_EQ(d2xx::NextFreeHandle(INT32_MAX - 1, open), 2);
    EXPECT_EQ(d2xx::NextFreeHandle(2, open), 4);
}

}  // namespace
