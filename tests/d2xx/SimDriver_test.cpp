// The simulated boards: the seam's contract, and what the simulation adds for tests and the demo.
#include "d2xx/SimDriver.h"

#include <gmock/gmock.h>

#include "tests/d2xx/DriverContract.h"

using d2xx::FT_HANDLE;
using d2xx::SimDriver;

namespace {

class SimRig final : public contract::Rig {
public:
    d2xx::Driver& Driver() override { return sim; }
    int Add(const std::string& Serial, const std::string& Description) override {
        return sim.Add({Serial, Description});
    }
    void Unplug(int Id) override { sim.Unplug(Id); }
    void SetBusy(int Id, bool Busy) override { sim.SetBusy(Id, Busy); }
    void SetEepromFails(int Id) override { sim.SetEepromFails(Id, true); }
    void SetInputLevels(int Id, std::uint8_t Levels) override { sim.SetInputLevels(Id, Levels); }
    std::uint8_t OutputLatch(int Id) override { return sim.Latch(Id); }
    SimDriver sim;
};

std::unique_ptr<contract::Rig> MakeSimRig() { return std::make_unique<SimRig>(); }

}  // namespace

namespace contract {
INSTANTIATE_TEST_SUITE_P(Sim, DriverContract, testing::Values(&MakeSimRig),
                         [](const auto&) { return std::string("SimDriver"); });
}

namespace {

TEST(SimDriver, PinsAreAllInputsUntilBitBangIsSet) {
    SimDriver sim;
    const auto id = sim.Add({"S1", "Kelvorn", 0xA0});
    FT_HANDLE h = 0;
    ASSERT_EQ(sim.Open(0, &h), d2xx::FT_OK);
    const std::uint8_t byte = 0x15;
    ASSERT_EQ(sim.Write(h, &byte, 1, nullptr), d2xx::FT_OK);  // serial data, not pins
    EXPECT_EQ(sim.Pins(id), 0xA0);
    ASSERT_EQ(sim.SetBitMode(h, 0x15, 1), d2xx::FT_OK);
    ASSERT_EQ(sim.Write(h, &byte, 1, nullptr), d2xx::FT_OK);
    EXPECT_EQ(sim.Pins(id), 0xB5);
    ASSERT_EQ(sim.SetBitMode(h, 0x00, 0), d2xx::FT_OK);  // reset: all inputs again
    EXPECT_EQ(sim.Pins(id), 0xA0);
    EXPECT_THAT(sim.Written(id), testing::ElementsAre(0x15, 0x15));
}

// A wire from D0 to D6 pulls D6 low only while D0 is an output driven low, and never while D6 is
// an output itself.
TEST(SimDriver, AWirePullsItsInputOnlyWhileItsOutputPinIsDrivenLow) {
    const struct {
        std::uint8_t Mask, Mode, Latch, Pins;
    } cases[] = {{0x01, 1, 0x00, 0xBE},
                 {0x01, 1, 0x01, 0xFF},
                 {0x00, 1, 0x00, 0xFF},
                 {0x41, 1, 0x40, 0xFE},
                 {0x01, 0, 0x00, 0xFF}};
    SimDriver sim;
    const auto id = sim.Add({"S1", "Kelvorn", 0xFF, false, false, {{0x01, 0x40}}});
    FT_HANDLE h = 0;
    ASSERT_EQ(sim.Open(0, &h), d2xx::FT_OK);
    for (const auto& c : cases) {
        ASSERT_EQ(sim.SetBitMode(h, c.Mask, c.Mode), d2xx::FT_OK);
        ASSERT_EQ(sim.Write(h, &c.Latch, 1, nullptr), d2xx::FT_OK);
        EXPECT_EQ(sim.Pins(id), c.Pins) << int{c.Mask} << ' ' << int{c.Latch};
    }
}

TEST(SimDriver, ReplugLeavesOldHandlesDeadAndCountsThemUntilClosed) {
    SimDriver sim;
    const auto id = sim.Add({"S1", "Kelvorn"});
    FT_HANDLE before = 0;
    ASSERT_EQ(sim.Open(0, &before), d2xx::FT_OK);
    sim.Unplug(id);
    sim.Plug(id);
    EXPECT_EQ(sim.OpenHandles(), 1);
    std::uint8_t pins = 0;
    EXPECT_EQ(sim.GetBitMode(before, &pins), d2xx::FT_IO_ERROR);
    FT_HANDLE after = 0;
    ASSERT_EQ(sim.Open(0, &after), d2xx::FT_OK);
    EXPECT_NE(after, before);
    EXPECT_EQ(sim.GetBitMode(after, &pins), d2xx::FT_OK);
    EXPECT_EQ(sim.Close(before), d2xx::FT_OK);
    EXPECT_TRUE(sim.IsOpen(id));  // closing the dead handle does not free the new one
    EXPECT_EQ(sim.Close(after), d2xx::FT_OK);
    EXPECT_EQ(sim.OpenHandles(), 0);
}

TEST(SimDriver, RejectsBadArguments) {
    SimDriver sim;
    sim.Add({"S1", "Kelvorn"});
    FT_HANDLE h = 0;
    EXPECT_EQ(sim.OpenEx("S1", 2, &h), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(sim.OpenEx(nullptr, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(sim.Open(0, nullptr), d2xx::FT_INVALID_PARAMETER);
    ASSERT_EQ(sim.Open(0, &h), d2xx::FT_OK);
    EXPECT_EQ(sim.SetBaudRate(h, 0), d2xx::FT_INVALID_BAUD_RATE);
    EXPECT_EQ(sim.SetLatencyTimer(h, 1), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(sim.SetBitMode(h, 0x15, 0x40), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(sim.Write(h, nullptr, 1, nullptr), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(sim.GetBitMode(h, nullptr), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(sim.EE_Read(h, nullptr), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(sim.Close(h), d2xx::FT_OK);
}

}  // namespace
