#include "d2xx/LibftdiDriver.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace d2xx {
namespace {

// FT232R EEPROM layout: string table entries (offset | 0x80, length in bytes) and the area the
// strings may occupy, below the checksum word.
constexpr std::size_t kProductEntry = 0x10;
constexpr std::size_t kSerialEntry = 0x12;
constexpr std::size_t kStringAreaStart = 0x18;
constexpr std::size_t kStringAreaEnd = 0x7E;
constexpr std::uint8_t kStringDescriptorType = 0x03;

// UTF-16LE code units as 8-bit text: units above 0xFF have no 8-bit character and become '?'.
std::string FromUtf16(const std::uint8_t* Units, std::size_t Count) {
    std::string s;
    s.reserve(Count);
    for (std::size_t i = 0; i < Count; ++i)
        s.push_back(Units[2 * i + 1] == 0 ? static_cast<char>(Units[2 * i]) : '?');
    return s;
}

// Copies s into a buffer of Capacity bytes: its bytes up to the capacity, then a terminator if
// there is room for one. Nothing past the capacity is written.
void CopyOut(const std::string& s, char* Buffer, std::size_t Capacity) {
    const std::size_t n = std::min(s.size(), Capacity);
    std::memcpy(Buffer, s.data(), n);
    if (n < Capacity) Buffer[n] = '\0';
}

// Reads EEPROM bytes one word per transfer, each word at most once.
class EepromReader {
public:
    explicit EepromReader(ftdi_context* Context) : context_(Context) {}

    bool Byte(std::size_t Address, std::uint8_t& Out) {
        auto& word = words_[(Address / 2) % words_.size()];
        if (!word) {
            unsigned short value = 0;
            if (ftdi_read_eeprom_location(context_, static_cast<int>(Address / 2), &value) != 0)
                return false;
            word = value;
        }
        Out = static_cast<std::uint8_t>(Address % 2 ? *word >> 8 : *word & 0xFF);
        return true;
    }

private:
    ftdi_context* context_;
    std::array<std::optional<std::uint16_t>, 64> words_;
};

// Reads the string the table entry at Entry names: FT_OK, FT_IO_ERROR when a transfer failed,
// FT_EEPROM_READ_FAILED when the entry or the string header is implausible.
FT_STATUS ReadEepromString(EepromReader& Eeprom, std::size_t Entry, std::string& Out) {
    std::uint8_t offsetByte = 0, length = 0;
    if (!Eeprom.Byte(Entry, offsetByte) || !Eeprom.Byte(Entry + 1, length)) return FT_IO_ERROR;
    if (length == 0) {
        Out.clear();
        return FT_OK;
    }
    const std::size_t offset = offsetByte & 0x7F;
    if (length % 2 != 0 || offset < kStringAreaStart || offset + length > kStringAreaEnd)
        return FT_EEPROM_READ_FAILED;
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        if (!Eeprom.Byte(offset + i, bytes[i])) return FT_IO_ERROR;
    if (bytes[0] != length || bytes[1] != kStringDescriptorType) return FT_EEPROM_READ_FAILED;
    Out = FromUtf16(bytes.data() + 2, (length - 2u) / 2);
    return FT_OK;
}

// The serial string descriptor as 8-bit text; nullopt when the device has none or cannot be read.
std::optional<std::string> ReadSerialDescriptor(libusb_device* Device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(Device, &descriptor) < 0 || descriptor.iSerialNumber == 0)
        return std::nullopt;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(Device, &handle) < 0) return std::nullopt;

    std::optional<std::string> serial;
    std::uint8_t buffer[255];
    auto getString = [&](std::uint8_t Index, std::uint16_t Language) {
        const int n = libusb_control_transfer(
            handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
            static_cast<std::uint16_t>(LIBUSB_DT_STRING << 8 | Index), Language, buffer,
            sizeof buffer, LibftdiDriver::kTransferTimeoutMs);
        if (n < 2 || buffer[1] != LIBUSB_DT_STRING) return 0;
        return std::min(n, static_cast<int>(buffer[0]));
    };
    // String 0 lists the languages; the serial is asked for in the first.
    if (getString(0, 0) >= 4) {
        const auto language = static_cast<std::uint16_t>(buffer[2] | buffer[3] << 8);
        const int n = getString(descriptor.iSerialNumber, language);
        if (n >= 2) serial = FromUtf16(buffer + 2, static_cast<std::size_t>(n - 2) / 2);
    }
    libusb_close(handle);
    return serial;
}

