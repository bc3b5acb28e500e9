// The driver's contract, checked against emulated FT232R boards: what each call puts on the bus
// and what it returns.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "DriverFixture.h"

namespace ft232r {
namespace {

using namespace d2xx;

constexpr FT_HANDLE kUnset = 4711;  // what a failing open must leave in the handle

class LibftdiDriverOpen : public DriverFixture {};
class LibftdiDriverOpenEx : public DriverFixture {};
class LibftdiDriverEeprom : public DriverFixture {};
class LibftdiDriverIo : public DriverFixture {};
class LibftdiDriverFailure : public DriverFixture {};

std::string SerialOf(Driver& Drv, FT_HANDLE Handle) {
    EepromBuffers buffers(false, true);
    EXPECT_EQ(Drv.EE_Read(Handle, &buffers.record), FT_OK);
    return buffers.Serial();
}

// An EEPROM image edited byte-wise, with the checksum recomputed.
EepromWords Edited(const std::function<void(EepromBytes&)>& Edit) {
    EepromBytes b = ToBytes(ProgrammedEeprom("FTDI", "Kelvorn", "KV000001"));
    Edit(b);
    EepromWords w = ToWords(b);
    w[63] = EepromChecksum(w);
    return w;
}

TEST_F(LibftdiDriverOpen, OpensTheIndexthFtdiDeviceInListingOrder) {
    bed.Add({.Serial = "S0"});
    bed.Add({.Serial = "S1", .ProductId = 0x6015});      // FT-X: FTDI default id, listed
    bed.Add({.VendorId = 0x046D, .ProductId = 0xC52B});  // not FTDI: not listed
    bed.Add({.Serial = "S2"});
    const FT_HANDLE h0 = OpenIndex(0), h1 = OpenIndex(1), h2 = OpenIndex(2);
    EXPECT_GT(h0, 0);
    EXPECT_NE(h0, h1);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(SerialOf(driver, h0), "S0");
    EXPECT_EQ(SerialOf(driver, h1), "S1");
    EXPECT_EQ(SerialOf(driver, h2), "S2");

    FT_HANDLE handle = kUnset;
    EXPECT_EQ(driver.Open(3, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(driver.Open(-1, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, kUnset);
    EXPECT_EQ(driver.Open(0, nullptr), FT_INVALID_PARAMETER);
}

TEST_F(LibftdiDriverOpen, NothingAttachedIsNotFound) {
    FT_HANDLE handle = kUnset;
    EXPECT_EQ(driver.Open(0, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(driver.OpenEx("KV000001", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, kUnset);
}

TEST_F(LibftdiDriverOpen, OpenOnlyLooksTheFirstDrivingCallTakesAndCloseGivesBack) {
    auto& board = bed.Add();
    const FT_HANDLE h = OpenIndex(0);
    EXPECT_EQ(SerialOf(driver, h), "KV000001");
    // Nothing but EEPROM reads, and the serial driver keeps the board.
    for (const Transfer& t : board.Log()) EXPECT_EQ(t.Request, request::ReadEeprom);
    EXPECT_TRUE(board.KernelDriverBound());
    EXPECT_FALSE(board.Claimed());
    board.ClearLog();

    ASSERT_EQ(driver.SetLatencyTimer(h, 2), FT_OK);
    EXPECT_FALSE(board.KernelDriverBound());
    EXPECT_TRUE(board.Claimed());
    // libftdi resets the chip and sets 9600 baud as it takes the board.
    const auto log = board.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].Request, request::Reset);
    EXPECT_EQ(log[1].Request, request::SetBaudRate);
    EXPECT_EQ(log[2].Request, request::SetLatencyTimer);

    ASSERT_EQ(driver.Close(h), FT_OK);
    EXPECT_FALSE(board.Claimed());
    EXPECT_TRUE(board.KernelDriverBound()) << "its ttyUSB comes back without a replug";
}

TEST_F(LibftdiDriverOpen, BusyOrAlreadyOpenDeviceIsNotOpened) {
    auto& busy = bed.Add();
    busy.SetBusy(true);
    auto& held = bed.Add();
    FT_HANDLE handle = kUnset;
    EXPECT_EQ(driver.Open(0, &handle), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(handle, kUnset);
    EXPECT_TRUE(busy.Log().empty());  // nothing reached the other program's board

    const FT_HANDLE first = OpenIndex(1);
    held.ClearLog();
    EXPECT_EQ(driver.Open(1, &handle), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(handle, kUnset);
    EXPECT_TRUE(held.Log().empty());  // the second open was refused before its reset
    std::uint8_t pins = 0;
    EXPECT_EQ(driver.GetBitMode(first, &pins), FT_OK);
}

TEST_F(LibftdiDriverOpen, AClaimByAnotherProgramFailsTheTakeButNotTheHandle) {
    auto& board = bed.Add();
    const FT_HANDLE h = OpenIndex(0);
    board.SetBusy(true);  // another program connects between Open and the first driving call
    EXPECT_EQ(driver.SetBitMode(h, 0x15, 1), FT_IO_ERROR);
    EXPECT_TRUE(board.Log().empty());
    board.SetBusy(false);  // and lets go
    EXPECT_EQ(driver.SetBitMode(h, 0x15, 1), FT_OK);
    EXPECT_EQ(board.BitMode(), 1);
    EXPECT_TRUE(board.Claimed());
}

TEST_F(LibftdiDriverOpen, CloseReleasesTheBoardAndRetiresTheHandle) {
    auto& board = bed.Add();
    const FT_HANDLE h = OpenIndex(0);
    EXPECT_EQ(driver.OpenHandles(), 1u);
    EXPECT_EQ(driver.Close(h), FT_OK);
    EXPECT_EQ(driver.OpenHandles(), 0u);
    EXPECT_FALSE(board.Claimed());
    EXPECT_TRUE(bed.WaitUntilAllClosed(2000));
    EXPECT_EQ(driver.Close(h), FT_INVALID_HANDLE);
    std::uint8_t pins = 0x5A;
    EXPECT_EQ(driver.GetBitMode(h, &pins), FT_INVALID_HANDLE);
    EXPECT_EQ(pins, 0x5A);
    const FT_HANDLE again = OpenIndex(0);
    EXPECT_NE(again, h);  // a closed handle is not handed out again
}

TEST_F(LibftdiDriverOpen, DestroyingTheDriverReleasesEveryBoard) {
    auto& a = bed.Add();
    auto& b = bed.Add();
    {
        LibftdiDriver own;
        for (std::int32_t i : {0, 1}) {
            FT_HANDLE h = 0;
            std::uint8_t pins = 0;
            ASSERT_EQ(own.Open(i, &h), FT_OK);
            ASSERT_EQ(own.GetBitMode(h, &pins), FT_OK);
        }
        EXPECT_TRUE(a.Claimed() && b.Claimed());
    }
    for (auto* board : {&a, &b}) {
        EXPECT_FALSE(board->Claimed());
        EXPECT_TRUE(board->KernelDriverBound());
    }
    EXPECT_TRUE(bed.WaitUntilAllClosed(2000));
}

TEST_F(LibftdiDriverOpenEx, OpensTheBoardWithExactlyThatSerial) {
    bed.Add({.Serial = "A1B2C3D4"});
    bed.Add({.Serial = "A1B2C3D5"});
    bed.Add({.Serial = "a1b2c3d4"});
    FT_HANDLE handle = kUnset;
    for (const char* wrong : {"A1B2C3", "A1B2C3D4X", "", "A1B2C3D6"})
        EXPECT_EQ(driver.OpenEx(wrong, FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_FOUND)
            << wrong;
    EXPECT_EQ(handle, kUnset);
    for (const char* serial : {"A1B2C3D5", "a1b2c3d4", "A1B2C3D4"}) {
        ASSERT_EQ(driver.OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_OK) << serial;
        EXPECT_EQ(SerialOf(driver, handle), serial);
    }
}

TEST_F(LibftdiDriverOpenEx, OtherBusyDevicesDoNotMatterABusyMatchIsNotOpened) {
    auto& foreign = bed.Add({.Serial = "OTHER1", .Description = "Something else"});
    foreign.SetBusy(true);
    auto& wanted = bed.Add({.Serial = "WANTED"});
    auto& busy = bed.Add({.Serial = "BUSY2"});
    busy.SetBusy(true);
    FT_HANDLE handle = kUnset;
    EXPECT_EQ(driver.OpenEx("WANTED", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_OK);
    EXPECT_TRUE(wanted.Claimed());
    EXPECT_EQ(driver.OpenEx("BUSY2", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_OPENED);
    // The busy boards were asked for their serial and nothing else.
    for (auto* board : {&foreign, &busy})
        for (const Transfer& t : board->Log()) EXPECT_EQ(t.Request, request::GetDescriptor);
}

TEST_F(LibftdiDriverOpenEx, CostsTwoDescriptorReadsPerBoardTriedPlusTheOpen) {
    auto& first = bed.Add({.Serial = "FIRST"});
    auto& second = bed.Add({.Serial = "SECOND"});
    FT_HANDLE handle = 0;
    ASSERT_EQ(driver.OpenEx("SECOND", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_OK);
    EXPECT_EQ(first.Log().size(), 2u);  // languages, serial
    EXPECT_EQ(second.ControlCount(request::GetDescriptor), 2u);
    EXPECT_EQ(second.Log().size(), 4u);  // + reset and baud rate of the open
}

TEST_F(LibftdiDriverOpenEx, ComparesSerialsAsEightBitText) {
    bed.Add({.Serial = "K\xD6"
                       "12"});
    FT_HANDLE handle = 0;
    EXPECT_EQ(driver.OpenEx("K?12", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(driver.OpenEx("K\xD6"
                            "12",
                            FT_OPEN_BY_SERIAL_NUMBER, &handle),
              FT_OK);
}

TEST_F(LibftdiDriverOpenEx, RejectsBadArguments) {
    bed.Add();
    FT_HANDLE handle = kUnset;
    EXPECT_EQ(driver.OpenEx("KV000001", 2, &handle), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.OpenEx(nullptr, FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.OpenEx("KV000001", FT_OPEN_BY_SERIAL_NUMBER, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(handle, kUnset);
}

TEST_F(LibftdiDriverEeprom, FillsBothBuffersWithNineteenWordReads) {
    auto [board, h] = AddOpened({.Serial = "A1B2C3D4", .Description = "Kelvorn"});
    EepromBuffers buffers;
    ASSERT_EQ(driver.EE_Read(h, &buffers.record), FT_OK);
    EXPECT_EQ(buffers.Description(), "Kelvorn");
    EXPECT_EQ(buffers.Serial(), "A1B2C3D4");
    // Terminator right after the text; what follows it is left alone.
    EXPECT_EQ(buffers.description[7], '\0');
    EXPECT_EQ(buffers.description[8], '\xAA');
    EXPECT_EQ(buffers.serial[9], '\xAA');
    // Two table words, 8 words "Kelvorn" with its header, 9 words the serial with its header.
    EXPECT_EQ(board.Log().size(), 19u);
    EXPECT_EQ(board.ControlCount(request::ReadEeprom), 19u);
}

TEST_F(LibftdiDriverEeprom, ReadsOnlyTheStringsAskedFor) {
    auto [board, h] = AddOpened({.Serial = "A1B2C3D4"});
    EepromBuffers buffers(false, true);
    ASSERT_EQ(driver.EE_Read(h, &buffers.record), FT_OK);
    EXPECT_EQ(buffers.Serial(), "A1B2C3D4");
    EXPECT_EQ(board.ControlCount(request::ReadEeprom), 10u);
    EepromBuffers none(false, false);
    board.ClearLog();
    EXPECT_EQ(driver.EE_Read(h, &none.record), FT_OK);
    EXPECT_TRUE(board.Log().empty());
    EXPECT_EQ(driver.EE_Read(h, nullptr), FT_INVALID_PARAMETER);
}

TEST_F(LibftdiDriverEeprom, StopsAtTheCapacity) {
    bed.Add({.Serial = "ABCDEFGHIJKLMNOPQRST",
             .Description = "Twenty-four characters!!",
             .Manufacturer = ""});
    const FT_HANDLE h = OpenIndex(0);
    EepromBuffers buffers;
    ASSERT_EQ(driver.EE_Read(h, &buffers.record), FT_OK);
    // 17 bytes of the 20-character serial, no room for a terminator, guard bytes untouched.
    EXPECT_EQ(std::string(buffers.serial.data(), kSerialNumberSize), "ABCDEFGHIJKLMNOPQ");
    EXPECT_EQ(std::string(buffers.serial.data() + kSerialNumberSize, EepromBuffers::kGuard),
              "\xAA\xAA\xAA\xAA");
    EXPECT_EQ(buffers.Description(), "Twenty-four characters!!");
}

TEST_F(LibftdiDriverEeprom, KeepsEightBitCharactersAndMarksOthers) {
    bed.Add({.Description = "K\xF6lvorn"});
    // 'x' stored as U+0478, which has no 8-bit character.
    bed.Add({.RawEeprom = Edited([](auto& b) {
                 const std::size_t product = b[0x10] & 0x7F;
                 b[product + 2 + 2 * 1] = 'x';
                 b[product + 2 + 2 * 1 + 1] = 0x04;
             })});
    EepromBuffers latin1, wide;
    ASSERT_EQ(driver.EE_Read(OpenIndex(0), &latin1.record), FT_OK);
    ASSERT_EQ(driver.EE_Read(OpenIndex(1), &wide.record), FT_OK);
    EXPECT_EQ(latin1.Description(), "K\xF6lvorn");
    EXPECT_EQ(wide.Description(), "K?lvorn");
}

TEST_F(LibftdiDriverEeprom, BlankOrGarbledEepromFailsAndLeavesTheBuffers) {
    const std::vector<BoardConfig> boards = {
        {.Eeprom = EepromContent::Blank},
        {.Eeprom = EepromContent::Garbled},
        {.RawEeprom = Edited([](auto& b) { b[0x11] = 0x0F; })},         // odd length
        {.RawEeprom = Edited([](auto& b) { b[0x10] = 0x80 | 0x74; })},  // runs into the checksum
        {.RawEeprom = Edited([](auto& b) { b[0x12] = 0x80 | 0x02; })},  // inside the header
        {.RawEeprom = Edited([](auto& b) { b[(b[0x10] & 0x7F) + 1] = 0x01; })},  // not a string
        {.RawEeprom = Edited([](auto& b) { b[b[0x12] & 0x7F] = 0x08; })},        // header disagrees
    };
    for (const BoardConfig& config : boards) bed.Add(config);
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(boards.size()); ++i) {
        const FT_HANDLE h = OpenIndex(i);
        EepromBuffers buffers;
        EXPECT_EQ(driver.EE_Read(h, &buffers.record), FT_EEPROM_READ_FAILED) << "board " << i;
        EXPECT_TRUE(buffers.Untouched()) << "board " << i;
        std::uint8_t pins = 0;
        EXPECT_EQ(driver.GetBitMode(h, &pins), FT_OK) << "the handle lives on, board " << i;
    }
}

TEST_F(LibftdiDriverEeprom, EmptyStringsAreEmpty) {
    bed.Add({.Serial = "", .Description = ""});
    EepromBuffers buffers;
    ASSERT_EQ(driver.EE_Read(OpenIndex(0), &buffers.record), FT_OK);
    EXPECT_EQ(buffers.description[0], '\0');
    EXPECT_EQ(buffers.serial[0], '\0');
    EXPECT_EQ(buffers.serial[1], '\xAA');
}

TEST_F(LibftdiDriverIo, ConfigurationReachesTheChipInThreeTransfers) {
    auto [board, h] = AddOpened();
    EXPECT_EQ(driver.SetBitMode(h, 0x15, 1), FT_OK);
    EXPECT_EQ(driver.SetBaudRate(h, 100000), FT_OK);
    EXPECT_EQ(driver.SetLatencyTimer(h, 2), FT_OK);
    EXPECT_EQ(board.BitMask(), 0x15);
    EXPECT_EQ(board.BitMode(), 0x01);
    // The divisor D2XX sets for 100000 baud: 30 from the 3 MHz clock, no fraction.
    EXPECT_EQ(board.BaudDivisorValue(), 30);
    EXPECT_EQ(board.BaudDivisorIndex(), 0);
    EXPECT_EQ(board.BaudRate(), 100000u);
    EXPECT_EQ(board.LatencyTimer(), 2);
    const auto log = board.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].Request, request::SetBitMode);
    EXPECT_EQ(log[0].Value, 0x0115);
    EXPECT_EQ(log[2].Request, request::SetLatencyTimer);
    EXPECT_EQ(log[2].Value, 2);
}

// FTDI's divisors (AN232B-05) of the FT232R's 3 MHz clock: the nearest eighth, its whole part in
// wValue's low 14 bits, the eighths coded 0, 3, 2, 4, 1, 5, 6, 7 in wValue's top bits and wIndex's
// bit 0; whole parts 0 and 1 stand for 3 and 2 MHz.
TEST_F(LibftdiDriverIo, EachBaudRateGetsFtdisDivisor) {
    const struct {
        std::uint32_t Baud;
        std::uint16_t Value;
        std::uint16_t Index;
    } rates[] = {{3000000, 0, 0},    {2000000, 1, 0},    {1500000, 2, 0},    {1000000, 3, 0},
                 {115200, 26, 0},    {100000, 30, 0},    {57600, 0xC034, 0}, {38400, 0xC04E, 0},
                 {19200, 0x809C, 0}, {9600, 0x4138, 0},  {4800, 625, 0},     {300, 10000, 0},
                 {29888, 0x0064, 1}, {29814, 0x4064, 1}, {29777, 0x8064, 1}, {29740, 0xC064, 1},
                 {184, 0x3FB0, 1},   {175, 0xFFFF, 1},   {1575000, 2, 0}};
    auto [board, h] = AddOpened();
    for (const auto& r : rates) {
        EXPECT_EQ(driver.SetBaudRate(h, r.Baud), FT_OK) << r.Baud;
        EXPECT_EQ(board.BaudDivisorValue(), r.Value) << r.Baud;
        EXPECT_EQ(board.BaudDivisorIndex(), r.Index) << r.Baud;
    }
    // More than 5 % off the nearest rate the chip makes.
    for (const std::uint32_t baud : {174u, 1577287u, 2500000u, 2900000u})
        EXPECT_EQ(driver.SetBaudRate(h, baud), FT_INVALID_BAUD_RATE) << baud;
}

TEST_F(LibftdiDriverIo, RefusesWhatTheChipCannotDo) {
    auto [board, h] = AddOpened();
    EXPECT_EQ(driver.SetBitMode(h, 0x15, 0x03), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.SetBaudRate(h, 0), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(driver.SetBaudRate(h, 50000000), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(driver.SetLatencyTimer(h, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.Write(h, nullptr, 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.GetBitMode(h, nullptr), FT_INVALID_PARAMETER);
    EXPECT_TRUE(board.Log().empty());
    EXPECT_EQ(driver.SetBaudRate(h, 9600), FT_OK);  // the handle is still good
}

TEST_F(LibftdiDriverIo, WritesReachTheLatchByteForByte) {
    auto [board, h] = AddOpened();
    ASSERT_EQ(driver.SetBitMode(h, 0x15, 1), FT_OK);
    board.ClearLog();
    const std::vector<std::uint8_t> bytes = {0x15, 0x05, 0x14, 0x14, 0x00};
    for (std::uint8_t byte : bytes) {
        std::uint32_t written = 99;
        ASSERT_EQ(driver.Write(h, &byte, 1, &written), FT_OK);
        EXPECT_EQ(written, 1u);
        EXPECT_EQ(board.Latch(), byte);
    }
    EXPECT_EQ(board.BulkOutBytes(), bytes);
    EXPECT_EQ(board.BulkOutCount(), bytes.size());
    std::uint32_t written = 99;
    EXPECT_EQ(driver.Write(h, bytes.data(), 0, &written), FT_OK);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(board.Log().size(), bytes.size());
}

TEST_F(LibftdiDriverIo, ReadsThePinsOneTransferEach) {
    auto [board, h] = AddOpened();
    ASSERT_EQ(driver.SetBitMode(h, 0x15, 1), FT_OK);
    const std::uint8_t latch = 0x14;
    ASSERT_EQ(driver.Write(h, &latch, 1, nullptr), FT_OK);
    board.SetInputs(0xBF);
    board.ClearLog();
    std::uint8_t pins = 0;
    ASSERT_EQ(driver.GetBitMode(h, &pins), FT_OK);
    EXPECT_EQ(pins, 0xBE);  // D0, D2, D4 from the latch, the rest from the inputs
    board.SetInputs(0x40);
    ASSERT_EQ(driver.GetBitMode(h, &pins), FT_OK);
    EXPECT_EQ(pins, 0x54);
    EXPECT_EQ(board.ControlCount(request::ReadPins), 2u);
    EXPECT_EQ(board.Log().size(), 2u);
}

TEST_F(LibftdiDriverIo, UnknownHandlesTouchNothing) {
    auto& board = bed.Add();
    const FT_HANDLE closed = OpenIndex(0);
    ASSERT_EQ(driver.Close(closed), FT_OK);
    board.ClearLog();
    for (FT_HANDLE h : {FT_HANDLE{0}, FT_HANDLE{-1}, closed, FT_HANDLE{12345}}) {
        EepromBuffers buffers;
        std::uint8_t pins = 0x5A;
        std::uint32_t written = 99;
        const std::uint8_t byte = 0;
        EXPECT_EQ(driver.EE_Read(h, &buffers.record), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.SetBitMode(h, 0x15, 1), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.SetBaudRate(h, 100000), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.SetLatencyTimer(h, 2), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.Write(h, &byte, 1, &written), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.GetBitMode(h, &pins), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.Close(h), FT_INVALID_HANDLE);
        EXPECT_TRUE(buffers.Untouched());
        EXPECT_EQ(pins, 0x5A);
        EXPECT_EQ(written, 99u);
    }
    EXPECT_TRUE(board.Log().empty());
}

// One poll tick of the panel: five pin reads and three one-byte writes.
std::vector<FT_STATUS> Tick(Driver& Drv, FT_HANDLE Handle) {
    std::vector<FT_STATUS> statuses;
    std::uint8_t pins = 0;
    for (int i = 0; i < 5; ++i) statuses.push_back(Drv.GetBitMode(Handle, &pins));
    const std::uint8_t byte = 0x15;
    for (int i = 0; i < 3; ++i) statuses.push_back(Drv.Write(Handle, &byte, 1, nullptr));
    return statuses;
}

TEST_F(LibftdiDriverFailure, UnpluggedBoardFailsAtOnceUntilClosedAndOpensOnceReplugged) {
    auto [board, h] = AddOpened();
    board.Unplug();
    for (FT_STATUS s : Tick(driver, h)) EXPECT_EQ(s, FT_IO_ERROR);
    EepromBuffers buffers;
    EXPECT_EQ(driver.EE_Read(h, &buffers.record), FT_IO_ERROR);
    EXPECT_TRUE(buffers.Untouched());
    EXPECT_EQ(driver.SetBitMode(h, 0x15, 1), FT_IO_ERROR);
    EXPECT_TRUE(board.Log().empty());
    FT_HANDLE handle = kUnset;
    EXPECT_EQ(driver.Open(0, &handle), FT_DEVICE_NOT_FOUND);

    board.Replug();  // at the same address, while the dead handle is still open
    const FT_HANDLE again = OpenIndex(0);
    EXPECT_EQ(SerialOf(driver, again), "KV000001");
    EXPECT_EQ(driver.SetBitMode(again, 0x15, 1), FT_OK);
    EXPECT_EQ(driver.Close(h), FT_OK);
    EXPECT_TRUE(board.Claimed()) << "closing the dead handle leaves the new one alone";
    std::uint8_t pins = 0;
    EXPECT_EQ(driver.GetBitMode(again, &pins), FT_OK);
    EXPECT_EQ(driver.Close(again), FT_OK);
    EXPECT_EQ(driver.OpenHandles(), 0u);
    EXPECT_TRUE(bed.WaitUntilAllClosed(2000));
}

TEST_F(LibftdiDriverFailure, AReadInFlightWhenTheBoardIsUnpluggedEndsWithTheHandle) {
    auto [board, h] = AddOpened();
    board.SetAnswering(false);  // the read waits; the plug is pulled meanwhile
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        board.Unplug();
    });
    std::uint8_t pins = 0;
    EXPECT_EQ(driver.GetBitMode(h, &pins), FT_IO_ERROR);
    unplug.join();
    EXPECT_EQ(driver.GetBitMode(h, &pins), FT_IO_ERROR);
    EXPECT_EQ(driver.Close(h), FT_OK);
}

TEST_F(LibftdiDriverFailure, SilentBoardCostsOneTimeoutPerHandle) {
    auto [board, h] = AddOpened();
    board.SetAnswering(false);
    const auto start = std::chrono::steady_clock::now();
    for (FT_STATUS s : Tick(driver, h)) EXPECT_EQ(s, FT_IO_ERROR);
    const auto stalled = std::chrono::steady_clock::now() - start;
    // Only the first pin read went out and timed out; the handle was dead for the other seven.
    const auto log = board.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(log[0].Answered);
    EXPECT_EQ(board.HeldTransfers(), 0);  // cancelled, not left hanging
    EXPECT_LE(LibftdiDriver::kTransferTimeoutMs, 250);
    EXPECT_LT(stalled, std::chrono::milliseconds(2 * LibftdiDriver::kTransferTimeoutMs));
    // The next tick, and a board that answers again, cost nothing until the handle is closed.
    board.SetAnswering(true);
    for (FT_STATUS s : Tick(driver, h)) EXPECT_EQ(s, FT_IO_ERROR);
    EXPECT_EQ(board.Log().size(), 1u);
    EXPECT_EQ(driver.Close(h), FT_OK);
    EXPECT_FALSE(board.Claimed());
    EXPECT_NE(OpenIndex(0), 0);  // a new open starts afresh
}

TEST_F(LibftdiDriverFailure, SilentBoardIsOpenedButNeitherReadNorFound) {
    auto& board = bed.Add({.Serial = "SILENT"});
    board.SetAnswering(false);
    const FT_HANDLE h = OpenIndex(0);  // looking sends nothing
    EepromBuffers buffers;
    EXPECT_EQ(driver.EE_Read(h, &buffers.record), FT_IO_ERROR);
    EXPECT_EQ(board.Log().size(), 1u);  // the first word, unanswered
    EXPECT_TRUE(buffers.Untouched());
    EXPECT_EQ(driver.Close(h), FT_OK);
    board.ClearLog();
    FT_HANDLE handle = kUnset;
    EXPECT_EQ(driver.OpenEx("SILENT", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(board.Log().size(), 1u);  // the language list, unanswered
    EXPECT_EQ(handle, kUnset);
    EXPECT_EQ(board.HeldTransfers(), 0);
    EXPECT_TRUE(bed.WaitUntilAllClosed(2000));
    EXPECT_TRUE(board.KernelDriverBound());
}

TEST_F(LibftdiDriverFailure, BoardSilentOnItsResetIsNotOpenedAndGetsItsSerialDriverBack) {
    auto& board = bed.Add({.Serial = "SILENT"});
    board.GoSilentAt(request::Reset);
    FT_HANDLE handle = kUnset;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.OpenEx("SILENT", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_OPENED);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(2 * LibftdiDriver::kTransferTimeoutMs));
    EXPECT_EQ(handle, kUnset);
    EXPECT_EQ(board.Unbinds(), 1);
    EXPECT_EQ(board.Rebinds(), 1);
    EXPECT_TRUE(board.KernelDriverBound()) << "its ttyUSB comes back";
    EXPECT_FALSE(board.Claimed());
}

// A board silent from the baud rate on: connect's next call costs nothing more.
TEST_F(LibftdiDriverFailure, ATimeoutSettingTheBaudRateEndsTheHandle) {
    auto [board, h] = AddOpened();
    board.GoSilentAt(request::SetBaudRate);
    EXPECT_EQ(driver.SetBitMode(h, 0x15, 1), FT_OK);
    EXPECT_EQ(driver.SetBaudRate(h, 100000), FT_IO_ERROR);
    EXPECT_EQ(driver.SetLatencyTimer(h, 2), FT_IO_ERROR);
    const auto log = board.Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_FALSE(log[1].Answered);
}

// A protocol error, a stall or an overflow fails the call it happens in and nothing more.
TEST_F(LibftdiDriverFailure, PassingErrorsFailOneCallAndTheNextGoesToTheBus) {
    auto [board, h] = AddOpened({.Serial = "A1B2C3D4"});
    board.SetInputs(0xA5);
    for (const int error : {EPROTO, EPIPE, EOVERFLOW}) {
        SCOPED_TRACE(error);
        board.FailNext(request::ReadPins, error);
        std::uint8_t pins = 0x33;
        EXPECT_EQ(driver.GetBitMode(h, &pins), FT_IO_ERROR);
        EXPECT_EQ(pins, 0x33);
        EXPECT_EQ(driver.GetBitMode(h, &pins), FT_OK);
        EXPECT_EQ(pins, board.Pins());

        board.FailNext(request::ReadEeprom, error);
        EepromBuffers failed;
        EXPECT_EQ(driver.EE_Read(h, &failed.record), FT_IO_ERROR);
        EXPECT_TRUE(failed.Untouched());
        EXPECT_EQ(SerialOf(driver, h), "A1B2C3D4");

        board.FailNext(request::SetBitMode, error);
        EXPECT_EQ(driver.SetBitMode(h, 0x15, 1), FT_IO_ERROR);
        EXPECT_EQ(driver.SetBitMode(h, 0x15, 1), FT_OK);
        EXPECT_EQ(board.BitMode(), 1);

        board.FailNext(request::SetBaudRate, error);
        EXPECT_EQ(driver.SetBaudRate(h, 100000), FT_IO_ERROR);
        EXPECT_EQ(driver.SetBaudRate(h, 100000), FT_OK);
        EXPECT_EQ(board.BaudRate(), 100000u);
    }
}

}  // namespace
}  // namespace ft232r
