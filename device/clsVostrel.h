// The Kelvorn USB I/O board: five inputs and three outputs on the data pins of an FT232R run in
// asynchronous bit-bang mode. One object owns the open board, the output latch and the scan
// position.
//
// Device failures are never raised: only Connect reports one, through its result. An unplugged
// board reads as all inputs False, and output assignments then only change the latch.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "d2xx/d2xx.h"

class clsVostrel {
public:
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

    d2xx::Driver& oDriver;
    std::int32_t lHandle = 0;     // open board, 0 = none
    std::int32_t lOutputs = 0;    // output latch; its low byte is what the pins were last sent
    std::int32_t lScanIndex = 0;  // device index where the next scan starts
    std::string sSerialNumber;
};
