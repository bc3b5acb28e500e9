#include "d2xx/LibftdiDriver.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "d2xx/Ft232rEeprom.h"
#include "d2xx/Handles.h"

namespace d2xx {
namespace {

constexpr std::uint16_t kFtdiVendor = 0x0403;
constexpr std::array<std::uint16_t, 5> kFtdiProducts = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};
constexpr int kInterface = 0;
// bmRequestType of FTDI's vendor requests (libftdi's FTDI_DEVICE_OUT/IN_REQTYPE).
constexpr std::uint8_t kVendorOut = 0x40;
constexpr std::uint8_t kVendorIn = 0xC0;
constexpr unsigned int kTimeout = LibftdiDriver::kTransferTimeoutMs;

// Copies s into a buffer of Capacity bytes: its bytes up to the capacity, then a terminator if
// there is room for one. Nothing past the capacity is written.
void CopyOut(const std::string& s, char* Buffer, std::size_t Capacity) {
    const std::size_t n = std::min(s.size(), Capacity);
    std::memcpy(Buffer, s.data(), n);
    if (n < Capacity) Buffer[n] = '\0';
}

struct UsbClose {
    void operator()(libusb_device_handle* Handle) const { libusb_close(Handle); }
};
using UsbHandle = std::unique_ptr<libusb_device_handle, UsbClose>;

// The serial string descriptor as 8-bit text; nullopt when the device has none or cannot be read.
std::optional<std::string> ReadSerialDescriptor(libusb_device* Device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(Device, &descriptor) < 0 || descriptor.iSerialNumber == 0)
        return std::nullopt;
    libusb_device_handle* raw = nullptr;
    if (libusb_open(Device, &raw) < 0) return std::nullopt;
    const UsbHandle handle(raw);

    std::uint8_t buffer[255];
    auto getString = [&](std::uint8_t Index, std::uint16_t Language) {
        const int n =
            libusb_control_transfer(handle.get(), LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                    static_cast<std::uint16_t>(LIBUSB_DT_STRING << 8 | Index),
                                    Language, buffer, sizeof buffer, kTimeout);
        if (n < 2 || buffer[1] != LIBUSB_DT_STRING) return 0;
        return std::min(n, static_cast<int>(buffer[0]));
    };
    // String 0 lists the languages; the serial is asked for in the first.
    if (getString(0, 0) < 4) return std::nullopt;
    const auto language = static_cast<std::uint16_t>(buffer[2] | buffer[3] << 8);
    const int n = getString(descriptor.iSerialNumber, language);
    if (n < 2) return std::nullopt;
    return FromUtf16Le(buffer + 2, static_cast<std::size_t>(n - 2) / 2);
}

