#include "device/clsVostrel.h"

#include <array>

namespace {

using namespace d2xx;

constexpr std::uint8_t kDirectionMask = 0x15;  // D0, D2, D4 driven; D1, D3, D5, D6, D7 read
constexpr std::uint8_t kAsyncBitBang = 1;
constexpr std::uint32_t kBaudRate = 100000;
constexpr std::uint8_t kLatencyMs = 2;
constexpr const char* kDescription = "Kelvorn";
// Indices tried per pass at the most, so that a driver that never reports the end of its device
// list cannot keep a scan going; behind bridges the list holds a fleet of bridges' boards.
constexpr std::int32_t kMaxDevices = 1000;

template <std::size_t N>
std::int32_t MaskOf(const std::array<clsVostrel::Pin, N>& Map, std::int16_t Index) {
    return Index >= 0 && static_cast<std::size_t>(Index) < N
               ? Map[static_cast<std::size_t>(Index)].Mask
               : 0;
}

}  // namespace

clsVostrel::clsVostrel(d2xx::Driver& Driver) : oDriver(Driver) {}

clsVostrel::~clsVostrel() {
    if (lHandle != 0) oDriver.Close(lHandle);
}

std::string clsVostrel::SerialNumber() const { return sSerialNumber; }

bool clsVostrel::BitOut(std::int16_t Index) const {
    return (lOutputs & MaskOf(OutputPins, Index)) == 0;
}

void clsVostrel::BitOut(std::int16_t Index, bool Value) {
    const std::int32_t mask = MaskOf(OutputPins, Index);
    if (Value)
        lOutputs &= ~mask;  // active low: on drives the pin low
    else
        lOutputs |= mask;
    WriteLatch();
}

bool clsVostrel::BitInput(std::int16_t Index) {
    return (ReadPins() & MaskOf(InputPins, Index)) != 0;
}

std::uint8_t clsVostrel::Inputs() {
    const std::uint8_t pins = ReadPins();
    std::uint8_t levels = 0;
    for (std::size_t i = 0; i < InputPins.size(); ++i)
        if ((pins & InputPins[i].Mask) != 0) levels = static_cast<std::uint8_t>(levels | 1u << i);
    return levels;
}

void clsVostrel::SetOutputs(std::uint8_t On) {
    for (std::size_t i = 0; i < OutputPins.size(); ++i) {
        if ((On & 1u << i) != 0)
            lOutputs &= ~OutputPins[i].Mask;
        else
            lOutputs |= OutputPins[i].Mask;
    }
    WriteLatch();
}

std::optional<std::uint8_t> clsVostrel::TakeOutputs(const std::function<void()>& SetOwn) {
    if (!oDriver.Shared()) {
        SetOwn();
    } else {
        const std::uint8_t pins = ReadPins();
        if (!bLastReadOk) return std::nullopt;
        for (const Pin& p : OutputPins) lOutputs = (lOutputs & ~p.Mask) | (pins & p.Mask);
    }
    std::uint8_t on = 0;
    for (std::size_t i = 0; i < OutputPins.size(); ++i)
        if (BitOut(static_cast<std::int16_t>(i))) on = static_cast<std::uint8_t>(on | 1u << i);
    return on;
}

void clsVostrel::WriteLatch() {
    const auto byte = static_cast<std::uint8_t>(lOutputs & 0xFF);
    std::uint32_t written = 0;
    oDriver.Write(lHandle, &byte, 1, &written);
}

std::uint8_t clsVostrel::ReadPins() {
    std::uint8_t pins = 0;
    bLastReadOk = oDriver.GetBitMode(lHandle, &pins) == FT_OK;
    return pins;
}

std::string clsVostrel::ByteArrayToString(std::span<const char> Buffer) {
    std::string text;
    for (const char c : Buffer) {
        if (c == '\0') break;
        text += c;
    }
    return text;
}

bool clsVostrel::Connect(const std::string& Serial) {
    FT_HANDLE handle = 0;
    if (oDriver.OpenEx(Serial.c_str(), FT_OPEN_BY_SERIAL_NUMBER, &handle) != FT_OK || handle == 0)
        return false;
    // A board opened before would otherwise stay held with nothing left to close it.
    if (lHandle != 0) oDriver.Close(lHandle);
    lHandle = handle;

    FT_PROGRAM_DATA record{};
    std::array<char, kSerialNumberSize> serial{};
    record.SerialNumber = serial.data();
    oDriver.EE_Read(lHandle, &record);
    sSerialNumber = ByteArrayToString(serial);

    oDriver.SetBitMode(lHandle, kDirectionMask, kAsyncBitBang);
    oDriver.SetBaudRate(lHandle, kBaudRate);
    oDriver.SetLatencyTimer(lHandle, kLatencyMs);
    return true;
}

void clsVostrel::Identify() {
    if (lHandle != 0) {
        oDriver.Close(lHandle);
        lHandle = 0;
        lScanIndex = 0;
    }

    // One record and its buffers for the whole scan: a failed EEPROM read leaves the previous
    // device's strings in place, and those never matched, or the scan would have ended there.
    FT_PROGRAM_DATA record{};
    std::array<char, kDescriptionSize> description{};
    std::array<char, kSerialNumberSize> serial{};
    record.Description = description.data();
    record.SerialNumber = serial.data();

    // A pass from index 0 to the end of the list without a match ends the scan. A scan that
    // starts further on wraps to 0 once, so it still sees the boards before its start.
    bool fullPass = lScanIndex == 0;
    for (;;) {
        FT_HANDLE handle = 0;
        const FT_STATUS status =
            lScanIndex < kMaxDevices ? oDriver.Open(lScanIndex, &handle) : FT_DEVICE_NOT_FOUND;
        if (status == FT_DEVICE_NOT_OPENED) {
            // Present but held by another program: not the end of the list.
            lScanIndex++;
            continue;
        }
        if (status != FT_OK || handle == 0) {  // past the last device
            sSerialNumber.clear();
            lScanIndex = 0;
            if (fullPass) return;
            fullPass = true;
            continue;
        }
        lHandle = handle;
        oDriver.EE_Read(lHandle, &record);
        const bool match = ByteArrayToString(description) == kDescription;
        if (match) sSerialNumber = ByteArrayToString(serial);
        oDriver.Close(lHandle);
        lHandle = 0;
        lScanIndex++;
        if (match) return;
    }
}
