// The contract every driver behind the seam keeps, as a value-parameterised suite. A driver's test
// binary includes this header, implements a Rig for its devices and instantiates the suite:
//   INSTANTIATE_TEST_SUITE_P(Sim, DriverContract, testing::Values(&MakeSimRig),
//                            [](const auto&) { return std::string("SimDriver"); });
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "d2xx/d2xx.h"

namespace contract {

// A driver with devices the test can plug, unplug, occupy and set pins on.
class Rig {
public:
    virtual ~Rig() = default;
    virtual d2xx::Driver& Driver() = 0;
    // Adds a device at the end of the device list; returns an id for the calls below.
    virtual int Add(const std::string& Serial, const std::string& Description) = 0;
    virtual void Unplug(int Id) = 0;
    virtual void SetBusy(int Id, bool Busy) = 0;
    virtual void SetEepromFails(int Id) = 0;
    virtual void SetInputLevels(int Id, std::uint8_t Levels) = 0;
    virtual std::uint8_t OutputLatch(int Id) = 0;  // last byte written in bit-bang mode
};
using RigFactory = std::unique_ptr<Rig> (*)();

// EEPROM string buffers with four guard bytes past each capacity, all set to Fill, and a record
// that names them.
struct EepromBuffers {
    explicit EepromBuffers(char Fill) {
        serial.fill(Fill);
        description.fill(Fill);
        record.SerialNumber = serial.data();
        record.Description = description.data();
    }
    std::string Serial() const { return std::string(serial.data(), d2xx::kSerialNumberSize); }
    std::string Description() const {
        return std::string(description.data(), d2xx::kDescriptionSize);
    }
    std::array<char, d2xx::kSerialNumberSize + 4> serial;
    std::array<char, d2xx::kDescriptionSize + 4> description;
    d2xx::FT_PROGRAM_DATA record{};
};

class DriverContract : public testing::TestWithParam<RigFactory> {
protected:
    std::unique_ptr<Rig> rig = GetParam()();
    d2xx::Driver& drv = rig->Driver();