// The attached FTDI devices in libusb's order; the list keeps them referenced.
class DeviceList {
public:
    explicit DeviceList(libusb_context* Context) {
        const ssize_t n = libusb_get_device_list(Context, &all_);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(all_[i], &d) == 0 && d.idVendor == kFtdiVendor &&
                std::find(kFtdiProducts.begin(), kFtdiProducts.end(), d.idProduct) !=
                    kFtdiProducts.end())
                devices_.push_back(all_[i]);
        }
    }
    ~DeviceList() {
        if (all_ != nullptr) libusb_free_device_list(all_, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    const std::vector<libusb_device*>& Devices() const { return devices_; }

private:
    libusb_device** all_ = nullptr;
    std::vector<libusb_device*> devices_;
};

// Whether another program has claimed the device. A claim without detaching succeeds on a free
// interface (and is released at once); it fails with BUSY when a driver holds it, and only a
// kernel driver (ftdi_sio) leaves the device to be read: usbfs means another program.
bool HeldByAnotherProgram(libusb_device_handle* Handle) {
    const int claim = libusb_claim_interface(Handle, kInterface);
    if (claim == 0) {
        libusb_release_interface(Handle, kInterface);
        return false;
    }
    return !(claim == LIBUSB_ERROR_BUSY && libusb_kernel_driver_active(Handle, kInterface) == 1);
}

struct BaudDivisor {
    std::uint16_t value = 0;  // wValue and wIndex of SIO_SET_BAUDRATE_REQUEST
    std::uint16_t index = 0;
};

// The divisor for Baud on the chips with a 3 MHz baud clock (the FT232R and FT232BM, the FT2232C,
// the FT-X series): the clock divided in eighths, to the nearest eighth, as FTDI's D2XX and
// libftdi's ftdi_set_baudrate (before the factor of four it applies after its own
// ftdi_set_bitmode) compute it. nullopt when the rate that gives is more than 5 % off.
std::optional<BaudDivisor> DivisorFor(std::int64_t Baud) {
    static constexpr std::uint32_t kFractionCode[8] = {0, 3, 2, 4, 1, 5, 6, 7};
    constexpr std::int64_t kClock = 3000000;
    std::uint32_t encoded = 0;  // codes 0, 1 and 2 divide by 1, 1.5 and 2
    std::int64_t actual = kClock;
    if (Baud < kClock / 2) {
        const std::int64_t eighths = std::min<std::int64_t>((kClock * 16 / Baud + 1) / 2, 0x1FFFF);
        actual = kClock * 8 / eighths;
        encoded = static_cast<std::uint32_t>(eighths >> 3) | kFractionCode[eighths & 7] << 14;
    } else if (Baud < kClock * 2 / 3) {
        encoded = 2;
        actual = kClock / 2;
    } else if (Baud < kClock) {
        encoded = 1;
        actual = kClock * 2 / 3;
    }
    if (actual * 21 < Baud * 20 || Baud * 21 < actual * 20) return std::nullopt;
    return BaudDivisor{static_cast<std::uint16_t>(encoded & 0xFFFF),
                       static_cast<std::uint16_t>(encoded >> 16)};
}

bool KnownBitMode(std::uint8_t Mode) {
    switch (Mode) {
        case BITMODE_RESET:
        case BITMODE_BITBANG:
        case BITMODE_MPSSE:
        case BITMODE_SYNCBB:
        case BITMODE_MCU:
        case BITMODE_OPTO:
        case BITMODE_CBUS:
        case BITMODE_SYNCFF:
        case BITMODE_FT1284:
            return true;
        default:
            return false;
    }
}

}  // namespace

struct LibftdiDriver::Place {
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    bool operator==(const Place&) const = default;
};

struct LibftdiDriver::Device {
    struct ContextDeleter {
        void operator()(ftdi_context* Ctx) const {
            if (Ctx->usb_dev != nullptr) ftdi_usb_close(Ctx);  // releases and rebinds
            ftdi_free(Ctx);
        }
    };
    // Declared first, so destroyed last: its libusb context lists and opens the device, and its
    // usb_dev is set once the device is taken.
    std::unique_ptr<ftdi_context, ContextDeleter> ftdi{ftdi_new()};
    UsbHandle look;  // the handle that only looks; dropped once the device is taken
    Place place;
    std::string serial;  // as OpenEx matched it; empty for a device opened by index
    bool bound = false;  // a kernel driver held the interface when the device was looked at
    bool dead = false;

    libusb_device_handle* Usb() const {
        return ftdi->usb_dev != nullptr ? ftdi->usb_dev : look.get();
    }
    bool Taken() const { return ftdi->usb_dev != nullptr; }
    // The outcome of a transfer that returned Result, expected to move Expected bytes. A device
    // that is gone or silent ends the handle; any other failure ends only this call.
    FT_STATUS Outcome(int Result, int Expected = 0) {
        if (Result == LIBUSB_ERROR_NO_DEVICE || Result == LIBUSB_ERROR_TIMEOUT) dead = true;
        return Result == Expected ? FT_OK : FT_IO_ERROR;
    }
    int VendorOut(std::uint8_t Request, std::uint16_t Value) {
        return libusb_control_transfer(Usb(), kVendorOut, Request, Value,
                                       static_cast<std::uint16_t>(ftdi->index), nullptr, 0,
                                       kTimeout);
    }
};

