// The driver seam: the FTDI driver operations the board class needs, shaped after FTDI's D2XX API
// (FT_Open, FT_OpenEx, FT_Close, FT_EE_Read, FT_SetBitMode, FT_SetBaudRate, FT_SetLatencyTimer,
// FT_Write, FT_GetBitMode). The libftdi driver, the simulated boards and any test double implement
// it alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace d2xx {

// Status of every call; 0 is success. The values are D2XX's.
using FT_STATUS = std::uint32_t;
enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,          // handle 0, closed, or never issued by this driver
    FT_DEVICE_NOT_FOUND = 2,        // no device at that index / with that serial
    FT_DEVICE_NOT_OPENED = 3,       // device present but cannot be opened (busy, no permission)
    FT_IO_ERROR = 4,                // the device stopped answering or was unplugged
    FT_INSUFFICIENT_RESOURCES = 5,  // no handle left
    FT_INVALID_PARAMETER = 6,       // null pointer, unknown flag, mode or length
    FT_INVALID_BAUD_RATE = 7,
    FT_EEPROM_READ_FAILED = 11,  // blank, unreadable or garbled EEPROM
    FT_NOT_SUPPORTED = 17,       // the driver has no such operation (Pulse)
};

// Open handle. Fits the board class's signed 32-bit handle field; 0 stands for none.
using FT_HANDLE = std::int32_t;

// Flag for OpenEx: the argument is a zero-terminated serial number.
constexpr std::uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;

// Capacities of the EEPROM string buffers the record's pointer fields name, terminator included.
constexpr std::size_t kSerialNumberSize = 17;
constexpr std::size_t kDescriptionSize = 65;

// The leading fields of D2XX's FT_PROGRAM_DATA, the ones this program uses. Zero it before a read.
// Each string pointer is null (not read) or names a buffer of the capacity above.
struct FT_PROGRAM_DATA {
    std::uint32_t Signature1 = 0;
    std::uint32_t Signature2 = 0;
    std::uint32_t Version = 0;
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    char* Manufacturer = nullptr;    // not read by this program
    char* ManufacturerId = nullptr;  // not read by this program
    char* Description = nullptr;     // kDescriptionSize bytes
    char* SerialNumber = nullptr;    // kSerialNumberSize bytes
};

// Contract for every implementation:
// - A call on handle 0, a closed handle or a handle the driver never issued returns
//   FT_INVALID_HANDLE and touches nothing.
// - A call on the handle of a device that has been unplugged or stopped answering fails with a
//   non-zero status (FT_IO_ERROR); Close still frees such a handle.
// - A failing open leaves *Handle unchanged. A device can be held by one handle at a time,
//   unless the driver's devices are Shared.
// - Calls return within a bounded time, also on a device that never answers.
class Driver {
public:
    virtual ~Driver() = default;

    // Whether the devices are shared with other programs that switch their outputs too (boards
    // behind a network bridge): opening one then must not set its outputs, but take them as they
    // are. A device on this machine is the opener's alone: false.
    virtual bool Shared() const { return false; }

    // Opens the Index-th attached device (0, 1, ...). FT_DEVICE_NOT_FOUND past the last device,
    // FT_DEVICE_NOT_OPENED for a device that exists but cannot be opened.
    virtual FT_STATUS Open(std::int32_t Index, FT_HANDLE* Handle) = 0;

    // With Flags == FT_OPEN_BY_SERIAL_NUMBER, opens the device whose serial is exactly the
    // zero-terminated 8-bit string Arg. FT_DEVICE_NOT_FOUND when none carries it,
    // FT_DEVICE_NOT_OPENED when it is busy, FT_INVALID_PARAMETER for other flags or a null Arg.
    virtual FT_STATUS OpenEx(const char* Arg, std::uint32_t Flags, FT_HANDLE* Handle) = 0;

    virtual FT_STATUS Close(FT_HANDLE Handle) = 0;

    // Fills the buffers that Data names with the EEPROM's description and serial as 8-bit text:
    // the string's bytes up to the capacity, then a zero byte if there is room left. Never writes
    // past a capacity; on failure (FT_EEPROM_READ_FAILED, FT_IO_ERROR) leaves the buffers as they
    // were.
    virtual FT_STATUS EE_Read(FT_HANDLE Handle, FT_PROGRAM_DATA* Data) = 0;

    // Mode 0 resets to all pins input, mode 1 is asynchronous bit-bang: pins set in Mask are
    // outputs driven from the bytes written, the others inputs.
    virtual FT_STATUS SetBitMode(FT_HANDLE Handle, std::uint8_t Mask, std::uint8_t Mode) = 0;
    virtual FT_STATUS SetBaudRate(FT_HANDLE Handle, std::uint32_t BaudRate) = 0;
    virtual FT_STATUS SetLatencyTimer(FT_HANDLE Handle, std::uint8_t Timer) = 0;

    // Sends BytesToWrite bytes; *BytesWritten (if not null) receives how many went out.
    virtual FT_STATUS Write(FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                            std::uint32_t* BytesWritten) = 0;

    // Reads the instantaneous levels of the eight data pins, bit 0 = D0. *Pins is unchanged on
    // failure.
    virtual FT_STATUS GetBitMode(FT_HANDLE Handle, std::uint8_t* Pins) = 0;

    // Beyond D2XX, for a chip held by someone else (a network bridge) that times a pulse itself:
    // drives output Output (0..2) on for Millis ms, timed there, so that it ends even if this
    // program dies meanwhile; returns once the output is reported off again. FT_NOT_SUPPORTED
    // where the caller must time it (a chip of this machine's own).
    virtual FT_STATUS Pulse(FT_HANDLE /*Handle*/, int /*Output*/, std::uint32_t /*Millis*/) {
        return FT_NOT_SUPPORTED;
    }

    // Why the device with this serial (empty: any device) is not found, beyond "not found", as
    // one line in plain words without the program's name ("board A1B2C3 is Offline (its bridge
    // rig1 is Offline)"); empty when there is nothing more to say.
    virtual std::string Absent(const std::string& /*Serial*/) const { return {}; }

    // Why this program may not switch the outputs of the device behind Handle (its holder
    // refuses this user), as one line in plain words without the program's name ("not allowed
    // to switch K0001: the broker refused (not authorized)"); empty while nothing says so. While
    // it is not empty a Write that would switch an output fails at once, nothing sent.
    virtual std::string Refused(FT_HANDLE /*Handle*/) const { return {}; }
};

}  // namespace d2xx
