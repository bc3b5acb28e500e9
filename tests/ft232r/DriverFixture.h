// What the driver tests share: a testbed of emulated boards and the libftdi driver on it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "EmulatedFt232r.h"
#include "d2xx/LibftdiDriver.h"

namespace ft232r {

class DriverFixture : public testing::Test {
protected:
    // Declared before the driver: the driver closes its handles before the boards go.
    Testbed bed;
    d2xx::LibftdiDriver driver;

    d2xx::FT_HANDLE OpenIndex(std::int32_t Index) {
        d2xx::FT_HANDLE handle = 0;
        EXPECT_EQ(driver.Open(Index, &handle), d2xx::FT_OK) << "index " << Index;
        return handle;
    }

    struct OpenBoard {
        EmulatedFt232r& board;
        d2xx::FT_HANDLE handle;
    };
    // Adds an FTDI board, opens it through the driver, takes it as the first call that drives
    // the chip does (here a bit mode reset) and clears its log.
    OpenBoard AddOpened(const BoardConfig& Config = {}) {
        EmulatedFt232r& board = bed.Add(Config);
        const d2xx::FT_HANDLE handle = OpenIndex(static_cast<std::int32_t>(bed.Size()) - 1);
        EXPECT_EQ(driver.SetBitMode(handle, 0, 0), d2xx::FT_OK);
        board.ClearLog();
        return {board, handle};
    }
};

// EEPROM string buffers of the record's capacities, followed by guard bytes; all start 0xAA.
struct EepromBuffers {
    static constexpr std::size_t kGuard = 4;
    std::array<char, d2xx::kDescriptionSize + kGuard> description;
    std::array<char, d2xx::kSerialNumberSize + kGuard> serial;
    d2xx::FT_PROGRAM_DATA record{};

    explicit EepromBuffers(bool WithDescription = true, bool WithSerial = true) {
        description.fill('\xAA');
        serial.fill('\xAA');
        record.Description = WithDescription ? description.data() : nullptr;
        record.SerialNumber = WithSerial ? serial.data() : nullptr;
    }
    std::string Description() const { return Text(description.data(), d2xx::kDescriptionSize); }
    std::string Serial() const { return Text(serial.data(), d2xx::kSerialNumberSize); }
    bool Untouched() const {
        auto all = [](const auto& a) {
            return std::all_of(a.begin(), a.end(), [](char c) { return c == '\xAA'; });
        };
        return all(description) && all(serial);
    }
    static std::string Text(const char* p, std::size_t capacity) {
        return std::string(p, strnlen(p, capacity));
    }
};

}  // namespace ft232r