LibftdiDriver::LibftdiDriver() = default;
LibftdiDriver::~LibftdiDriver() = default;

const LibftdiDriver::Device* LibftdiDriver::Holder(const Place& Where) const {
    const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& entry) {
        return !entry.second->dead && entry.second->place == Where;
    });
    return it == devices_.end() ? nullptr : it->second.get();
}

bool LibftdiDriver::Holds(const Place& Where) const { return Holder(Where) != nullptr; }

FT_STATUS LibftdiDriver::Look(Device& Dev, libusb_device* Usb) const {
    Dev.place = {libusb_get_bus_number(Usb), libusb_get_device_address(Usb)};
    if (Holds(Dev.place)) return FT_DEVICE_NOT_OPENED;
    libusb_device_handle* raw = nullptr;
    if (libusb_open(Usb, &raw) != 0) return FT_DEVICE_NOT_OPENED;
    Dev.look.reset(raw);
    if (HeldByAnotherProgram(raw)) return FT_DEVICE_NOT_OPENED;
    Dev.bound = libusb_kernel_driver_active(raw, kInterface) == 1;
    return FT_OK;
}

FT_STATUS LibftdiDriver::Take(Device& Dev) {
    if (Dev.Taken()) return FT_OK;
    ftdi_context* ctx = Dev.ftdi.get();
    ctx->usb_read_timeout = kTransferTimeoutMs;
    ctx->usb_write_timeout = kTransferTimeoutMs;
    // libusb detaches the serial driver on claim and binds it again on release.
    ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    if (const int result = ftdi_usb_open_dev(ctx, libusb_get_device(Dev.look.get())); result != 0) {
        // -5: the claim failed, another program holds the device now; it may let go. Anything
        // else (gone, or silent on the reset) ends the handle, so that it costs one timeout.
        Dev.dead = result != -5;
        // libftdi gives up without releasing what it detached: give the serial driver back. The
        // kernel refuses this while another program holds the device.
        if (Dev.bound && libusb_kernel_driver_active(Dev.look.get(), kInterface) == 0)
            libusb_attach_kernel_driver(Dev.look.get(), kInterface);
        return FT_IO_ERROR;
    }
    Dev.look.reset();
    return FT_OK;
}

FT_STATUS LibftdiDriver::Adopt(std::unique_ptr<Device> Dev, FT_HANDLE* Handle) {
    const FT_HANDLE h = lastHandle_ = NextFreeHandle(lastHandle_, devices_);
    devices_.emplace(h, std::move(Dev));
    *Handle = h;
    return FT_OK;
}

template <class Call>
FT_STATUS LibftdiDriver::OnDevice(FT_HANDLE Handle, Use How, FT_STATUS Checked, Call&& Fn) {
    const auto it = devices_.find(Handle);
    if (it == devices_.end()) return FT_INVALID_HANDLE;
    Device& device = *it->second;
    if (device.dead) return FT_IO_ERROR;
    if (Checked != FT_OK) return Checked;
    if (How == Use::Take)
        if (const FT_STATUS s = Take(device); s != FT_OK) return s;
    return Fn(device);
}

FT_STATUS LibftdiDriver::Open(std::int32_t Index, FT_HANDLE* Handle) {
    if (Handle == nullptr) return FT_INVALID_PARAMETER;
    if (Index < 0) return FT_DEVICE_NOT_FOUND;
    auto dev = std::make_unique<Device>();
    if (!dev->ftdi) return FT_DEVICE_NOT_FOUND;
    {
        const DeviceList list(dev->ftdi->usb_ctx);
        const auto& devices = list.Devices();
        if (static_cast<std::size_t>(Index) >= devices.size()) return FT_DEVICE_NOT_FOUND;
        if (const FT_STATUS s = Look(*dev, devices[static_cast<std::size_t>(Index)]); s != FT_OK)
            return s;
    }
    return Adopt(std::move(dev), Handle);
}

