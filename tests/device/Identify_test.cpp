// The scan for attached Kelvorn boards on simulated device lists.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "d2xx/SimDriver.h"
#include "device/clsVostrel.h"

using d2xx::SimBoard;
using d2xx::SimDriver;
using testing::ElementsAre;

namespace {

class ScanTest : public testing::Test {
protected:
    SimDriver sim;
    clsVostrel dev{sim};

    SimDriver::DeviceId Board(const std::string& Serial) { return sim.Add({Serial, "Kelvorn"}); }
    SimDriver::DeviceId Foreign(const std::string& Serial) {
        return sim.Add({Serial, "FT232R USB UART"});
    }
    // Scans once and checks that the scan left nothing open.
    std::string Scan() {
        dev.Identify();
        EXPECT_EQ(sim.OpenHandles(), 0);
        return dev.SerialNumber();
    }
};

TEST_F(ScanTest, OneBoardIsFoundOnTheFirstOpenAndAgainAfterAWrap) {
    Board("A1B2C3");
    sim.RecordCalls(true);
    EXPECT_EQ(Scan(), "A1B2C3");
    EXPECT_THAT(sim.Calls(), ElementsAre("Open(0)=0", "EE_Read(1)=0", "Close(1)=0"));

    sim.ClearCalls();
    EXPECT_EQ(Scan(), "A1B2C3");
    EXPECT_THAT(sim.Calls(), ElementsAre("Open(1)=2", "Open(0)=0", "EE_Read(2)=0", "Close(2)=0"));
}

TEST_F(ScanTest, SuccessiveScansStepThroughTwoBoards) {
    Board("FIRST");
    Board("SECOND");
    EXPECT_EQ(Scan(), "FIRST");
    EXPECT_EQ(Scan(), "SECOND");
    EXPECT_EQ(Scan(), "FIRST");
    EXPECT_EQ(Scan(), "SECOND");
}

TEST_F(ScanTest, ForeignDevicesAreSkipped) {
    Foreign("FT0001");
    Board("A1B2C3");
    Foreign("FT0002");
    EXPECT_EQ(Scan(), "A1B2C3");
    EXPECT_EQ(Scan(), "A1B2C3");
}

TEST_F(ScanTest, EndsEmptyWithNoDeviceOrOnlyForeignOnes) {
    sim.RecordCalls(true);
    EXPECT_EQ(Scan(), "");
    EXPECT_THAT(sim.Calls(), ElementsAre("Open(0)=2"));

    Foreign("FT0001");
    Foreign("FT0002");
    EXPECT_EQ(Scan(), "");
    // The next scan starts again at index 0 and makes one pass only.
    sim.ClearCalls();
    EXPECT_EQ(Scan(), "");
    EXPECT_THAT(sim.Calls(), ElementsAre("Open(0)=0", "EE_Read(3)=0", "Close(3)=0",  //
                                         "Open(1)=0", "EE_Read(4)=0", "Close(4)=0", "Open(2)=2"));
}

TEST_F(ScanTest, ScanStartedPastTheBoardsWrapsOnceAndEnds) {
    Board("A1B2C3");
    Foreign("FT0001");
    EXPECT_EQ(Scan(), "A1B2C3");
    sim.SetEepromFails(0, true);  // the board no longer reads as a Kelvorn
    sim.RecordCalls(true);
    EXPECT_EQ(Scan(), "");
    // From index 1 to the end, then one pass from 0; no third round.
    EXPECT_EQ(std::count(sim.Calls().begin(), sim.Calls().end(), "Open(2)=2"), 2);
    EXPECT_EQ(sim.Calls().size(), 11u);
}

TEST_F(ScanTest, DescriptionMustMatchExactly) {
    sim.Add({"LOWER", "kelvorn"});
    sim.Add({"LONGER", "Kelvorn2"});
    sim.Add({"SPACE", "Kelvorn "});
    sim.Add({"SHORT", "Kelvor"});
    sim.Add({"EMPTY", ""});
    EXPECT_EQ(Scan(), "");
    Board("REAL");
    EXPECT_EQ(Scan(), "REAL");
}

TEST_F(ScanTest, BusyDevicesAreSkippedNotTakenAsTheEndOfTheList) {
    const auto busy = Foreign("TERMINAL");
    sim.SetBusy(busy, true);
    Board("A1B2C3");
    EXPECT_EQ(Scan(), "A1B2C3");
    EXPECT_EQ(Scan(), "A1B2C3");

    SimDriver alone;
    alone.SetBusy(alone.Add({"HELD", "Kelvorn"}), true);
    clsVostrel other(alone);
    other.Identify();
    EXPECT_EQ(other.SerialNumber(), "");
    EXPECT_EQ(alone.OpenHandles(), 0);
}

TEST_F(ScanTest, AFailedEepromReadNeitherMatchesNorHidesTheNextBoard) {
    Foreign("FT0001");
    const auto broken = Board("BROKEN");
    sim.SetEepromFails(broken, true);
    Board("A1B2C3");
    EXPECT_EQ(Scan(), "A1B2C3");
    EXPECT_EQ(Scan(), "A1B2C3");
}

TEST_F(ScanTest, ConnectedBoardIsClosedAndTheScanRestartsAtTheFirstDevice) {
    Board("FIRST");
    const auto second = Board("SECOND");
    EXPECT_EQ(Scan(), "FIRST");
    ASSERT_TRUE(dev.Connect("SECOND"));
    EXPECT_TRUE(sim.IsOpen(second));
    EXPECT_EQ(Scan(), "FIRST");  // not SECOND: the scan began at 0 again
    EXPECT_FALSE(sim.IsOpen(second));
}

TEST_F(ScanTest, UnpluggedDevicesLeaveTheListAndReplugBringsThemBack) {
    const auto first = Board("FIRST");
    Board("SECOND");
    sim.Unplug(first);
    EXPECT_EQ(Scan(), "SECOND");
    EXPECT_EQ(Scan(), "SECOND");
    sim.Plug(first);  // back at index 0; the scan goes on from index 1
    EXPECT_EQ(Scan(), "SECOND");
    EXPECT_EQ(Scan(), "FIRST");
}

TEST_F(ScanTest, SerialIsTakenUpToItsFirstZeroByteAndKeepsHighBytes) {
    sim.Add({std::string("AB\0CD", 5), "Kelvorn"});
    EXPECT_EQ(Scan(), "AB");
    SimDriver other;
    other.Add({"\xC4\xD6\xDC-\xFF", "Kelvorn"});
    clsVostrel dev2(other);
    dev2.Identify();
    EXPECT_EQ(dev2.SerialNumber(), "\xC4\xD6\xDC-\xFF");
}

TEST_F(ScanTest, DescriptionFillingItsWholeBufferDoesNotMatch) {
    sim.Add({"LONG", "Kelvorn" + std::string(60, 'x')});
    EXPECT_EQ(Scan(), "");
}

// A driver that never reports the end of its device list must not keep the scan going.
class EndlessDriver : public d2xx::Driver {
public:
    MOCK_METHOD(d2xx::FT_STATUS, Open, (std::int32_t, d2xx::FT_HANDLE*), (override));
    MOCK_METHOD(d2xx::FT_STATUS, OpenEx, (const char*, std::uint32_t, d2xx::FT_HANDLE*),
                (override));
    MOCK_METHOD(d2xx::FT_STATUS, Close, (d2xx::FT_HANDLE), (override));
    MOCK_METHOD(d2xx::FT_STATUS, EE_Read, (d2xx::FT_HANDLE, d2xx::FT_PROGRAM_DATA*), (override));
    MOCK_METHOD(d2xx::FT_STATUS, SetBitMode, (d2xx::FT_HANDLE, std::uint8_t, std::uint8_t),
                (override));
    MOCK_METHOD(d2xx::FT_STATUS, SetBaudRate, (d2xx::FT_HANDLE, std::uint32_t), (override));
    MOCK_METHOD(d2xx::FT_STATUS, SetLatencyTimer, (d2xx::FT_HANDLE, std::uint8_t), (override));
    MOCK_METHOD(d2xx::FT_STATUS, Write,
                (d2xx::FT_HANDLE, const void*, std::uint32_t, std::uint32_t*), (override));
    MOCK_METHOD(d2xx::FT_STATUS, GetBitMode, (d2xx::FT_HANDLE, std::uint8_t*), (override));
};

TEST(ScanBounds, EndsOnADriverThatCallsEveryIndexBusy) {
    testing::NiceMock<EndlessDriver> driver;
    ON_CALL(driver, Open).WillByDefault(testing::Return(d2xx::FT_DEVICE_NOT_OPENED));
    EXPECT_CALL(driver, Open).Times(testing::Between(1, 1000));
    clsVostrel dev(driver);
    dev.Identify();
    EXPECT_EQ(dev.SerialNumber(), "");
}

TEST(ScanBounds, EndsOnADriverThatFailsEveryOpen) {
    testing::NiceMock<EndlessDriver> driver;
    ON_CALL(driver, Open).WillByDefault(testing::Return(d2xx::FT_IO_ERROR));
    EXPECT_CALL(driver, Open).Times(1);
    clsVostrel dev(driver);
    dev.Identify();
    EXPECT_EQ(dev.SerialNumber(), "");
}

}  // namespace
