// Arbitrary EEPROM strings through the scan and connect: the serial that comes back is the EEPROM's
// bytes up to the first zero, at most 17, and only a description of exactly "Kelvorn" matches.
#include <cstdlib>
#include <string>

#include "d2xx/SimDriver.h"
#include "device/clsVostrel.h"

namespace {

void Check(bool Ok) {
    if (!Ok) std::abort();
}

std::string Expected(const std::string& Eeprom, std::size_t Capacity) {
    const std::string text = Eeprom.substr(0, Capacity);
    return text.substr(0, text.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) return 0;
    const std::size_t split = Data[0] % Size;
    const std::string bytes(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    const std::string serial = bytes.substr(0, split);
    const std::string description = bytes.substr(split);

    d2xx::SimDriver sim;
    sim.Add({serial, description});
    clsVostrel dev(sim);
    dev.Identify();
    const bool matches = Expected(description, d2xx::kDescriptionSize) == "Kelvorn";
    Check(dev.SerialNumber() == (matches ? Expected(serial, d2xx::kSerialNumberSize) : ""));
    Check(sim.OpenHandles() == 0);

    // Connect takes a zero-terminated serial: it reaches only boards whose serial has no zero byte.
    const bool opened = dev.Connect(serial);
    Check(opened == (serial.find('\0') == std::string::npos));
    if (opened) Check(dev.SerialNumber() == Expected(serial, d2xx::kSerialNumberSize));
    return 0;
}
