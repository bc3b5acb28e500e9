// The emulated FT232R against libftdi and libusb used directly: it must look like the real chip
// to them before the driver's tests mean anything.
#include <ftdi.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "EmulatedFt232r.h"

namespace {

using ft232r::BoardConfig;
using ft232r::EepromContent;
using ft232r::Testbed;
using ft232r::Transfer;

struct FtdiFree {
    void operator()(ftdi_context* c) const {
        if (c->usb_dev != nullptr) ftdi_usb_close(c);
        ftdi_free(c);
    }
};
using FtdiPtr = std::unique_ptr<ftdi_context, FtdiFree>;

// libftdi opened on the Index-th FTDI device, as its own tools would; null when that fails.
FtdiPtr OpenRaw(int Index, int* Result = nullptr) {
    FtdiPtr ftdi(ftdi_new());
    ftdi_device_list* list = nullptr;
    int result = -100;
    if (ftdi_usb_find_all(ftdi.get(), &list, 0, 0) > Index) {
        ftdi_device_list* d = list;
        for (int i = 0; i < Index; ++i) d = d->next;
        result = ftdi_usb_open_dev(ftdi.get(), d->dev);
    }
    ftdi_list_free(&list);
    if (Result != nullptr) *Result = result;
    return result == 0 ? std::move(ftdi) : FtdiPtr();
}

class Ft232rEmulator : public testing::Test {
protected:
    Testbed bed;
    FtdiPtr ftdi;  // closed before the testbed goes

    // Adds one board, opens it with libftdi and clears its log.
    ft232r::EmulatedFt232r& AddOpened(const BoardConfig& Config = {}) {
        auto& board = bed.Add(Config);
        ftdi = OpenRaw(0);
        if (!ftdi) throw std::runtime_error("libftdi cannot open the emulated board");
        board.ClearLog();
        return board;
    }
};

std::string ProductDescriptor(ftdi_context* Context) {
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(libusb_get_device(Context->usb_dev), &d);
    unsigned char text[128] = {};
    if (d.iProduct == 0 ||
        libusb_get_string_descriptor_ascii(Context->usb_dev, d.iProduct, text, sizeof text) < 0)
        return "<none>";
    return reinterpret_cast<char*>(text);
}

TEST_F(Ft232rEmulator, EepromImageDecodesWithLibftdi) {
    auto& board = AddOpened({.Serial = "A1B2C3D4", .Description = "Kelvorn"});
    ASSERT_EQ(ftdi_read_eeprom(ftdi.get()), 0);
    ASSERT_EQ(ftdi_eeprom_decode(ftdi.get(), 0), 0);  // checksum accepted
    char manufacturer[32] = {}, product[32] = {}, serial[32] = {};
    ASSERT_EQ(ftdi_eeprom_get_strings(ftdi.get(), manufacturer, 32, product, 32, serial, 32), 0);
    EXPECT_STREQ(manufacturer, "FTDI");
    EXPECT_STREQ(product, "Kelvorn");
    EXPECT_STREQ(serial, "A1B2C3D4");
    // libftdi reads the whole EEPROM, one word per transfer, twice over to find its size.
    EXPECT_EQ(board.ControlCount(ft232r::request::ReadEeprom), 128u);
}

TEST_F(Ft232rEmulator, BlankAndGarbledImagesFailTheChecksum) {
    bed.Add({.Eeprom = EepromContent::Blank});
    bed.Add({.Eeprom = EepromContent::Garbled});
    for (int i = 0; i < 2; ++i) {
        const FtdiPtr raw = OpenRaw(i);
        ASSERT_TRUE(raw);
        ASSERT_EQ(ftdi_read_eeprom(raw.get()), 0);
        EXPECT_EQ(ftdi_eeprom_decode(raw.get(), 0), -1) << "board " << i;
        // Without a valid EEPROM the chip falls back to its built-in descriptors.
        EXPECT_EQ(ProductDescriptor(raw.get()), "FT232R USB UART");
    }
}

TEST_F(Ft232rEmulator, ServesTheEepromStringsAsDescriptors) {
    AddOpened({.Serial = "S0", .Description = "Kelvorn"});
    EXPECT_EQ(ProductDescriptor(ftdi.get()), "Kelvorn");
}

TEST_F(Ft232rEmulator, BoardsAreListedInTheOrderAdded) {
    bed.Add({.Serial = "FIRST"});
    bed.Add({.Serial = "SECOND"});
    bed.Add({.Serial = "THIRD"});
    bed.Add({.ProductId = 0x1234});  // not an FTDI default id: not listed
    const FtdiPtr lister(ftdi_new());
    ftdi_device_list* list = nullptr;
    ASSERT_EQ(ftdi_usb_find_all(lister.get(), &list, 0, 0), 3);
    std::string serials;
    for (ftdi_device_list* d = list; d != nullptr; d = d->next) {
        char serial[32] = {};
        ASSERT_EQ(ftdi_usb_get_strings(lister.get(), d->dev, nullptr, 0, nullptr, 0, serial, 32),
                  0);
        serials += std::string(serial) + " ";
    }
    ftdi_list_free(&list);
    EXPECT_EQ(serials, "FIRST SECOND THIRD ");
}

TEST_F(Ft232rEmulator, OpenDetachesTheKernelDriverAndClaims) {
    auto& board = bed.Add();
    ASSERT_TRUE(board.KernelDriverBound());
    ftdi = OpenRaw(0);
    ASSERT_TRUE(ftdi);
    EXPECT_FALSE(board.KernelDriverBound());
    EXPECT_TRUE(board.Claimed());
    ftdi_usb_close(ftdi.get());
    EXPECT_FALSE(board.Claimed());
    ftdi.reset();
    EXPECT_TRUE(bed.WaitUntilAllClosed(2000));
}

TEST_F(Ft232rEmulator, BusyBoardRefusesTheClaim) {
    auto& board = bed.Add();
    board.SetBusy(true);
    int result = 0;
    EXPECT_FALSE(OpenRaw(0, &result));
    EXPECT_EQ(result, -5);  // unable to claim
    EXPECT_EQ(board.Log().size(), 0u);
}

TEST_F(Ft232rEmulator, PinsShowTheLatchOnOutputsAndTheInputLevelsElsewhere) {
    auto& board = AddOpened();
    board.SetInputs(0xBF);
    unsigned char pins = 0;
    ASSERT_EQ(ftdi_read_pins(ftdi.get(), &pins), 0);
    EXPECT_EQ(pins, 0xBF);  // reset mode: every pin an input
    ASSERT_EQ(ftdi_set_bitmode(ftdi.get(), 0x15, BITMODE_BITBANG), 0);
    const unsigned char out = 0x14;
    ASSERT_EQ(ftdi_write_data(ftdi.get(), &out, 1), 1);
    ASSERT_EQ(ftdi_read_pins(ftdi.get(), &pins), 0);
    EXPECT_EQ(pins, 0xBE);  // D0, D2, D4 from the latch 0x14, the rest from the inputs
    EXPECT_EQ(board.Latch(), 0x14);
    EXPECT_EQ(board.BitMask(), 0x15);
    EXPECT_EQ(board.BitMode(), 0x01);
    const auto log = board.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().kind, Transfer::Kind::Control);
    EXPECT_EQ(log.back().RequestType, 0xC0);
    EXPECT_EQ(log.back().Request, ft232r::request::ReadPins);
    EXPECT_EQ(board.BulkOutBytes(), std::vector<std::uint8_t>{0x14});
}

