// The board class on the libftdi driver and emulated boards: what the panel's Read, connect and
// poll tick put on the bus, and what they cost in transfers.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

#include "DriverFixture.h"
#include "device/clsVostrel.h"

namespace ft232r {
namespace {

using d2xx::LibftdiDriver;

constexpr std::array<std::uint8_t, 5> kInputMask = {0x40, 0x08, 0x20, 0x80, 0x02};

class VostrelOnLibftdi : public DriverFixture {
protected:
    std::optional<clsVostrel> vostrel{std::in_place, driver};  // released before the driver

    EmulatedFt232r& Board(const std::string& Serial) { return bed.Add({.Serial = Serial}); }
    EmulatedFt232r& Foreign(const std::string& Serial) {
        return bed.Add({.Serial = Serial, .Description = "FT232R USB UART"});
    }
    std::string Scan() {
        vostrel->Identify();
        EXPECT_EQ(driver.OpenHandles(), 0u) << "a scan leaves nothing open";
        return vostrel->SerialNumber();
    }
    // One poll tick: five pin reads, and in test mode one pattern row of three writes.
    std::array<bool, 5> Tick(std::optional<std::array<bool, 3>> Row = std::nullopt) {
        std::array<bool, 5> inputs{};
        for (std::int16_t i = 0; i < 5; ++i)
            inputs[static_cast<std::size_t>(i)] = vostrel->BitInput(i);
        if (Row)
            for (std::int16_t i = 0; i < 3; ++i)
                vostrel->BitOut(i, (*Row)[static_cast<std::size_t>(i)]);
        return inputs;
    }
};

// Every device the scan passes belongs to someone else until connect: it may be read, never taken.
TEST_F(VostrelOnLibftdi, ReadOnlyReadsEveryDeviceAndLeavesItAsItWas) {
    auto& adapter = Foreign("FOREIGN1");  // a USB-serial cable, its ttyUSB in use or not
    auto& busy = Board("BUSY0001");       // claimed through libusb by another program
    busy.SetBusy(true);
    // No serial driver at all: ftdi_sio not loaded or blacklisted, or in a container.
    auto& board = bed.Add({.Serial = "KV000042", .KernelDriverBound = false});
    EXPECT_EQ(Scan(), "KV000042");
    EXPECT_TRUE(busy.Busy());
    EXPECT_TRUE(busy.Log().empty());
    EXPECT_TRUE(adapter.KernelDriverBound());
    EXPECT_FALSE(board.KernelDriverBound());
    for (auto* b : {&adapter, &busy, &board}) EXPECT_EQ(b->Unbinds(), 0) << "not even for a moment";
    for (auto* b : {&adapter, &board}) {
        EXPECT_FALSE(b->Claimed());
        EXPECT_FALSE(b->Log().empty());
        for (const Transfer& t : b->Log()) {
            EXPECT_EQ(t.kind, Transfer::Kind::Control);
            EXPECT_EQ(t.RequestType, 0xC0);
            EXPECT_EQ(t.Request, request::ReadEeprom);
        }
    }
    EXPECT_TRUE(bed.WaitUntilAllClosed(2000));
    ASSERT_TRUE(vostrel->Connect("KV000042")) << "the Read left nothing holding it";
    EXPECT_TRUE(board.Claimed());
}

TEST_F(VostrelOnLibftdi, ConnectTakesOnlyTheBoardAndReadGivesItBack) {
    auto& adapter = Foreign("FOREIGN1");
    auto& board = Board("KV000042");
    ASSERT_TRUE(vostrel->Connect("KV000042"));
    EXPECT_FALSE(board.KernelDriverBound());
    EXPECT_TRUE(board.Claimed());
    EXPECT_TRUE(adapter.KernelDriverBound());
    for (const Transfer& t : adapter.Log()) EXPECT_EQ(t.Request, request::GetDescriptor);

    EXPECT_EQ(Scan(), "KV000042");  // closes the board first
    EXPECT_TRUE(board.KernelDriverBound());
    EXPECT_FALSE(board.Claimed());
    ASSERT_TRUE(vostrel->Connect("KV000042"));  // and it can be taken again
    EXPECT_FALSE(board.KernelDriverBound());
    vostrel.reset();  // the window closing
    EXPECT_TRUE(board.KernelDriverBound());
    EXPECT_TRUE(adapter.KernelDriverBound());
}

TEST_F(VostrelOnLibftdi, OneProtocolErrorCostsOneInputForOneTick) {
    auto& board = Board("KV000042");
    ASSERT_TRUE(vostrel->Connect("KV000042"));
    board.SetInputs(0xFF);
    board.FailNext(request::ReadPins, EPROTO);
    EXPECT_EQ(Tick(), (std::array<bool, 5>{false, true, true, true, true}));
    EXPECT_EQ(Tick(), (std::array<bool, 5>{true, true, true, true, true}));
    vostrel->BitOut(0, true);
    EXPECT_EQ(board.Latch(), 0x00);
}

TEST_F(VostrelOnLibftdi, ReadStepsThroughTwoMatchingBoards) {
    Board("KV000001");
    Foreign("FOREIGN1");
    Board("KV000002");
    EXPECT_EQ(Scan(), "KV000001");
    EXPECT_EQ(Scan(), "KV000002");
    EXPECT_EQ(Scan(), "KV000001");
}

TEST_F(VostrelOnLibftdi, BlankOrGarbledEepromNeitherCrashesNorMatches) {
    bed.Add({.Eeprom = EepromContent::Blank});
    bed.Add({.Eeprom = EepromContent::Garbled});
    EXPECT_EQ(Scan(), "");
    Board("KV000003");
    EXPECT_EQ(Scan(), "KV000003");
}

TEST_F(VostrelOnLibftdi, ConnectConfiguresTheBoardAndWritesNothing) {
    auto& board = Board("KV000042");
    EXPECT_FALSE(vostrel->Connect("KV00004"));
    ASSERT_TRUE(vostrel->Connect("KV000042"));
    EXPECT_EQ(vostrel->SerialNumber(), "KV000042");
    EXPECT_EQ(board.BitMask(), 0x15);
    EXPECT_EQ(board.BitMode(), 0x01);
    EXPECT_EQ(board.BaudRate(), 100000u);
    EXPECT_EQ(board.LatencyTimer(), 2);
    EXPECT_EQ(board.BulkOutCount(), 0u);
}

TEST_F(VostrelOnLibftdi, OutputWritesReachTheLatchByteForByte) {
    auto& board = Board("KV000042");
    ASSERT_TRUE(vostrel->Connect("KV000042"));
    // The panel's connect with only output 0 checked, then output 1 on and an index out of range.
    vostrel->BitOut(0, true);
    EXPECT_EQ(board.Latch(), 0x00);
    vostrel->BitOut(1, false);
    EXPECT_EQ(board.Latch(), 0x10);
    vostrel->BitOut(2, false);
    EXPECT_EQ(board.Latch(), 0x14);
    vostrel->BitOut(1, true);
    vostrel->BitOut(3, true);
    EXPECT_EQ(board.BulkOutBytes(), (std::vector<std::uint8_t>{0x00, 0x10, 0x14, 0x04, 0x04}));
    EXPECT_EQ(board.Pins() & 0x15, 0x04);  // D0 and D4 low (on), D2 high (off)
}

TEST_F(VostrelOnLibftdi, InputsFollowThePinsThroughThePinMap) {
    auto& board = Board("KV000042");
    ASSERT_TRUE(vostrel->Connect("KV000042"));
    vostrel->BitOut(0, false);  // latch 0x01: an output pin high must not show as an input
    for (std::size_t i = 0; i < kInputMask.size(); ++i) {
        board.SetInputs(kInputMask[i]);
        const auto inputs = Tick();
        for (std::size_t j = 0; j < inputs.size(); ++j)
            EXPECT_EQ(inputs[j], i == j) << i << " " << j;
    }
    board.SetInputs(0xBF);  // D6 low
    EXPECT_EQ(Tick(), (std::array<bool, 5>{false, true, true, true, true}));
    board.SetInputs(0x15);  // only the output pins high from outside: they show the latch
    EXPECT_EQ(Tick(), (std::array<bool, 5>{}));
}

TEST_F(VostrelOnLibftdi, AfterAnUnplugInputsReadFalseAndTeardownReleasesTheHandle) {
    auto& board = Board("KV000042");
    ASSERT_TRUE(vostrel->Connect("KV000042"));
    board.SetInputs(0xFF);
    EXPECT_EQ(Tick(), (std::array<bool, 5>{true, true, true, true, true}));
    board.Unplug();
    EXPECT_EQ(Tick(std::array<bool, 3>{true, false, true}), (std::array<bool, 5>{}));
    EXPECT_TRUE(vostrel->BitOut(0));  // the latch still records the assignments
    EXPECT_FALSE(vostrel->BitOut(1));
    EXPECT_EQ(driver.OpenHandles(), 1u);
    vostrel.reset();
    EXPECT_EQ(driver.OpenHandles(), 0u);
    EXPECT_TRUE(bed.WaitUntilAllClosed(2000));
}

TEST_F(VostrelOnLibftdi, SilentBoardStallsATickForOneTimeoutAtMost) {
    auto& board = Board("KV000042");
    ASSERT_TRUE(vostrel->Connect("KV000042"));
    board.ClearLog();
    board.SetAnswering(false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Tick(std::array<bool, 3>{true, true, true}), (std::array<bool, 5>{}));
    const auto stalled = std::chrono::steady_clock::now() - start;
    // Of the tick's eight calls only the first reached the bus; it waited one timeout.
    ASSERT_EQ(board.Log().size(), 1u);
    EXPECT_FALSE(board.Log()[0].Answered);
    EXPECT_LT(stalled, std::chrono::milliseconds(500));
    board.ClearLog();
    Tick(std::array<bool, 3>{false, false, false});
    EXPECT_TRUE(board.Log().empty()) << "the next tick costs nothing";
}

TEST_F(VostrelOnLibftdi, TransferCostsOfReadConnectAndTick) {
    auto& board = Board("KV000042");
    // Read: the EEPROM only: two table words, 8 words "Kelvorn", 9 words the serial.
    EXPECT_EQ(Scan(), "KV000042");
    EXPECT_EQ(board.Log().size(), 19u);
    EXPECT_EQ(board.ControlCount(request::ReadEeprom), 19u);

    // connect: languages and serial descriptors, open (reset, baud rate), the serial from the
    // EEPROM (table word + 9 words), bit mode, baud rate, latency.
    board.ClearLog();
    ASSERT_TRUE(vostrel->Connect("KV000042"));
    EXPECT_EQ(board.Log().size(), 17u);
    EXPECT_EQ(board.ControlCount(request::GetDescriptor), 2u);
    EXPECT_EQ(board.ControlCount(request::ReadEeprom), 10u);

    // A tick: five pin reads, and in test mode three one-byte writes.
    board.ClearLog();
    Tick();
    EXPECT_EQ(board.Log().size(), 5u);
    EXPECT_EQ(board.ControlCount(request::ReadPins), 5u);
    board.ClearLog();
    Tick(std::array<bool, 3>{true, true, false});
    const auto log = board.Log();
    ASSERT_EQ(log.size(), 8u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(log[i].Request, request::ReadPins);
    for (std::size_t i = 5; i < 8; ++i) {
        EXPECT_EQ(log[i].kind, Transfer::Kind::BulkOut);
        EXPECT_EQ(log[i].Data.size(), 1u);
    }
}

}  // namespace
}  // namespace ft232r
