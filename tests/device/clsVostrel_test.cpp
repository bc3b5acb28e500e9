// The board class on simulated boards: pin map, polarity, the bytes it writes, connect and
// teardown.
#include "device/clsVostrel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "d2xx/SimDriver.h"

using d2xx::SimBoard;
using d2xx::SimDriver;
using testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

namespace {

class BoardTest : public testing::Test {
protected:
    SimDriver sim;
    SimDriver::DeviceId board = sim.Add({"A1B2C3", "Kelvorn"});
    std::unique_ptr<clsVostrel> dev = std::make_unique<clsVostrel>(sim);

    void ConnectAllOff() {
        ASSERT_TRUE(dev->Connect("A1B2C3"));
        for (std::int16_t i = 0; i < 3; ++i) dev->BitOut(i, false);
    }
    Bytes WrittenSince(std::size_t From) const {
        const Bytes& all = sim.Written(board);
        return Bytes(all.begin() + static_cast<std::ptrdiff_t>(From), all.end());
    }
};

TEST_F(BoardTest, FreshObjectHasNoSerialAndReportsAllOutputsOnWithoutTouchingTheBoard) {
    sim.RecordCalls(true);
    EXPECT_EQ(dev->SerialNumber(), "");
    EXPECT_TRUE(dev->BitOut(0));
    EXPECT_TRUE(dev->BitOut(1));
    EXPECT_TRUE(dev->BitOut(2));
    EXPECT_TRUE(dev->BitOut(3));
    EXPECT_TRUE(dev->BitOut(-1));
    EXPECT_THAT(sim.Calls(), testing::IsEmpty());
}

TEST_F(BoardTest, ConnectOpensBySerialReadsEepromAndSetsBitBangWithoutWriting) {
    sim.RecordCalls(true);
    ASSERT_TRUE(dev->Connect("A1B2C3"));
    EXPECT_THAT(sim.Calls(),
                ElementsAre("OpenEx(A1B2C3,1)=0", "EE_Read(1)=0", "SetBitMode(1,0x15,1)=0",
                            "SetBaudRate(1,100000)=0", "SetLatencyTimer(1,2)=0"));
    EXPECT_EQ(dev->SerialNumber(), "A1B2C3");
    EXPECT_EQ(sim.Settings(board).Mask, 0x15);
    EXPECT_EQ(sim.Settings(board).Mode, 1);
    EXPECT_EQ(sim.Settings(board).BaudRate, 100000u);
    EXPECT_EQ(sim.Settings(board).Latency, 2);
    EXPECT_TRUE(sim.Written(board).empty());
}

TEST_F(BoardTest, OutputSequenceWritesTheLatchByteOnEveryAssignment) {
    ConnectAllOff();
    EXPECT_THAT(sim.Written(board), ElementsAre(0x01, 0x11, 0x15));
    const std::size_t start = sim.Written(board).size();

    dev->BitOut(1, true);  // 0x15 -> 0x05
    EXPECT_FALSE(dev->BitOut(0));
    EXPECT_TRUE(dev->BitOut(1));
    EXPECT_FALSE(dev->BitOut(2));
    dev->BitOut(1, false);  // 0x05 -> 0x15
    EXPECT_FALSE(dev->BitOut(1));
    dev->BitOut(2, true);  // 0x15 -> 0x11
    dev->BitOut(2, true);  // already on: same byte again
    EXPECT_TRUE(dev->BitOut(2));
    dev->BitOut(3, true);  // no such output: latch unchanged, still written
    dev->BitOut(-1, false);
    EXPECT_THAT(WrittenSince(start), ElementsAre(0x05, 0x15, 0x11, 0x11, 0x11, 0x11));
    EXPECT_EQ(sim.Latch(board), 0x11);
    // Output 2 on drives D2 low; D0 and D4 stay high.
    EXPECT_EQ(sim.Pins(board) & 0x15, 0x11);
}

TEST_F(BoardTest, EachOutputIndexDrivesItsOwnPin) {
    ConnectAllOff();
    const std::uint8_t pinOf[3] = {0x01, 0x10, 0x04};  // D0, D4, D2
    for (std::int16_t i = 0; i < 3; ++i) {
        dev->BitOut(i, true);
        EXPECT_EQ(sim.Pins(board) & 0x15, 0x15 & ~pinOf[i]) << "output " << i;
        for (std::int16_t j = 0; j < 3; ++j) EXPECT_EQ(dev->BitOut(j), i == j) << i << "," << j;
        dev->BitOut(i, false);
    }
}

TEST_F(BoardTest, EachInputIndexReadsItsOwnPin) {
    ASSERT_TRUE(dev->Connect("A1B2C3"));
    const std::uint8_t pinOf[5] = {0x40, 0x08, 0x20, 0x80, 0x02};  // D6, D3, D5, D7, D1
    for (std::int16_t i = 0; i < 5; ++i) {
        sim.SetInputLevels(board, pinOf[i]);
        for (std::int16_t j = 0; j < 5; ++j) EXPECT_EQ(dev->BitInput(j), i == j) << i << "," << j;
    }
}

TEST_F(BoardTest, PinByteWithD6LowReadsInputZeroLowOnly) {
    ASSERT_TRUE(dev->Connect("A1B2C3"));
    sim.SetInputLevels(board, 0xBF);
    EXPECT_FALSE(dev->BitInput(0));
    for (std::int16_t i = 1; i < 5; ++i) EXPECT_TRUE(dev->BitInput(i)) << i;
    const auto reads = sim.PinReads(board);
    EXPECT_FALSE(dev->BitInput(5));  // no such input, but the pins are still read
    EXPECT_FALSE(dev->BitInput(-1));
    EXPECT_EQ(sim.PinReads(board), reads + 2);
}

TEST_F(BoardTest, WithNoBoardOpenOutputsOnlyChangeTheLatchAndInputsReadFalse) {
    sim.SetInputLevels(board, 0xFF);
    dev->BitOut(0, false);
    EXPECT_FALSE(dev->BitOut(0));
    EXPECT_FALSE(dev->BitInput(1));
    EXPECT_TRUE(sim.Written(board).empty());
    EXPECT_EQ(sim.PinReads(board), 0u);
}

TEST_F(BoardTest, FailedConnectChangesNothingAndKeepsTheOpenBoardUsable) {
    ASSERT_TRUE(dev->Connect("A1B2C3"));
    dev->BitOut(0, false);
    sim.RecordCalls(true);
    EXPECT_FALSE(dev->Connect("ZZ9999"));
    EXPECT_THAT(sim.Calls(), ElementsAre("OpenEx(ZZ9999,1)=2"));
    EXPECT_EQ(dev->SerialNumber(), "A1B2C3");
    EXPECT_FALSE(dev->BitOut(0));
    dev->BitOut(1, false);
    EXPECT_EQ(sim.Latch(board), 0x11);
    EXPECT_EQ(sim.OpenHandles(), 1);
}

TEST_F(BoardTest, ConnectFailsOnABoardHeldByAnotherProgram) {
    sim.SetBusy(board, true);
    EXPECT_FALSE(dev->Connect("A1B2C3"));
    EXPECT_EQ(dev->SerialNumber(), "");
    EXPECT_EQ(sim.OpenHandles(), 0);
}

TEST_F(BoardTest, ConnectToASecondBoardReleasesTheFirst) {
    const auto other = sim.Add({"Q7", "Kelvorn"});
    ASSERT_TRUE(dev->Connect("A1B2C3"));
    ASSERT_TRUE(dev->Connect("Q7"));
    EXPECT_EQ(sim.OpenHandles(), 1);
    EXPECT_FALSE(sim.IsOpen(board));
    EXPECT_TRUE(sim.IsOpen(other));
    EXPECT_EQ(dev->SerialNumber(), "Q7");
}

TEST_F(BoardTest, SerialComesFromTheEepromAndIsEmptyWhenTheReadFails) {
    sim.SetEepromFails(board, true);
    EXPECT_TRUE(dev->Connect("A1B2C3"));
    EXPECT_EQ(dev->SerialNumber(), "");
    EXPECT_EQ(sim.Settings(board).Mode, 1);  // configured all the same
}

TEST_F(BoardTest, UnpluggedBoardReadsLowAndKeepsTheLatchThenTeardownReleasesIt) {
    ConnectAllOff();
    sim.Unplug(board);
    const auto written = sim.Written(board).size();
    EXPECT_FALSE(dev->BitInput(1));
    dev->BitOut(0, true);
    EXPECT_TRUE(dev->BitOut(0));
    EXPECT_EQ(sim.Written(board).size(), written);
    EXPECT_EQ(sim.OpenHandles(), 1);
    dev.reset();
    EXPECT_EQ(sim.OpenHandles(), 0);
}

TEST_F(BoardTest, TeardownClosesTheBoardWithoutWritingToIt) {
    ASSERT_TRUE(dev->Connect("A1B2C3"));
    sim.RecordCalls(true);
    dev.reset();
    EXPECT_THAT(sim.Calls(), ElementsAre("Close(1)=0"));
    EXPECT_FALSE(sim.IsOpen(board));
}

// The serial string is the buffer's bytes up to the first zero, at most 17 of them.
class SerialText : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(SerialText, IsReadBackFromTheEepromBuffer) {
    const auto& [eeprom, expected] = GetParam();
    SimDriver sim;
    sim.Add({eeprom, "Kelvorn"});
    clsVostrel dev(sim);
    ASSERT_TRUE(dev.Connect(eeprom));
    EXPECT_EQ(dev.SerialNumber(), expected);
}

// The cases below, in order, named after what each shows.
std::string SerialCase(const testing::TestParamInfo<SerialText::ParamType>& Info) {
    static const char* const names[] = {"SixteenCharacters", "SeventeenFillTheBuffer",
                                        "LongerCutToSeventeen", "EightBitBytes"};
    return names[Info.index];
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, SerialText,
    testing::Values(std::pair{std::string("0123456789ABCDEF"), std::string("0123456789ABCDEF")},
                    std::pair{std::string("0123456789ABCDEFG"), std::string("0123456789ABCDEFG")},
                    std::pair{std::string("0123456789ABCDEFGHIJ"),
                              std::string("0123456789ABCDEFG")},
                    std::pair{std::string("\xC4\xD6\xDC\xDF\xFF\x80"),
                              std::string("\xC4\xD6\xDC\xDF\xFF\x80")}),
    SerialCase);

}  // namespace
