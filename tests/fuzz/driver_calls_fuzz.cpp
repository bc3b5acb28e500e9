// Arbitrary sequences of driver calls, board-class calls and board faults on simulated boards, with
// arbitrary handles. Nothing may crash, write outside a buffer, or leave a handle behind.
#include <array>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "d2xx/SimDriver.h"
#include "device/clsVostrel.h"

namespace {

void Check(bool Ok) {
    if (!Ok) std::abort();
}

class Input {
public:
    Input(const std::uint8_t* Data, std::size_t Size) : data(Data), size(Size) {}
    bool More() const { return pos < size; }
    std::uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    std::int32_t Int() {  // mostly small values, sometimes anything
        const std::uint8_t b = Byte();
        if (b < 0xF0) return static_cast<std::int8_t>(b);
        std::int32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = static_cast<std::int32_t>(static_cast<std::uint32_t>(v) << 8 | Byte());
        return v;
    }
    std::string Text() {
        const std::size_t n = Byte() % 24;
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(Byte());
        return s;
    }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    Input in(Data, Size);
    d2xx::SimDriver sim;
    sim.Add({"A1B2C3", "Kelvorn"});
    sim.Add({"FT0001", "FT232R USB UART"});
    auto dev = std::make_unique<clsVostrel>(sim);
    std::set<d2xx::FT_HANDLE> mine;  // handles the raw calls below opened
    bool connected = false;          // the class holds a handle

    const auto handle = [&]() -> d2xx::FT_HANDLE {
        const std::uint8_t pick = in.Byte();
        if (pick < 128 && !mine.empty()) {
            auto it = mine.begin();
            std::advance(it, pick % mine.size());
            return *it;
        }
        return in.Int();
    };
    const auto device = [&]() {
        return static_cast<d2xx::SimDriver::DeviceId>(in.Byte() % sim.Devices().size());
    };

    while (in.More()) {
        switch (in.Byte() % 23) {
            case 0:
                sim.Add({in.Text(), in.Byte() & 1 ? "Kelvorn" : in.Text()});
                break;
            case 1:
                sim.Unplug(device());
                break;
            case 2:
                sim.Plug(device());
                break;
            case 3:
                sim.SetBusy(device(), in.Byte() & 1);
                break;
            case 4:
                sim.SetEepromFails(device(), in.Byte() & 1);
                break;
            case 5:
                sim.SetInputLevels(device(), in.Byte());
                break;
            case 6: {
                d2xx::FT_HANDLE h = 0;
                if (sim.Open(in.Int(), &h) == d2xx::FT_OK) Check(mine.insert(h).second);
                break;
            }
            case 7: {
                d2xx::FT_HANDLE h = 0;
                const std::string serial = in.Text();
                if (sim.OpenEx(serial.c_str(), in.Byte() % 3, &h) == d2xx::FT_OK)
                    Check(mine.insert(h).second);
                break;
            }
            case 8: {
                const d2xx::FT_HANDLE h = handle();
                // A guessed handle may be the class's own: then the class is left with a dead one.
                if (sim.Close(h) == d2xx::FT_OK && mine.erase(h) == 0) connected = false;
                break;
            }
            case 9: {
                std::array<char, d2xx::kSerialNumberSize + 1> serial;
                std::array<char, d2xx::kDescriptionSize + 1> description;
                serial.back() = description.back() = '\x5A';
                d2xx::FT_PROGRAM_DATA record{};
                record.SerialNumber = serial.data();
                record.Description = in.Byte() & 1 ? description.data() : nullptr;
                sim.EE_Read(handle(), &record);
                Check(serial.back() == '\x5A' && description.back() == '\x5A');
                break;
            }
            case 10:
                sim.SetBitMode(handle(), in.Byte(), in.Byte());
                break;
            case 11:
                sim.SetBaudRate(handle(), static_cast<std::uint32_t>(in.Int()));
                break;
            case 12:
                sim.SetLatencyTimer(handle(), in.Byte());
                break;
            case 13: {
                const std::uint8_t byte = in.Byte();
                sim.Write(handle(), &byte, 1, nullptr);
                break;
            }
            case 14: {
                std::uint8_t pins = 0;
                sim.GetBitMode(handle(), &pins);
                break;
            }
            case 15:
                dev->Identify();
                connected = false;
                break;
            case 16: {
                const std::string serial = in.Byte() & 1 ? "A1B2C3" : in.Text();
                if (dev->Connect(serial)) connected = true;
                break;
            }
            case 17:
                dev->BitOut(static_cast<std::int16_t>(in.Int()), in.Byte() & 1);
                break;
            case 18:
                dev->BitInput(static_cast<std::int16_t>(in.Int()));
                break;
            case 19:
                dev = std::make_unique<clsVostrel>(sim);
                connected = false;
                break;
            case 20:
                Check(dev->Inputs() < 32);  // five inputs
                break;
            case 21:
                dev->SetOutputs(in.Byte());
                break;
            case 22: {  // a board with outputs wired back to inputs
                d2xx::SimBoard board{in.Text(), "Kelvorn"};
                const std::uint8_t from = in.Byte();
                board.Wires.push_back({from, in.Byte()});
                sim.Add(board);
                break;
            }
        }
        // The class holds one handle while connected, none otherwise.
        Check(sim.OpenHandles() == static_cast<int>(mine.size()) + (connected ? 1 : 0));
    }
    dev.reset();
    for (const d2xx::FT_HANDLE h : mine) Check(sim.Close(h) == d2xx::FT_OK);
    Check(sim.OpenHandles() == 0);
    return 0;
}
