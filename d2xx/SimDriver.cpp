#include "d2xx/SimDriver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "d2xx/Handles.h"

namespace d2xx {

namespace {

std::string Hex(std::uint32_t Value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(Value));
    return text;
}

// The string's bytes up to Capacity, then a terminator if there is room, as FT_EE_Read fills them.
void Fill(char* Buffer, std::size_t Capacity, const std::string& Text) {
    if (Buffer == nullptr) return;
    const std::size_t n = std::min(Capacity, Text.size());
    std::memcpy(Buffer, Text.data(), n);
    if (n < Capacity) Buffer[n] = '\0';
}

}  // namespace

SimDriver::DeviceId SimDriver::Add(SimBoard Board) {
    Device& d = devices_.emplace_back();
    d.Board = std::move(Board);
    return static_cast<DeviceId>(devices_.size() - 1);
}

SimDriver::Device& SimDriver::At(DeviceId Id) {
    if (Id < 0 || static_cast<std::size_t>(Id) >= devices_.size())
        throw std::out_of_range("no simulated device " + std::to_string(Id));
    return devices_[static_cast<std::size_t>(Id)];
}

const SimDriver::Device& SimDriver::At(DeviceId Id) const {
    return const_cast<SimDriver*>(this)->At(Id);
}

void SimDriver::Unplug(DeviceId Id) {
    Device& d = At(Id);
    if (!d.Plugged) return;
    d.Plugged = false;
    d.Generation++;
    d.Holder = 0;
    d.Settings = Config{};  // the chip loses power
    d.Latch = 0;
}

void SimDriver::Plug(DeviceId Id) { At(Id).Plugged = true; }
bool SimDriver::Plugged(DeviceId Id) const { return At(Id).Plugged; }
void SimDriver::SetInputLevels(DeviceId Id, std::uint8_t Levels) {
    At(Id).Board.InputLevels = Levels;
}
void SimDriver::SetBusy(DeviceId Id, bool Busy) { At(Id).Board.Busy = Busy; }
void SimDriver::SetEepromFails(DeviceId Id, bool Fails) { At(Id).Board.EepromFails = Fails; }
void SimDriver::SetDescription(DeviceId Id, std::string Description) {
    At(Id).Board.Description = std::move(Description);
}
const SimBoard& SimDriver::Board(DeviceId Id) const { return At(Id).Board; }

std::vector<SimDriver::DeviceId> SimDriver::Devices() const {
    std::vector<DeviceId> ids(devices_.size());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<DeviceId>(i);
    return ids;
}

std::uint8_t SimDriver::Pins(DeviceId Id) const {
    const Device& d = At(Id);
    if (d.Settings.Mode != 1) return d.Board.InputLevels;
    const std::uint8_t mask = d.Settings.Mask;
    auto levels = static_cast<std::uint8_t>((d.Latch & mask) | (d.Board.InputLevels & ~mask));
    std::uint8_t pulled = 0;
    for (const SimWire& w : d.Board.Wires)
        if ((w.From & mask) != 0 && (d.Latch & w.From) == 0) pulled |= w.To;
    return static_cast<std::uint8_t>(levels & ~(pulled & ~mask));
}

std::uint8_t SimDriver::Latch(DeviceId Id) const { return At(Id).Latch; }
const SimDriver::Config& SimDriver::Settings(DeviceId Id) const { return At(Id).Settings; }
const std::vector<std::uint8_t>& SimDriver::Written(DeviceId Id) const { return At(Id).Written; }
void SimDriver::ClearWritten(DeviceId Id) { At(Id).Written.clear(); }
std::uint64_t SimDriver::PinReads(DeviceId Id) const { return At(Id).PinReads; }
bool SimDriver::IsOpen(DeviceId Id) const { return At(Id).Holder != 0; }
int SimDriver::OpenHandles() const { return static_cast<int>(handles_.size()); }

void SimDriver::RecordCalls(bool On) {
    record_ = On;
    calls_.clear();
}

FT_STATUS SimDriver::OpenDevice(DeviceId Id, FT_HANDLE* Handle) {
    Device& d = At(Id);
    if (d.Board.Busy || d.Holder != 0) return FT_DEVICE_NOT_OPENED;
    const FT_HANDLE h = lastHandle_ = NextFreeHandle(lastHandle_, handles_);
    handles_[h] = HandleEntry{Id, d.Generation};
    d.Holder = h;
    *Handle = h;
    return FT_OK;
}

FT_STATUS SimDriver::Open(std::int32_t Index, FT_HANDLE* Handle) {
    const auto call = [&] { return "Open(" + std::to_string(Index) + ")"; };
    if (Handle == nullptr) return Log(FT_INVALID_PARAMETER, call);
    std::int32_t seen = 0;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (!devices_[i].Plugged) continue;
        if (seen++ == Index) return Log(OpenDevice(static_cast<DeviceId>(i), Handle), call);
    }
    return Log(FT_DEVICE_NOT_FOUND, call);
}

