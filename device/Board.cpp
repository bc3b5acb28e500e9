#include "device/Board.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <utility>

#include "device/Text.h"

namespace kelvorn {

using namespace d2xx;

namespace {

// As many devices as the board class's scan tries.
constexpr int kMaxDevices = 1000;

}  // namespace

FT_STATUS WatchedDriver::Open(std::int32_t Index, FT_HANDLE* Handle) {
    if (endOnce_ && end_ >= 0) return FT_DEVICE_NOT_FOUND;
    const FT_STATUS status = below_.Open(Index, Handle);
    if (status == FT_DEVICE_NOT_OPENED) busy_.insert(Index);
    if (status == FT_DEVICE_NOT_FOUND && endOnce_) end_ = Index;
    return status;
}

FT_STATUS WatchedDriver::EE_Read(FT_HANDLE Handle, FT_PROGRAM_DATA* Data) {
    const FT_STATUS status = below_.EE_Read(Handle, Data);
    if (status == FT_OK && Data != nullptr && Data->SerialNumber != nullptr &&
        Data->Description != nullptr)
        descriptions_[{Data->SerialNumber, strnlen(Data->SerialNumber, kSerialNumberSize)}] = {
            Data->Description, strnlen(Data->Description, kDescriptionSize)};
    return status;
}

FT_STATUS WatchedDriver::OpenEx(const char* Arg, std::uint32_t Flags, FT_HANDLE* Handle) {
    lastOpenEx_ = below_.OpenEx(Arg, Flags, Handle);
    return lastOpenEx_;
}

FT_STATUS WatchedDriver::Write(FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                               std::uint32_t* BytesWritten) {
    std::uint32_t written = 0;
    const FT_STATUS status = Check(below_.Write(Handle, Buffer, BytesToWrite, &written));
    if (BytesWritten) *BytesWritten = written;
    // The board writes one byte at a time; a longer write would leave its last byte on the pins.
    if (listener_ && status == FT_OK && written > 0)
        listener_->Written(static_cast<const std::uint8_t*>(Buffer)[written - 1]);
    return status;
}

FT_STATUS WatchedDriver::GetBitMode(FT_HANDLE Handle, std::uint8_t* Pins) {
    if (listener_) listener_->Reading();
    const FT_STATUS status = Check(below_.GetBitMode(Handle, Pins));
    if (listener_ && status == FT_OK) listener_->Read(*Pins);
    return status;
}

std::vector<std::string> Board::Scan(std::ostream& Err) {
    std::vector<std::string> serials;
    driver_.EndListOnce(true);
    unnamed_ = 0;
    // One board a pass, up to the end of the list; a list that never ends is cut off at as many
    // passes as the scan tries devices.
    for (int pass = 0; pass < kMaxDevices; ++pass) {
        device_.Identify();
        if (!device_.SerialNumber().empty())
            serials.push_back(device_.SerialNumber());
        else if (driver_.EndReached())
            break;
        else  // a board with an empty serial, which cannot be opened by it: on to the next
            ++unnamed_;
    }
    driver_.EndListOnce(false);
    for (const std::int32_t index : driver_.Busy())
        Err << program_ << ": FTDI device " << index << " is held by another program: passed over\n";
    return serials;
}

FT_STATUS WatchedDriver::Pulse(FT_HANDLE Handle, int Output, std::uint32_t Millis) {
    const FT_STATUS status = below_.Pulse(Handle, Output, Millis);
    return status == FT_NOT_SUPPORTED ? status : Check(status);
}

FT_STATUS Board::Pulse(int Output, std::uint32_t Millis) {
    const FT_STATUS status = driver_.Pulse(device_.Handle(), Output, Millis);
    // The latch takes what the holder reports now, the pulse's output off among it.
    if (status == FT_OK && !device_.TakeOutputs([] {})) return FT_IO_ERROR;
    return status;
}

Board::Opened Board::Open(const std::string& Serial, std::ostream& Err) {
    serial_ = Serial;
    status_ = FT_DEVICE_NOT_FOUND;
    // Also with a serial: OpenEx takes whatever device carries it, so the scan checks first that
    // it is a Kelvorn board, reading EEPROMs only. A shared driver's devices are all boards, and
    // its list may take longer to be complete than the one board asked for: straight to it.
    const bool direct = !serial_.empty() && driver_.Shared();
    found_ = direct ? std::vector<std::string>{serial_} : Scan(Err);
    const std::vector<std::string>& found = found_;
    if (!serial_.empty()) {
        if (std::find(found.begin(), found.end(), serial_) == found.end()) {
            const auto seen = driver_.Descriptions().find(serial_);
            if (const std::string why = driver_.Absent(serial_); !why.empty())
                Err << program_ << ": " << why << '\n';
            else if (seen == driver_.Descriptions().end())
                Err << program_ << ": board " << Printable(serial_) << " not found\n";
            else
                Err << program_ << ": FTDI device " << Printable(serial_)
                    << " is not a Kelvorn board (its description is \"" << Printable(seen->second)
                    << "\"): left alone\n";
            return Opened::No;
        }
    } else {
        if (found.empty()) {
            const std::string why = driver_.Absent("");
            Err << program_ << ": " << (why.empty() ? "no Kelvorn board found" : why) << '\n';
            return Opened::No;
        }
        if (found.size() > 1) {
            // Boards behind bridges are not attached here.
            Err << program_ << ": " << found.size() << " Kelvorn boards "
                << (driver_.Shared() ? "on the broker" : "attached") << ", pick one with --serial:";
            for (const std::string& s : found) Err << ' ' << Printable(s);
            Err << '\n';
            status_ = FT_OK;
            return Opened::Ambiguous;
        }
        serial_ = found.front();
    }
    if (!device_.Connect(serial_)) {
        // A driver that says FT_OK but hands out no handle could not open it either.
        status_ = driver_.LastOpenEx() != FT_OK ? driver_.LastOpenEx() : FT_DEVICE_NOT_OPENED;
        if (const std::string why = driver_.Absent(serial_);
            driver_.LastOpenEx() == FT_DEVICE_NOT_FOUND && !why.empty()) {
            Err << program_ << ": " << why << '\n';
            return Opened::No;
        }
        Err << program_ << ": board " << Printable(serial_)
            << (driver_.LastOpenEx() == FT_DEVICE_NOT_OPENED  ? " is held by another program\n"
                : driver_.LastOpenEx() == FT_DEVICE_NOT_FOUND ? " not found\n"
                                                              : " cannot be opened\n");
        return Opened::No;
    }
    // Nothing is written to a chip that may not be in bit-bang mode. A shared board's outputs are
    // someone else's too: they stay as they are.
    if (!driver_.Failed() && !device_.TakeOutputs([this] { device_.SetOutputs(0); })) {
        Err << program_ << ": board " << Printable(serial_) << " does not answer\n";
        status_ = FT_IO_ERROR;
        return Opened::No;
    }
    if (driver_.Failed()) {
        Err << program_ << ": board " << Printable(serial_) << " does not answer\n";
        status_ = FT_IO_ERROR;
        return Opened::No;
    }
    status_ = FT_OK;
    return Opened::Yes;
}

SimBoard WiredSimBoard(std::string Serial) {
    SimBoard board{std::move(Serial), "Kelvorn"};
    for (std::size_t i = 0; i < clsVostrel::OutputPins.size(); ++i)
        board.Wires.push_back({clsVostrel::OutputPins[i].Mask, clsVostrel::InputPins[i].Mask});
    return board;
}

}  // namespace kelvorn
