// A trace of the board's lines as a Value Change Dump (IEEE 1364 VCD), which PulseView and GTKWave
// open: one 1-bit wire per line, named after its index and chip pin (in0_D6, out0_D0), 1 for an
// input that reads high and for an output that is on; times in whole microseconds. It listens to
// the board's driver, so it holds every pin read and write in the order they happened; a write
// and a read in the same microsecond share a timestamp.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "cli/KelvornIo.h"
#include "device/Board.h"

namespace kio {

class Vcd final : public kelvorn::WatchedDriver::Listener {
public:
    // Writes the header: the board's serial, escaped as in messages and '$' as well so that no
    // serial ends a header section, the program's version, and the wires: the five inputs, with
    // Outputs the three outputs before them. With Outputs the trace begins now (time 0) with the
    // outputs off, as the board's open leaves them, and the inputs unknown (x) until the first
    // read; without, it begins at the first read. Out and Time must outlive the object.
    Vcd(std::ostream& Out, Clock& Time, std::string_view Serial, bool Outputs);
    ~Vcd() override;  // ends the trace, if End has not
    Vcd(const Vcd&) = delete;
    Vcd& operator=(const Vcd&) = delete;

    void Reading() override;
    void Read(std::uint8_t Pins) override;
    void Written(std::uint8_t Pins) override;

    // Ends the trace at the clock's time: writes the last timestamp, so that a viewer shows the
    // last values until then, and flushes. Whether everything reached the stream. Once ended the
    // trace takes nothing more.
    bool End();

private:
    struct Wire {
        std::string Name;
        std::uint8_t Mask;  // its pin
        bool Output;
        char Value;  // '0', '1' or 'x'
    };
    // Writes the changes of the wires of one kind at At, each block of them flushed; the first
    // call dumps every wire at time 0.
    void Change(Micros At, bool Outputs, std::uint8_t Pins);
    void Dump(Micros At);

    std::ostream& out_;
    Clock& time_;
    std::vector<Wire> wires_;
    bool begun_ = false;
    bool ended_ = false;
    Micros start_ = 0;    // the clock's time at time 0
    Micros last_ = 0;     // the last timestamp written, from time 0
    Micros reading_ = 0;  // when the current read began
};

}  // namespace kio