FT_STATUS SimDriver::OpenEx(const char* Arg, std::uint32_t Flags, FT_HANDLE* Handle) {
    const auto call = [&] {
        return "OpenEx(" + std::string(Arg ? Arg : "null") + "," + std::to_string(Flags) + ")";
    };
    if (Arg == nullptr || Handle == nullptr || Flags != FT_OPEN_BY_SERIAL_NUMBER)
        return Log(FT_INVALID_PARAMETER, call);
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i].Plugged && devices_[i].Board.Serial == Arg)
            return Log(OpenDevice(static_cast<DeviceId>(i), Handle), call);
    }
    return Log(FT_DEVICE_NOT_FOUND, call);
}

SimDriver::Device* SimDriver::Resolve(FT_HANDLE Handle, FT_STATUS* Status) {
    const auto it = handles_.find(Handle);
    if (it == handles_.end()) {
        *Status = FT_INVALID_HANDLE;
        return nullptr;
    }
    Device& d = At(it->second.Id);
    if (!d.Plugged || d.Generation != it->second.Generation) {
        *Status = FT_IO_ERROR;
        return nullptr;
    }
    *Status = FT_OK;
    return &d;
}

FT_STATUS SimDriver::Close(FT_HANDLE Handle) {
    const auto call = [&] { return "Close(" + std::to_string(Handle) + ")"; };
    const auto it = handles_.find(Handle);
    if (it == handles_.end()) return Log(FT_INVALID_HANDLE, call);
    Device& d = At(it->second.Id);
    if (d.Holder == Handle) d.Holder = 0;
    handles_.erase(it);
    return Log(FT_OK, call);
}

FT_STATUS SimDriver::EE_Read(FT_HANDLE Handle, FT_PROGRAM_DATA* Data) {
    const auto call = [&] { return "EE_Read(" + std::to_string(Handle) + ")"; };
    return OnDevice(Handle, call, [&](Device& d) -> FT_STATUS {
        if (Data == nullptr) return FT_INVALID_PARAMETER;
        if (d.Board.EepromFails) return FT_EEPROM_READ_FAILED;
        Fill(Data->Description, kDescriptionSize, d.Board.Description);
        Fill(Data->SerialNumber, kSerialNumberSize, d.Board.Serial);
        return FT_OK;
    });
}

FT_STATUS SimDriver::SetBitMode(FT_HANDLE Handle, std::uint8_t Mask, std::uint8_t Mode) {
    const auto call = [&] {
        return "SetBitMode(" + std::to_string(Handle) + "," + Hex(Mask) + "," +
               std::to_string(Mode) + ")";
    };
    return OnDevice(Handle, call, [&](Device& d) -> FT_STATUS {
        if (Mode > 1) return FT_INVALID_PARAMETER;
        d.Settings.Mask = Mode == 1 ? Mask : 0;
        d.Settings.Mode = Mode;
        return FT_OK;
    });
}

FT_STATUS SimDriver::SetBaudRate(FT_HANDLE Handle, std::uint32_t BaudRate) {
    const auto call = [&] {
        return "SetBaudRate(" + std::to_string(Handle) + "," + std::to_string(BaudRate) + ")";
    };
    return OnDevice(Handle, call, [&](Device& d) -> FT_STATUS {
        if (BaudRate == 0) return FT_INVALID_BAUD_RATE;
        d.Settings.BaudRate = BaudRate;
        return FT_OK;
    });
}

FT_STATUS SimDriver::SetLatencyTimer(FT_HANDLE Handle, std::uint8_t Timer) {
    const auto call = [&] {
        return "SetLatencyTimer(" + std::to_string(Handle) + "," + std::to_string(Timer) + ")";
    };
    return OnDevice(Handle, call, [&](Device& d) -> FT_STATUS {
        if (Timer < 2) return FT_INVALID_PARAMETER;  // the FT232R takes 2..255 ms
        d.Settings.Latency = Timer;
        return FT_OK;
    });
}

FT_STATUS SimDriver::Write(FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                           std::uint32_t* BytesWritten) {
    const auto* bytes = static_cast<const std::uint8_t*>(Buffer);
    const auto call = [&] {
        std::string text = "Write(" + std::to_string(Handle);
        for (std::uint32_t i = 0; bytes != nullptr && i < BytesToWrite; ++i)
            (text += ',') += Hex(bytes[i]);  // not "," + Hex(): GCC 12 -O3 -Wrestrict
        return text + ")";
    };
    return OnDevice(Handle, call, [&](Device& d) -> FT_STATUS {
        if (bytes == nullptr && BytesToWrite > 0) return FT_INVALID_PARAMETER;
        d.Written.insert(d.Written.end(), bytes, bytes + BytesToWrite);
        if (BytesToWrite > 0 && d.Settings.Mode == 1) d.Latch = bytes[BytesToWrite - 1];
        if (BytesWritten != nullptr) *BytesWritten = BytesToWrite;
        return FT_OK;
    });
}

FT_STATUS SimDriver::GetBitMode(FT_HANDLE Handle, std::uint8_t* Pins) {
    const auto call = [&] { return "GetBitMode(" + std::to_string(Handle) + ")"; };
    return OnDevice(Handle, call, [&](Device& d) -> FT_STATUS {
        if (Pins == nullptr) return FT_INVALID_PARAMETER;
        d.PinReads++;
        *Pins = this->Pins(static_cast<DeviceId>(&d - devices_.data()));
        return FT_OK;
    });
}

}  // namespace d2xx
