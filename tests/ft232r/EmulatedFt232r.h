// Emulated FTDI FT232R boards under umockdev. The real libusb and libftdi code runs unmodified
// against them: each board is a usbdevfs device node whose ioctls (URB submit/reap, claim,
// the kernel driver's GETDRIVER, DISCONNECT, DISCONNECT_CLAIM and CONNECT) are answered by this
// emulator, and a sysfs entry that libusb enumerates.
//
// The test binary must run under umockdev-wrapper (Testbed::PreloadActive() tells). The device
// state is shared with umockdev's worker thread, which answers the ioctls; every accessor locks.
// This header is free of GLib so that Qt translation units may include it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ft232r {

// The FT232R's 128-byte EEPROM as 64 little-endian words.
using EepromWords = std::array<std::uint16_t, 64>;

enum class EepromContent {
    Programmed,  // strings and checksum as FTDI's tools write them
    Blank,       // all 0xFFFF, as an erased EEPROM reads
    Garbled,     // string table and checksum corrupted
};

struct BoardConfig {
    std::string Serial = "KV000001";
    std::string Description = "Kelvorn";
    std::string Manufacturer = "FTDI";
    EepromContent Eeprom = EepromContent::Programmed;
    std::optional<EepromWords> RawEeprom =
        std::nullopt;  // overrides Eeprom and the strings when set
    std::uint16_t VendorId = 0x0403;
    std::uint16_t ProductId = 0x6001;
    // ftdi_sio holds the interface until someone detaches it, and binds again when asked to.
    // false: no serial driver at all (ftdi_sio not loaded or blacklisted).
    bool KernelDriverBound = true;
};

// One USB transfer as the board received it.
struct Transfer {
    enum class Kind { Control, BulkOut, BulkIn };
    Kind kind = Kind::Control;
    std::uint8_t RequestType = 0;  // control only: the setup packet
    std::uint8_t Request = 0;
    std::uint16_t Value = 0;
    std::uint16_t Index = 0;
    std::uint16_t Length = 0;
    std::vector<std::uint8_t> Data;  // bulk OUT payload
    bool Answered = true;            // false while the board holds the transfer without answering
};

// FTDI vendor requests the emulator understands.
namespace request {
constexpr std::uint8_t Reset = 0x00;
constexpr std::uint8_t SetBaudRate = 0x03;
constexpr std::uint8_t SetLatencyTimer = 0x09;
constexpr std::uint8_t SetBitMode = 0x0B;
constexpr std::uint8_t ReadPins = 0x0C;
constexpr std::uint8_t ReadEeprom = 0x90;
constexpr std::uint8_t GetDescriptor = 0x06;  // standard request
}  // namespace request

// Builds the EEPROM image FTDI's tools would write for these strings (8-bit characters, stored
// as UTF-16 code units). Throws std::invalid_argument when the strings do not fit.
EepromWords ProgrammedEeprom(const std::string& Manufacturer, const std::string& Description,
                             const std::string& Serial);
// Checksum over words 0..62 as the chip and libftdi compute it.
std::uint16_t EepromChecksum(const EepromWords& Words);
// The same image byte by byte (low byte of each word first), and back.
using EepromBytes = std::array<std::uint8_t, 128>;
EepromBytes ToBytes(const EepromWords& Words);
EepromWords ToWords(const EepromBytes& Bytes);

class Testbed;

// One emulated board. Owned by its Testbed; references stay valid until the Testbed is destroyed.
class EmulatedFt232r {
public:
    ~EmulatedFt232r();
    EmulatedFt232r(const EmulatedFt232r&) = delete;
    EmulatedFt232r& operator=(const EmulatedFt232r&) = delete;

    // Levels the outside world drives onto the data pins (bit 0 = D0). Pins configured as
    // outputs show the latch instead. Unconnected inputs read high (internal pull-ups).
    void SetInputs(std::uint8_t Levels);
    std::uint8_t Latch() const;  // last byte written in a bit-bang mode
    std::uint8_t Pins() const;   // what a pin read returns now
    std::uint8_t BitMask() const;
    std::uint8_t BitMode() const;
    std::uint32_t BaudRate() const;  // decoded from the divisor last set; 0 before any
    std::uint16_t BaudDivisorValue() const;
    std::uint16_t BaudDivisorIndex() const;
    std::uint8_t LatencyTimer() const;
    EepromWords Eeprom() const;
    // Reprograms the EEPROM. Like the real chip, the string descriptors keep what was read at
    // power-up (when the board was added).
    void WriteEeprom(const EepromWords& Words);

    std::vector<Transfer> Log() const;
    void ClearLog();
    std::size_t ControlCount(std::uint8_t Request) const;  // control transfers with this bRequest
    std::size_t BulkOutCount() const;
    std::vector<std::uint8_t> BulkOutBytes() const;  // every byte sent, in order

    // Another program claims the interface (true) or lets it go (false), at any moment: claiming
    // it fails with EBUSY meanwhile. A usbfs DISCONNECT takes it from that program, as the kernel
    // would: Busy() then turns false.
    void SetBusy(bool Busy);
    bool Busy() const;
    // The next control transfer with this bRequest completes with -Errno (EPROTO, EPIPE,
    // EOVERFLOW ...), once; the board goes on answering.
    void FailNext(std::uint8_t Request, int Errno);
    // The board stops answering: transfers are accepted but never completed; cancelling them works.
    void SetAnswering(bool Answering);
    // The board stops answering from the next control transfer with this bRequest on, that one
    // included: GoSilentAt(request::Reset) is a board that hangs as it is taken.
    void GoSilentAt(std::uint8_t Request);
    // Pulls the plug: every ioctl on an open file fails with ENODEV and the device leaves sysfs.
    void Unplug();
    // Plugs an unplugged board in again at the same address, freshly powered: the chip's settings
    // start over and the serial driver binds as configured. Files opened before the unplug go on
    // failing with ENODEV.
    void Replug();

    bool Claimed() const;  // claimed through usbdevfs by a client of this emulator
    bool KernelDriverBound() const;
    // How often the serial driver was taken from the board (by DISCONNECT or DISCONNECT_CLAIM)
    // and bound to it again (by CONNECT).
    int Unbinds() const;
    int Rebinds() const;
    int OpenFiles() const;      // device node files currently open
    int HeldTransfers() const;  // submitted and neither answered nor cancelled

    const std::string& SysPath() const;
    const std::string& DevNode() const;

private:
    friend class Testbed;
    struct State;
    explicit EmulatedFt232r(std::unique_ptr<State> Impl);
    template <class Fn>
    auto With(Fn&& F) const;  // runs F on the state with its lock held
    std::unique_ptr<State> state_;
};

// A umockdev testbed holding emulated boards. One at a time per process.
class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // True when the program runs under umockdev-wrapper (the preload library is active).
    static bool PreloadActive();

    // Adds a board. libusb lists the boards in the order they were added (index 0 first);
    // at most kMaxBoards per testbed.
    EmulatedFt232r& Add(const BoardConfig& Config = {});
    static constexpr int kMaxBoards = 9;
    std::size_t Size() const;  // boards added, unplugged ones included

    // Waits up to Timeout milliseconds until no device node file is open; true when none is.
    bool WaitUntilAllClosed(int TimeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ft232r
