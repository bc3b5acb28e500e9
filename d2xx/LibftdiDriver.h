// The driver seam on libftdi 1.5 over libusb-1.0: real FTDI boards on Linux.
#pragma once

#include <map>
#include <memory>

#include "d2xx/d2xx.h"

struct ftdi_context;
struct libusb_device;

namespace d2xx {

// Devices are the attached FTDI devices with FTDI's default vendor/product ids (0403:6001, 6010,
// 6011, 6014, 6015), indexed in the order libusb lists them. Handles are small positive integers
// that are not issued again while the driver lives.
//
// The bus is shared with devices that belong to others, so a handle starts out only looking:
// - Open (by index) claims nothing, detaches no kernel driver and sends nothing. EE_Read on such a
//   handle sends only EEPROM reads (vendor requests on endpoint 0 need no claim), so a scan leaves
//   every device bound and configured as it found it; a USB-serial adapter's /dev/ttyUSB* stays.
// - The first call that drives the chip (SetBitMode, SetBaudRate, SetLatencyTimer, Write,
//   GetBitMode) takes the device: libftdi detaches the kernel's serial driver from this device
//   alone, claims it, resets the chip and sets 9600 baud. OpenEx takes the device at once.
//   If another program holds the device then, that call fails and the handle stays usable: a
//   later call takes the device once it is free. A take that fails otherwise (the device gone or
//   silent on the reset) ends the handle like a failed transfer, and the serial driver is bound
//   again.
// - Close gives a taken device back: the interface is released and the serial driver bound again.
// - Open passes a device this driver holds over as FT_DEVICE_NOT_OPENED without a request, and
//   OpenEx matches one it holds by serial against that serial instead of reading its descriptor
//   again: a program that holds boards sends them nothing while it looks for others.
// A device is busy, and not opened, when another program has claimed it through usbfs (libusb).
// Open tells by claiming without detaching and releasing at once: that fails with BUSY when a
// driver holds the interface, and the kernel then names it; "usbfs" means another program, a
// kernel driver (ftdi_sio) means an idle serial port, which is readable.
//
// Every USB transfer is bounded by kTransferTimeoutMs. A transfer that times out or finds the
// device gone marks its handle dead: from then on every call on it returns FT_IO_ERROR at once
// without touching the bus, until Close frees it. A protocol error, stall or overflow fails only
// the call it happens in; the next call goes to the bus again. One exception: SetBaudRate computes
// the baud divisor itself, as D2XX does, only on the chips with a 3 MHz baud clock (the FT232R of
// a Kelvorn board, the FT232BM, FT2232C and FT-X series); on an FT8U232AM or an H chip (FT2232H,
// FT4232H, FT232H), whose divisors follow rules of their own, it leaves the rate to libftdi, and a
// failed transfer there fails only that call (libftdi does not say why it failed).
// A dead handle does not count as holding its device: the device opens again while it is still
// open (replugged, even at the same address). One that had taken the device keeps that claim
// until Close, though, so a device that merely went silent stays busy until then.
//
// Statuses, beyond those the seam documents for every implementation:
// - Open: FT_INVALID_PARAMETER for a null Handle; FT_DEVICE_NOT_FOUND for a negative index or
//   when libusb cannot be started (no USB at all); FT_DEVICE_NOT_OPENED also for a device this
//   driver already holds or cannot open (no permission).
// - OpenEx: devices whose serial cannot be read (no permission, no answer) are skipped;
//   FT_DEVICE_NOT_OPENED when the match cannot be taken (busy, or silent on the reset).
// - EE_Read: FT_INVALID_PARAMETER for null Data; FT_EEPROM_READ_FAILED when a string table entry
//   or string header is implausible (blank or garbled EEPROM). The checksum is not verified.
// - SetBitMode: FT_INVALID_PARAMETER for a mode libftdi does not know.
// - SetBaudRate: FT_INVALID_BAUD_RATE for 0 or a rate the chip cannot make within 5 %.
// - SetLatencyTimer: FT_INVALID_PARAMETER for 0.
// - Write: FT_INVALID_PARAMETER for a null Buffer with BytesToWrite > 0; *BytesWritten is 0 on
//   failure. GetBitMode: FT_INVALID_PARAMETER for null Pins.
// - Parameters are checked before anything is sent or taken; only a baud rate out of the chip's
//   reach is found once the device is taken, since the divisor depends on the chip type.
// - FT_IO_ERROR: the transfer failed, the handle is dead, or the device could not be taken.
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
    struct Place;
    enum class Use { Look, Take };

    // Opens Usb into Dev without claiming it: FT_OK, or FT_DEVICE_NOT_OPENED when this driver
    // already holds it, it cannot be opened, or another program has claimed it.
    FT_STATUS Look(Device& Dev, libusb_device* Usb) const;
    // Detaches the serial driver and claims the device, once: FT_OK or FT_IO_ERROR.
    static FT_STATUS Take(Device& Dev);
    FT_STATUS Adopt(std::unique_ptr<Device> Dev, FT_HANDLE* Handle);
    // The live handle's device at Where, or null when this driver does not hold it.
    const Device* Holder(const Place& Where) const;
    bool Holds(const Place& Where) const;
    // Runs Fn(device) for a live handle whose call passed its parameter check (Checked is FT_OK),
    // after taking the device for Use::Take; otherwise returns why not.
    template <class Call>
    FT_STATUS OnDevice(FT_HANDLE Handle, Use How, FT_STATUS Checked, Call&& Fn);

    std::map<FT_HANDLE, std::unique_ptr<Device>> devices_;
    FT_HANDLE lastHandle_ = 0;
};

}  // namespace d2xx
