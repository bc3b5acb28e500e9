#include "cli/Vcd.h"

#include <ostream>

#include "device/Text.h"

namespace kio {
namespace {

// VCD's identifier codes are printable ASCII from '!': one character for each of the 8 wires.
char Id(std::size_t Index) { return static_cast<char>('!' + Index); }

// A header section ends at the first word that is $end: '$' goes as \x24, the rest as in messages.
std::string HeaderText(std::string_view Text) {
    std::string out;
    for (const char c : kelvorn::Printable(Text)) {
        if (c == '$')
            out += "\\x24";
        else
            out += c;
    }
    return out;
}

}  // namespace

Vcd::Vcd(std::ostream& Out, Clock& Time, std::string_view Serial, bool Outputs)
    : out_(Out), time_(Time) {
    if (Outputs)
        for (std::size_t i = 0; i < clsVostrel::OutputPins.size(); ++i)
            wires_.push_back({"out" + std::to_string(i) + '_' + clsVostrel::OutputPins[i].Name,
                              clsVostrel::OutputPins[i].Mask, true, '0'});
    for (std::size_t i = 0; i < clsVostrel::InputPins.size(); ++i)
        wires_.push_back({"in" + std::to_string(i) + '_' + clsVostrel::InputPins[i].Name,
                          clsVostrel::InputPins[i].Mask, false, 'x'});
    out_ << "$version kelvorn-io " KELVORN_VERSION " $end\n"
         << "$comment board " << HeaderText(Serial) << " $end\n"
         << "$timescale 1 us $end\n"
         << "$scope module kelvorn $end\n";
    for (std::size_t i = 0; i < wires_.size(); ++i)
        out_ << "$var wire 1 " << Id(i) << ' ' << wires_[i].Name << " $end\n";
    out_ << "$upscope $end\n$enddefinitions $end\n";
    if (Outputs) Dump(time_.Now());
    out_.flush();
}

Vcd::~Vcd() { End(); }

void Vcd::Reading() { reading_ = time_.Now(); }

void Vcd::Read(std::uint8_t Pins) { Change(reading_, false, Pins); }

void Vcd::Written(std::uint8_t Pins) { Change(time_.Now(), true, Pins); }

void Vcd::Change(Micros At, bool Outputs, std::uint8_t Pins) {
    if (ended_) return;
    std::string changes;
    for (std::size_t i = 0; i < wires_.size(); ++i) {
        Wire& w = wires_[i];
        if (w.Output != Outputs) continue;
        // An output is on while its pin is driven low.
        const char value = ((Pins & w.Mask) != 0) != w.Output ? '1' : '0';
        if (value == w.Value) continue;
        w.Value = value;
        (changes += value) += Id(i);
        changes += '\n';
    }
    if (!begun_) {
        if (!Outputs) Dump(At);  // a trace without outputs begins at the first read
    } else if (!changes.empty()) {
        const Micros t = At - start_;
        if (t > last_) out_ << '#' << (last_ = t) << '\n';
        out_ << changes;
    }
    out_.flush();
}

void Vcd::Dump(Micros At) {
    begun_ = true;
    start_ = At;
    out_ << "#0\n$dumpvars\n";
    for (std::size_t i = 0; i < wires_.size(); ++i) out_ << wires_[i].Value << Id(i) << '\n';
    out_ << "$end\n";
}

bool Vcd::End() {
    if (!ended_) {
        ended_ = true;
        const Micros now = time_.Now();
        if (!begun_) Dump(now);  // no read came: the file still holds every wire
        if (now - start_ > last_) out_ << '#' << (last_ = now - start_) << '\n';
        out_.flush();
    }
    return !out_.fail();
}

}  // namespace kio
