// The Kelvorn USB I/O board: five inputs and three outputs on the data pins of an FT232R run in
// asynchronous bit-bang mode. One object owns the open board, the output latch and the scan
// position.
//
// Device failures are never raised: only Connect reports one, through its result. An unplugged
// board reads as all inputs False, which LastReadOk tells apart from inputs that are low; output
// assignments then only change the latch.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "d2xx/d2xx.h"

class clsVostrel {
public:
    // How the board wires its terminals to the chip: the pin byte bit and data pin of each
    // output and input index. Any other index has no pin.
    struct Pin {
        std::uint8_t Mask;
        const char* Name;
    };
    static constexpr std::array<Pin, 3> OutputPins{{{0x01, "D0"}, {0x10, "D4"}, {0x04, "D2"}}};
    static constexpr std::array<Pin, 5> InputPins{
        {{0x40, "D6"}, {0x08, "D3"}, {0x20, "D5"}, {0x80, "D7"}, {0x02, "D1"}}};

    // The driver must outlive the object. Nothing touches the board until a member is called.
    explicit clsVostrel(d2xx::Driver& Driver);
    // Closes the open board, if any, without writing to its outputs.
    ~clsVostrel();
    clsVostrel(const clsVostrel&) = delete;
    clsVostrel& operator=(const clsVostrel&) = delete;

    // Serial of the board last opened by Connect or found by Identify; "" if none. Strings are
    // the EEPROM's 8-bit bytes, unconverted.
    std::string SerialNumber() const;

    // True when output Index (0..2) is on, read from the latch without touching the board.
    // Outputs are active low, so a fresh object reports all three on. Other indices read True.
    bool BitOut(std::int16_t Index) const;
    // Switches output Index in the latch and writes the latch byte to the board, also when nothing
    // changed and for an index outside 0..2 (latch unchanged then).
    void BitOut(std::int16_t Index, bool Value);

    // Reads the pins once and returns True when input Index (0..4) is high. False on a failed
    // read and for other indices.
    bool BitInput(std::int16_t Index);
    // Reads the pins once and returns all five inputs: bit N set when input N is high. 0 on a
    // failed read. Sets LastReadOk as BitInput does.
    std::uint8_t Inputs();
    // Sets all three outputs in the latch at once (bit N of On: output N on) and writes the latch
    // byte to the board in one write.
    void SetOutputs(std::uint8_t On);
    // The outputs a board just connected starts with: the one place where a board of this
    // program's own and a shared one (d2xx::Driver::Shared, a board behind a network bridge,
    // which other programs switch too) differ. A board of its own is set by SetOwn, which writes
    // what the caller starts with; a shared board is left as it is, and the outputs its pins show
    // are taken into the latch without a write. Returns the outputs then on (bit N: output N),
    // or nothing when the shared board's pins could not be read.
    std::optional<std::uint8_t> TakeOutputs(const std::function<void()>& SetOwn);
    // Whether the pin read of the most recent BitInput or Inputs succeeded. A False from BitInput
    // is a low input only while this is True; otherwise the board did not answer (unplugged,
    // silent, or none open). Each read sets it, so after several it tells about the last one only.
    // False until the first read.
    bool LastReadOk() const { return bLastReadOk; }
    // The open board's driver handle, 0 = none: for the driver's calls beyond this class's.
    std::int32_t Handle() const { return lHandle; }

    // Closes the open board, then walks the attached devices from where the previous scan stopped
    // and leaves the serial of the next one whose EEPROM description is exactly "Kelvorn" in
    // SerialNumber ("" when there is none). Repeated scans step through several such boards. Busy
    // devices are skipped. Always ends with no board open.
    void Identify();

    // Opens the board with that serial, reads its serial back from the EEPROM and sets bit-bang
    // mode (direction mask 0x15), 100000 baud and a 2 ms latency timer. False when it cannot be
    // opened; the object is then unchanged and a board already open stays usable. On success a
    // board opened before is closed. Writes nothing to the outputs.
    bool Connect(const std::string& Serial);

private:
    static std::string ByteArrayToString(std::span<const char> Buffer);
    // One one-byte write of the latch's low byte; its status is not examined.
    void WriteLatch();
    // One pin read: the pin byte, 0 when it failed. Sets bLastReadOk.
    std::uint8_t ReadPins();

    d2xx::Driver& oDriver;
    std::int32_t lHandle = 0;     // open board, 0 = none
    std::int32_t lOutputs = 0;    // output latch; its low byte is what the pins were last sent
    std::int32_t lScanIndex = 0;  // device index where the next scan starts
    std::string sSerialNumber;
    bool bLastReadOk = false;
};