FT_STATUS LibftdiDriver::OpenEx(const char* Arg, std::uint32_t Flags, FT_HANDLE* Handle) {
    if (Arg == nullptr || Handle == nullptr || Flags != FT_OPEN_BY_SERIAL_NUMBER)
        return FT_INVALID_PARAMETER;
    auto dev = std::make_unique<Device>();
    if (!dev->ftdi) return FT_DEVICE_NOT_FOUND;
    {
        // Serials come from the string descriptors, read with handles of our own: libftdi's
        // ftdi_usb_open_desc gives up as soon as any other FTDI device is busy.
        const DeviceList list(dev->ftdi->usb_ctx);
        const auto& devices = list.Devices();
        // A device held here by its serial is not asked again: that serial stands for it.
        const auto match = std::find_if(devices.begin(), devices.end(), [&](libusb_device* d) {
            const Device* held = Holder({libusb_get_bus_number(d), libusb_get_device_address(d)});
            if (held != nullptr && !held->serial.empty()) return held->serial == Arg;
            const auto serial = ReadSerialDescriptor(d);
            return serial && *serial == Arg;
        });
        if (match == devices.end()) return FT_DEVICE_NOT_FOUND;
        if (const FT_STATUS s = Look(*dev, *match); s != FT_OK) return s;
        if (Take(*dev) != FT_OK) return FT_DEVICE_NOT_OPENED;
        dev->serial = Arg;
    }
    return Adopt(std::move(dev), Handle);
}