    d2xx::FT_HANDLE OpenFirst() {
        d2xx::FT_HANDLE h = 0;
        EXPECT_EQ(drv.Open(0, &h), d2xx::FT_OK);
        EXPECT_NE(h, 0);
        return h;
    }
};

TEST_P(DriverContract, MissingAndBusyDevicesGiveDistinctStatusesAndLeaveTheHandleAlone) {
    const int id = rig->Add("S1", "Kelvorn");
    d2xx::FT_HANDLE h = 77;
    EXPECT_EQ(drv.Open(1, &h), d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(drv.Open(-1, &h), d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(drv.OpenEx("S2", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h), d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(drv.OpenEx("S", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h), d2xx::FT_DEVICE_NOT_FOUND);
    rig->SetBusy(id, true);
    EXPECT_EQ(drv.Open(0, &h), d2xx::FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(drv.OpenEx("S1", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h), d2xx::FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(h, 77);
}

TEST_P(DriverContract, ADeviceIsHeldByOneHandleUntilClosed) {
    rig->Add("S1", "Kelvorn");
    const d2xx::FT_HANDLE h = OpenFirst();
    d2xx::FT_HANDLE again = 0;
    EXPECT_EQ(drv.OpenEx("S1", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &again), d2xx::FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(again, 0);
    EXPECT_EQ(drv.Close(h), d2xx::FT_OK);
    EXPECT_EQ(drv.OpenEx("S1", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &again), d2xx::FT_OK);
    EXPECT_NE(again, 0);
    EXPECT_EQ(drv.Close(again), d2xx::FT_OK);
}

TEST_P(DriverContract, HandlesNotIssuedOrClosedAreRejectedAndTouchNothing) {
    const int id = rig->Add("S1", "Kelvorn");
    const d2xx::FT_HANDLE h = OpenFirst();
    ASSERT_EQ(drv.SetBitMode(h, 0x15, 1), d2xx::FT_OK);
    std::uint8_t byte = 0x15;
    ASSERT_EQ(drv.Write(h, &byte, 1, nullptr), d2xx::FT_OK);
    ASSERT_EQ(drv.Close(h), d2xx::FT_OK);

    for (const d2xx::FT_HANDLE bad : {d2xx::FT_HANDLE{0}, h, h + 1000, d2xx::FT_HANDLE{-1}}) {
        SCOPED_TRACE(bad);
        std::uint8_t out = 0x00;
        std::uint32_t count = 99;
        std::uint8_t pins = 0x5A;
        EepromBuffers b('x');
        EXPECT_EQ(drv.Write(bad, &out, 1, &count), d2xx::FT_INVALID_HANDLE);
        EXPECT_EQ(count, 99u);
        EXPECT_EQ(drv.GetBitMode(bad, &pins), d2xx::FT_INVALID_HANDLE);
        EXPECT_EQ(pins, 0x5A);
        EXPECT_EQ(drv.EE_Read(bad, &b.record), d2xx::FT_INVALID_HANDLE);
        EXPECT_EQ(b.serial[0], 'x');
        EXPECT_EQ(drv.SetBitMode(bad, 0x00, 0), d2xx::FT_INVALID_HANDLE);
        EXPECT_EQ(drv.SetBaudRate(bad, 9600), d2xx::FT_INVALID_HANDLE);
        EXPECT_EQ(drv.SetLatencyTimer(bad, 16), d2xx::FT_INVALID_HANDLE);
        EXPECT_EQ(drv.Close(bad), d2xx::FT_INVALID_HANDLE);
    }
    EXPECT_EQ(rig->OutputLatch(id), 0x15);
}

TEST_P(DriverContract, EepromStringsStayInsideTheirBuffers) {
    rig->Add("0123456789ABCDEFGHIJ", std::string(80, 'D'));
    const d2xx::FT_HANDLE h = OpenFirst();
    EepromBuffers b('#');
    ASSERT_EQ(drv.EE_Read(h, &b.record), d2xx::FT_OK);
    // The chip holds shorter strings than these; whatever arrives must stop at the capacity.
    EXPECT_EQ(std::string(b.serial.data() + d2xx::kSerialNumberSize, 4), "####");
    EXPECT_EQ(std::string(b.description.data() + d2xx::kDescriptionSize, 4), "####");
    EXPECT_EQ(b.serial[0], '0');
    EXPECT_EQ(b.description[0], 'D');
    drv.Close(h);
}

TEST_P(DriverContract, EepromReadReturnsBothStrings) {
    rig->Add("A1B2C3", "Kelvorn");
    const d2xx::FT_HANDLE h = OpenFirst();
    EepromBuffers b('\0');
    ASSERT_EQ(drv.EE_Read(h, &b.record), d2xx::FT_OK);
    EXPECT_STREQ(b.serial.data(), "A1B2C3");
    EXPECT_STREQ(b.description.data(), "Kelvorn");
    drv.Close(h);
}

TEST_P(DriverContract, FailedEepromReadLeavesTheBuffersAsTheyWere) {
    const int id = rig->Add("A1B2C3", "Kelvorn");
    rig->SetEepromFails(id);
    const d2xx::FT_HANDLE h = OpenFirst();
    EepromBuffers b('s');
    EXPECT_NE(drv.EE_Read(h, &b.record), d2xx::FT_OK);
    EXPECT_EQ(b.Serial(), std::string(d2xx::kSerialNumberSize, 's'));
    EXPECT_EQ(b.Description(), std::string(d2xx::kDescriptionSize, 's'));
    drv.Close(h);
}

TEST_P(DriverContract, BitBangDrivesMaskedPinsAndReadsTheOthers) {
    const int id = rig->Add("S1", "Kelvorn");
    rig->SetInputLevels(id, 0xEA);  // D1, D3, D5, D6, D7 high; D0, D2, D4 low
    const d2xx::FT_HANDLE h = OpenFirst();
    // Bytes written before bit-bang mode are serial data: they leave the pin latch alone.
    const std::uint8_t early = 0x15;
    ASSERT_EQ(drv.Write(h, &early, 1, nullptr), d2xx::FT_OK);
    EXPECT_EQ(rig->OutputLatch(id), 0x00);
    ASSERT_EQ(drv.SetBitMode(h, 0x15, 1), d2xx::FT_OK);
    ASSERT_EQ(drv.SetBaudRate(h, 100000), d2xx::FT_OK);
    ASSERT_EQ(drv.SetLatencyTimer(h, 2), d2xx::FT_OK);
    for (const std::uint8_t byte : std::array<std::uint8_t, 4>{0x15, 0x05, 0x11, 0x00}) {
        std::uint32_t count = 0;
        ASSERT_EQ(drv.Write(h, &byte, 1, &count), d2xx::FT_OK);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(rig->OutputLatch(id), byte);
        std::uint8_t pins = 0;
        ASSERT_EQ(drv.GetBitMode(h, &pins), d2xx::FT_OK);
        EXPECT_EQ(pins, (byte & 0x15) | (0xEA & ~0x15)) << int{byte};
    }
    rig->SetInputLevels(id, 0x00);
    std::uint8_t pins = 0xFF;
    ASSERT_EQ(drv.GetBitMode(h, &pins), d2xx::FT_OK);
    EXPECT_EQ(pins, 0x00);
    drv.Close(h);
}

TEST_P(DriverContract, AfterUnplugEveryCallFailsAndCloseStillFrees) {
    const int id = rig->Add("S1", "Kelvorn");
    const d2xx::FT_HANDLE h = OpenFirst();
    rig->Unplug(id);
    std::uint8_t byte = 0x15;
    std::uint8_t pins = 0x33;
    EXPECT_NE(drv.Write(h, &byte, 1, nullptr), d2xx::FT_OK);
    EXPECT_NE(drv.GetBitMode(h, &pins), d2xx::FT_OK);
    EXPECT_EQ(pins, 0x33);
    EXPECT_NE(drv.SetBitMode(h, 0x15, 1), d2xx::FT_OK);
    d2xx::FT_HANDLE other = 0;
    EXPECT_EQ(drv.Open(0, &other), d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(drv.Close(h), d2xx::FT_OK);
    EXPECT_EQ(drv.Close(h), d2xx::FT_INVALID_HANDLE);
}

}  // namespace contract
