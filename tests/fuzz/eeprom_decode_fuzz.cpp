// Arbitrary EEPROM images through the string decoder the libftdi driver runs on every device it
// scans. The first input byte picks a word whose read fails (none above 63); the rest is the image.
#include <array>
#include <cstdlib>
#include <set>
#include <string>

#include "d2xx/Ft232rEeprom.h"

namespace {

void Check(bool Ok) {
    if (!Ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) return 0;
    const std::size_t failAt = Data[0];
    std::array<std::uint8_t, 128> image{};
    for (std::size_t i = 1; i < Size && i <= image.size(); ++i) image[i - 1] = Data[i];

    for (const std::size_t entry : {d2xx::kEepromProductEntry, d2xx::kEepromSerialEntry}) {
        std::set<std::size_t> asked;
        bool failed = false;
        std::string out = "untouched";
        const d2xx::FT_STATUS status = d2xx::DecodeEepromString(
            [&](std::size_t Word, std::uint16_t& Value) {
                Check(Word < d2xx::kEepromWords && !failed);
                Check(asked.insert(Word).second);  // each word once
                if (Word == failAt) return failed = true, false;
                Value = static_cast<std::uint16_t>(image[2 * Word] | image[2 * Word + 1] << 8);
                return true;
            },
            entry, out);
        Check(status == d2xx::FT_OK || status == d2xx::FT_IO_ERROR ||
              status == d2xx::FT_EEPROM_READ_FAILED);
        Check((status == d2xx::FT_IO_ERROR) == failed);
        Check(status == d2xx::FT_OK || out == "untouched");
        if (status == d2xx::FT_OK) {
            // A string lies in the string area, below the checksum word, after its header.
            Check(out.size() <= (d2xx::kEepromChecksumByte - d2xx::kEepromStringAreaStart - 2) / 2);
            Check(asked.empty() || *asked.rbegin() < d2xx::kEepromChecksumByte / 2);
        }
    }
    return 0;
}