// The attached FTDI devices in libusb's order; the list keeps them referenced.
class DeviceList {
public:
    explicit DeviceList(ftdi_context* Context) {
        if (ftdi_usb_find_all(Context, &head_, 0, 0) < 0) head_ = nullptr;
        for (ftdi_device_list* d = head_; d != nullptr; d = d->next) devices_.push_back(d->dev);
    }
    ~DeviceList() {
        if (head_ != nullptr) ftdi_list_free(&head_);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    const std::vector<libusb_device*>& Devices() const { return devices_; }

private:
    ftdi_device_list* head_ = nullptr;
    std::vector<libusb_device*> devices_;
};

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

struct LibftdiDriver::Device {
    Context context;
    bool dead = false;
};

void LibftdiDriver::ContextDeleter::operator()(ftdi_context* Ctx) const {
    if (Ctx->usb_dev != nullptr) ftdi_usb_close(Ctx);  // releases the interface
    ftdi_free(Ctx);
}

LibftdiDriver::LibftdiDriver() = default;
LibftdiDriver::~LibftdiDriver() = default;

LibftdiDriver::Context LibftdiDriver::NewContext() {
    Context ctx(ftdi_new());
    if (ctx) {
        ctx->usb_read_timeout = kTransferTimeoutMs;
        ctx->usb_write_timeout = kTransferTimeoutMs;
    }
    return ctx;
}

FT_STATUS LibftdiDriver::Adopt(Context Ctx, FT_HANDLE* Handle) {
    FT_HANDLE h = lastHandle_;
    do {
        h = h == INT32_MAX ? 1 : h + 1;
    } while (devices_.count(h) != 0);
    lastHandle_ = h;
    devices_.emplace(h, std::make_unique<Device>(Device{std::move(Ctx), false}));
    *Handle = h;
    return FT_OK;
}

LibftdiDriver::Device* LibftdiDriver::Find(FT_HANDLE Handle) {
    const auto it = devices_.find(Handle);
    return it == devices_.end() ? nullptr : it->second.get();
}

template <class Call>
FT_STATUS LibftdiDriver::OnDevice(FT_HANDLE Handle, Call&& Fn) {
    Device* device = Find(Handle);
    if (device == nullptr) return FT_INVALID_HANDLE;
    if (device->dead) return FT_IO_ERROR;
    const FT_STATUS status = Fn(device->context.get());
    if (status == FT_IO_ERROR) device->dead = true;
    return status;
}

FT_STATUS LibftdiDriver::Open(std::int32_t Index, FT_HANDLE* Handle) {
    if (Handle == nullptr) return FT_INVALID_PARAMETER;
    if (Index < 0) return FT_DEVICE_NOT_FOUND;
    Context ctx = NewContext();
    if (!ctx) return FT_DEVICE_NOT_FOUND;
    {
        const DeviceList list(ctx.get());
        const auto& devices = list.Devices();
        if (static_cast<std::size_t>(Index) >= devices.size()) return FT_DEVICE_NOT_FOUND;
        if (ftdi_usb_open_dev(ctx.get(), devices[static_cast<std::size_t>(Index)]) != 0)
            return FT_DEVICE_NOT_OPENED;
    }
    return Adopt(std::move(ctx), Handle);
}

FT_STATUS LibftdiDriver::OpenEx(const char* Arg, std::uint32_t Flags, FT_HANDLE* Handle) {
    if (Arg == nullptr || Handle == nullptr || Flags != FT_OPEN_BY_SERIAL_NUMBER)
        return FT_INVALID_PARAMETER;
    Context ctx = NewContext();
    if (!ctx) return FT_DEVICE_NOT_FOUND;
    {
        // Serials come from the string descriptors, read with handles of our own: libftdi's
        // ftdi_usb_open_desc gives up as soon as any other FTDI device is busy.
        const DeviceList list(ctx.get());
        const auto& devices = list.Devices();
        const auto match = std::find_if(devices.begin(), devices.end(), [&](libusb_device* d) {
            const auto serial = ReadSerialDescriptor(d);
            return serial && *serial == Arg;
        });
        if (match == devices.end()) return FT_DEVICE_NOT_FOUND;
        if (ftdi_usb_open_dev(ctx.get(), *match) != 0) return FT_DEVICE_NOT_OPENED;
    }
    return Adopt(std::move(ctx), Handle);
}

FT_STATUS LibftdiDriver::Close(FT_HANDLE Handle) {
    return devices_.erase(Handle) != 0 ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS LibftdiDriver::EE_Read(FT_HANDLE Handle, FT_PROGRAM_DATA* Data) {
    return OnDevice(Handle, [&](ftdi_context* ctx) -> FT_STATUS {
        if (Data == nullptr) return FT_INVALID_PARAMETER;
        EepromReader eeprom(ctx);
        std::string description, serial;
        // Only the strings asked for are read; the buffers change only once both are in.
        if (Data->Description != nullptr)
            if (const FT_STATUS s = ReadEepromString(eeprom, kProductEntry, description);
                s != FT_OK)
                return s;
        if (Data->SerialNumber != nullptr)
            if (const FT_STATUS s = ReadEepromString(eeprom, kSerialEntry, serial); s != FT_OK)
                return s;
        if (Data->Description != nullptr) CopyOut(description, Data->Description, kDescriptionSize);
        if (Data->SerialNumber != nullptr) CopyOut(serial, Data->SerialNumber, kSerialNumberSize);
        return FT_OK;
    });
}

FT_STATUS LibftdiDriver::SetBitMode(FT_HANDLE Handle, std::uint8_t Mask, std::uint8_t Mode) {
    return OnDevice(Handle, [&](ftdi_context* ctx) -> FT_STATUS {
        if (!KnownBitMode(Mode)) return FT_INVALID_PARAMETER;
        return ftdi_set_bitmode(ctx, Mask, Mode) == 0 ? FT_OK : FT_IO_ERROR;
    });
}

FT_STATUS LibftdiDriver::SetBaudRate(FT_HANDLE Handle, std::uint32_t BaudRate) {
    return OnDevice(Handle, [&](ftdi_context* ctx) -> FT_STATUS {
        if (BaudRate == 0 || BaudRate > INT_MAX) return FT_INVALID_BAUD_RATE;
        // libftdi multiplies the rate by four in bit-bang mode; D2XX programs the divisor for the
        // rate as given, and so does this driver.
        const unsigned char bitbang = ctx->bitbang_enabled;
        ctx->bitbang_enabled = 0;
        const int result = ftdi_set_baudrate(ctx, static_cast<int>(BaudRate));
        ctx->bitbang_enabled = bitbang;
        if (result == -1) return FT_INVALID_BAUD_RATE;
        return result == 0 ? FT_OK : FT_IO_ERROR;
    });
}

FT_STATUS LibftdiDriver::SetLatencyTimer(FT_HANDLE Handle, std::uint8_t Timer) {
    return OnDevice(Handle, [&](ftdi_context* ctx) -> FT_STATUS {
        if (Timer == 0) return FT_INVALID_PARAMETER;
        return ftdi_set_latency_timer(ctx, Timer) == 0 ? FT_OK : FT_IO_ERROR;
    });
}

FT_STATUS LibftdiDriver::Write(FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                               std::uint32_t* BytesWritten) {
    return OnDevice(Handle, [&](ftdi_context* ctx) -> FT_STATUS {
        if (BytesWritten != nullptr) *BytesWritten = 0;
        if ((Buffer == nullptr && BytesToWrite > 0) || BytesToWrite > INT_MAX)
            return FT_INVALID_PARAMETER;
        if (BytesToWrite == 0) return FT_OK;
        const int written = ftdi_write_data(ctx, static_cast<const unsigned char*>(Buffer),
                                            static_cast<int>(BytesToWrite));
        if (written < 0) return FT_IO_ERROR;
        if (BytesWritten != nullptr) *BytesWritten = static_cast<std::uint32_t>(written);
        return FT_OK;
    });
}

FT_STATUS LibftdiDriver::GetBitMode(FT_HANDLE Handle, std::uint8_t* Pins) {
    return OnDevice(Handle, [&](ftdi_context* ctx) -> FT_STATUS {
        if (Pins == nullptr) return FT_INVALID_PARAMETER;
        unsigned char pins = 0;
        if (ftdi_read_pins(ctx, &pins) != 0) return FT_IO_ERROR;
        *Pins = pins;
        return FT_OK;
    });
}

}  // namespace d2xx