TEST_F(Ft232rEmulator, DecodesTheBaudDivisor) {
    auto& board = AddOpened();
    EXPECT_EQ(board.BaudRate(), 9600u);  // libftdi's open sets 9600
    ASSERT_EQ(ftdi_set_baudrate(ftdi.get(), 115200), 0);
    EXPECT_EQ(board.BaudRate(), 115385u);  // nearest divisor, 26 eighths from 3 MHz
    ASSERT_EQ(ftdi_set_bitmode(ftdi.get(), 0x15, BITMODE_BITBANG), 0);
    ASSERT_EQ(ftdi_set_baudrate(ftdi.get(), 100000), 0);
    EXPECT_EQ(board.BaudRate(), 400000u);  // libftdi's own bit-bang factor of four
}

TEST_F(Ft232rEmulator, HeldTransferTimesOutAndIsCancelled) {
    auto& board = AddOpened();
    board.SetAnswering(false);
    ftdi->usb_read_timeout = 20;
    unsigned char pins = 0;
    EXPECT_NE(ftdi_read_pins(ftdi.get(), &pins), 0);
    EXPECT_EQ(board.HeldTransfers(), 0);  // libusb cancelled it and reaped the cancellation
    const auto log = board.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(log[0].Answered);
    board.SetAnswering(true);
    EXPECT_EQ(ftdi_read_pins(ftdi.get(), &pins), 0);
}

TEST_F(Ft232rEmulator, UnplugFailsOpenFilesAndLeavesTheList) {
    auto& board = AddOpened();
    board.Unplug();
    unsigned char pins = 0;
    EXPECT_NE(ftdi_read_pins(ftdi.get(), &pins), 0);
    EXPECT_TRUE(board.Log().empty());
    const FtdiPtr other(ftdi_new());  // null when libusb finds no USB device at all
    ftdi_device_list* list = nullptr;
    EXPECT_TRUE(other == nullptr || ftdi_usb_find_all(other.get(), &list, 0, 0) == 0);
    ftdi_list_free(&list);
}

}  // namespace
