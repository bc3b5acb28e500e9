// The driver seam on libftdi 1.5 over libusb-1.0: real FTDI boards on Linux.
#pragma once

#include <map>
#include <memory>

#include "d2xx/d2xx.h"

struct ftdi_context;

namespace d2xx {

// Devices are the attached FTDI devices with FTDI's default vendor/product ids (0403:6001, 6010,
// 6011, 6014, 6015), indexed in the order libusb lists them. Each open device has its own libftdi
// and libusb context; the kernel's serial driver is detached on open. Handles are small positive
// integers that are not issued again while the driver lives.
//
// Every USB transfer is bounded by kTransferTimeoutMs. A transfer that fails (timeout, unplug,
// stall) marks its handle dead: from then on every call on it returns FT_IO_ERROR at once without
// touching the bus, until Close frees it. So a board that stops answering costs one timeout per
// handle, never one per call.
//
// Statuses, beyond those the seam documents for every implementation:
// - Open: FT_INVALID_PARAMETER for a null Handle; FT_DEVICE_NOT_FOUND for a negative index or
//   when libusb cannot be started (no USB at all); FT_DEVICE_NOT_OPENED also for a device that
//   does not answer the reset libftdi sends on open.
// - OpenEx: devices whose serial cannot be read (no permission, no answer) are skipped.
// - EE_Read: FT_INVALID_PARAMETER for null Data; FT_EEPROM_READ_FAILED when a string table entry
//   or string header is implausible (blank or garbled EEPROM). The checksum is not verified.
// - SetBitMode: FT_INVALID_PARAMETER for a mode libftdi does not know.
// - SetBaudRate: FT_INVALID_BAUD_RATE for 0 or a rate the chip cannot make within 5 %.
// - SetLatencyTimer: FT_INVALID_PARAMETER for 0.
// - Write: FT_INVALID_PARAMETER for a null Buffer with BytesToWrite > 0; *BytesWritten is 0 on
//   failure. GetBitMode: FT_INVALID_PARAMETER for null Pins.
// - Any call on a dead handle, or whose transfer fails: FT_IO_ERROR.
class LibftdiDriver final : public Driver {
public:
    // Per-transfer timeout. A healthy FT232R answers a control request within a few
    // milliseconds; one tick of the panel (5 pin reads + 3 writes) on a board that stopped
    // answering stalls for one timeout, because the handle is dead after the first.
    static constexpr int kTransferTimeoutMs = 250;

    LibftdiDriver();
    ~LibftdiDriver() override;  // closes every handle still open
    LibftdiDriver(const LibftdiDriver&) = delete;
    LibftdiDriver& operator=(const LibftdiDriver&) = delete;

    FT_STATUS Open(std::int32_t Index, FT_HANDLE* Handle) override;
    FT_STATUS OpenEx(const char* Arg, std::uint32_t Flags, FT_HANDLE* Handle) override;
    FT_STATUS Close(FT_HANDLE Handle) override;
    FT_STATUS EE_Read(FT_HANDLE Handle, FT_PROGRAM_DATA* Data) override;
    FT_STATUS SetBitMode(FT_HANDLE Handle, std::uint8_t Mask, std::uint8_t Mode) override;
    FT_STATUS SetBaudRate(FT_HANDLE Handle, std::uint32_t BaudRate) override;
    FT_STATUS SetLatencyTimer(FT_HANDLE Handle, std::uint8_t Timer) override;
    FT_STATUS Write(FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                    std::uint32_t* BytesWritten) override;
    FT_STATUS GetBitMode(FT_HANDLE Handle, std::uint8_t* Pins) override;

    // Number of handles open now.
    std::size_t OpenHandles() const { return devices_.size(); }

private:
    struct Device;
    struct ContextDeleter {
        void operator()(ftdi_context* Context) const;
    };
    using Context = std::unique_ptr<ftdi_context, ContextDeleter>;

    static Context NewContext();
    FT_STATUS Adopt(Context Ctx, FT_HANDLE* Handle);
    Device* Find(FT_HANDLE Handle);
    // Looks the handle up and runs Call(context) unless the handle is dead. Call returns
    // FT_OK, a parameter status, or FT_IO_ERROR when its transfer failed, which kills the handle.
    template <class Call>
    FT_STATUS OnDevice(FT_HANDLE Handle, Call&& Fn);

    std::map<FT_HANDLE, std::unique_ptr<Device>> devices_;
    FT_HANDLE lastHandle_ = 0;
};

}  // namespace d2xx