FT_STATUS LibftdiDriver::Close(FT_HANDLE Handle) {
    return devices_.erase(Handle) != 0 ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS LibftdiDriver::EE_Read(FT_HANDLE Handle, FT_PROGRAM_DATA* Data) {
    const FT_STATUS checked = Data != nullptr ? FT_OK : FT_INVALID_PARAMETER;
    return OnDevice(Handle, Use::Look, checked, [&](Device& dev) -> FT_STATUS {
        int failure = 0;
        const EepromWordReader read = [&](std::size_t Word, std::uint16_t& Out) {
            std::uint8_t bytes[2] = {};
            const int r = libusb_control_transfer(dev.Usb(), kVendorIn, SIO_READ_EEPROM_REQUEST, 0,
                                                  static_cast<std::uint16_t>(Word), bytes,
                                                  sizeof bytes, kTimeout);
            failure = r;
            if (r != 2) return false;
            Out = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
            return true;
        };
        // Only the strings asked for are read; the buffers change only once both are in.
        std::string description, serial;
        const std::tuple<char*, std::size_t, std::string*> wanted[] = {
            {Data->Description, kEepromProductEntry, &description},
            {Data->SerialNumber, kEepromSerialEntry, &serial}};
        for (const auto& [buffer, entry, text] : wanted) {
            if (buffer == nullptr) continue;
            const FT_STATUS s = DecodeEepromString(read, entry, *text);
            if (s == FT_IO_ERROR) return dev.Outcome(failure, 2);
            if (s != FT_OK) return s;
        }
        if (Data->Description != nullptr) CopyOut(description, Data->Description, kDescriptionSize);
        if (Data->SerialNumber != nullptr) CopyOut(serial, Data->SerialNumber, kSerialNumberSize);
        return FT_OK;
    });
}

FT_STATUS LibftdiDriver::SetBitMode(FT_HANDLE Handle, std::uint8_t Mask, std::uint8_t Mode) {
    const FT_STATUS checked = KnownBitMode(Mode) ? FT_OK : FT_INVALID_PARAMETER;
    return OnDevice(Handle, Use::Take, checked, [&](Device& dev) {
        return dev.Outcome(
            dev.VendorOut(SIO_SET_BITMODE_REQUEST, static_cast<std::uint16_t>(Mode << 8 | Mask)));
    });
}

FT_STATUS LibftdiDriver::SetBaudRate(FT_HANDLE Handle, std::uint32_t BaudRate) {
    const FT_STATUS checked = BaudRate == 0 || BaudRate > INT_MAX ? FT_INVALID_BAUD_RATE : FT_OK;
    return OnDevice(Handle, Use::Take, checked, [&](Device& dev) -> FT_STATUS {
        const auto type = dev.ftdi->type;
        if (type == TYPE_AM || type == TYPE_2232H || type == TYPE_4232H || type == TYPE_232H) {
            // Divisors of rules of their own (the AM's fractions, the H chips' 12 MHz clock),
            // never a Kelvorn board's: left to libftdi, which does not say why its transfer
            // failed, so that failure ends only this call.
            const int result = ftdi_set_baudrate(dev.ftdi.get(), static_cast<int>(BaudRate));
            return result == 0 ? FT_OK : result == -1 ? FT_INVALID_BAUD_RATE : FT_IO_ERROR;
        }
        const auto divisor = DivisorFor(BaudRate);
        if (!divisor) return FT_INVALID_BAUD_RATE;
        return dev.Outcome(libusb_control_transfer(dev.Usb(), kVendorOut, SIO_SET_BAUDRATE_REQUEST,
                                                   divisor->value, divisor->index, nullptr, 0,
                                                   kTimeout));
    });
}

FT_STATUS LibftdiDriver::SetLatencyTimer(FT_HANDLE Handle, std::uint8_t Timer) {
    return OnDevice(Handle, Use::Take, Timer != 0 ? FT_OK : FT_INVALID_PARAMETER, [&](Device& dev) {
        return dev.Outcome(dev.VendorOut(SIO_SET_LATENCY_TIMER_REQUEST, Timer));
    });
}

FT_STATUS LibftdiDriver::Write(FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                               std::uint32_t* BytesWritten) {
    if (BytesWritten != nullptr && devices_.count(Handle) != 0) *BytesWritten = 0;
    const bool valid = (Buffer != nullptr || BytesToWrite == 0) && BytesToWrite <= INT_MAX;
    return OnDevice(Handle, Use::Take, valid ? FT_OK : FT_INVALID_PARAMETER,
                    [&](Device& dev) -> FT_STATUS {
                        if (BytesToWrite == 0) return FT_OK;
                        int sent = 0;
                        const int r = libusb_bulk_transfer(
                            dev.Usb(), static_cast<unsigned char>(dev.ftdi->in_ep),
                            const_cast<unsigned char*>(static_cast<const unsigned char*>(Buffer)),
                            static_cast<int>(BytesToWrite), &sent, kTimeout);
                        const FT_STATUS status = dev.Outcome(r);
                        if (status == FT_OK && BytesWritten != nullptr)
                            *BytesWritten = static_cast<std::uint32_t>(sent);
                        return status;
                    });
}

FT_STATUS LibftdiDriver::GetBitMode(FT_HANDLE Handle, std::uint8_t* Pins) {
    return OnDevice(
        Handle, Use::Take, Pins != nullptr ? FT_OK : FT_INVALID_PARAMETER, [&](Device& dev) {
            std::uint8_t pins = 0;
            const int r = libusb_control_transfer(dev.Usb(), kVendorIn, SIO_READ_PINS_REQUEST, 0,
                                                  static_cast<std::uint16_t>(dev.ftdi->index),
                                                  &pins, 1, kTimeout);
            const FT_STATUS status = dev.Outcome(r, 1);
            if (status == FT_OK) *Pins = pins;
            return status;
        });
}

}  // namespace d2xx
