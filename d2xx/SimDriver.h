// Simulated FTDI devices behind the driver seam: the boards of the tests and of the demo program.
// Each device is an FT232R as the panel sees it: an EEPROM with a description and a serial, and
// eight data pins that follow asynchronous bit-bang mode. Devices can be plugged, unplugged, held
// by another program or given an unreadable EEPROM at any time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "d2xx/d2xx.h"

namespace d2xx {

// A wire on the board between two data pins (bit masks, bit 0 = D0): while From is driven low,
// it pulls To low, if To is an input.
struct SimWire {
    std::uint8_t From = 0;
    std::uint8_t To = 0;
};

// What a simulated device is made with. Strings are 8-bit bytes as they stand in the EEPROM.
struct SimBoard {
    std::string Serial;
    std::string Description;
    std::uint8_t InputLevels = 0xFF;  // levels on the pins the chip does not drive (pulled up)
    bool EepromFails = false;         // every EEPROM read fails
    bool Busy = false;                // held by another program: cannot be opened
    std::vector<SimWire> Wires = {};  // outputs wired back to inputs
};

class SimDriver final : public Driver {
public:
    using DeviceId = int;  // stable for the driver's life, whatever is plugged or unplugged

    // Bit-bang state of one device as the last calls left it.
    struct Config {
        std::uint8_t Mask = 0;       // direction mask, 1 = output
        std::uint8_t Mode = 0;       // 0 reset (all inputs), 1 asynchronous bit-bang
        std::uint32_t BaudRate = 0;  // 0 = never set
        std::uint8_t Latency = 0;    // 0 = never set
    };

    // Plugs a new device in at the end of the device list.
    DeviceId Add(SimBoard Board);

    // An unplugged device leaves the device list; every call on a handle to it fails with
    // FT_IO_ERROR until the handle is closed. Plugging it in again gives it back its place in the
    // list; old handles stay dead, as after a real re-enumeration.
    void Unplug(DeviceId Id);
    void Plug(DeviceId Id);
    bool Plugged(DeviceId Id) const;

    void SetInputLevels(DeviceId Id, std::uint8_t Levels);
    void SetBusy(DeviceId Id, bool Busy);
    void SetEepromFails(DeviceId Id, bool Fails);
    void SetDescription(DeviceId Id, std::string Description);  // as if the EEPROM were rewritten
    const SimBoard& Board(DeviceId Id) const;
    std::vector<DeviceId> Devices() const;  // every device ever added, plugged or not

    // The levels on the eight data pins now: driven pins from the latch, the rest from the inputs.
    std::uint8_t Pins(DeviceId Id) const;
    // The last byte written in bit-bang mode (0 at power-up); it drives the output pins.
    std::uint8_t Latch(DeviceId Id) const;
    const Config& Settings(DeviceId Id) const;
    const std::vector<std::uint8_t>& Written(DeviceId Id) const;  // every byte written since Add
    void ClearWritten(DeviceId Id);                               // or since this
    std::uint64_t PinReads(DeviceId Id) const;
    bool IsOpen(DeviceId Id) const;  // held by one of this driver's handles

    int OpenHandles() const;  // handles issued and not yet closed, dead ones included

    // Call log, off until switched on: one line per driver call, e.g. "SetBitMode(3,0x15,1)=0".
    void RecordCalls(bool On);
    const std::vector<std::string>& Calls() const { return calls_; }
    void ClearCalls() { calls_.clear(); }

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

private:
    struct Device {
        SimBoard Board;
        bool Plugged = true;
        std::uint32_t Generation = 0;  // bumped by every unplug: handles of older ones are dead
        FT_HANDLE Holder = 0;          // our live handle on it, 0 when free
        Config Settings;
        std::uint8_t Latch = 0;
        std::vector<std::uint8_t> Written;
        std::uint64_t PinReads = 0;
    };
    struct HandleEntry {
        DeviceId Id;
        std::uint32_t Generation;
    };

    Device& At(DeviceId Id);
    const Device& At(DeviceId Id) const;
    FT_STATUS OpenDevice(DeviceId Id, FT_HANDLE* Handle);
    // The live device behind a handle, or null with *Status set to why not.
    Device* Resolve(FT_HANDLE Handle, FT_STATUS* Status);
    // Runs Fn on the live device behind Handle and logs the call with Fn's status, or logs and
    // returns why there is no such device.
    template <typename MakeCall, typename Fn>
    FT_STATUS OnDevice(FT_HANDLE Handle, MakeCall&& Call, Fn&& Body) {
        FT_STATUS status;
        Device* d = Resolve(Handle, &status);
        return Log(d == nullptr ? status : Body(*d), Call);
    }
    // Records the call, formatted by MakeCall only while recording, and passes Status through.
    template <typename MakeCall>
    FT_STATUS Log(FT_STATUS Status, MakeCall&& Call) {
        if (record_) calls_.push_back(Call() + "=" + std::to_string(Status));
        return Status;
    }

    std::vector<Device> devices_;  // list order = device index order among the plugged ones
    std::map<FT_HANDLE, HandleEntry> handles_;
    FT_HANDLE lastHandle_ = 0;
    bool record_ = false;
    std::vector<std::string> calls_;
};

}  // namespace d2xx
