// The board as the programs without a window hold it (kelvorn-io, kelvorn-mqtt): found by the
// panel's scan, opened as connect opens it with all outputs written off, and watched for a driver
// that stops answering.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "d2xx/SimDriver.h"
#include "d2xx/d2xx.h"
#include "device/clsVostrel.h"

namespace kelvorn {

// Forwards every call to the driver below and keeps what the commands report: the devices
// passed over because another program holds them, the description of each serial whose EEPROM
// was read, whether the device list has ended, how the last open by serial went, and whether a
// call that drives the chip failed.
class WatchedDriver final : public d2xx::Driver {
public:
    // Told of each pin read and each write that went through, in the order they happened: for a
    // trace of what the board did. Reading comes before the read, so that its time is taken
    // there, as for a line of watch; Read and Written after the call, with the pin byte.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void Reading() = 0;
        virtual void Read(std::uint8_t Pins) = 0;
        virtual void Written(std::uint8_t Pins) = 0;
    };

    explicit WatchedDriver(d2xx::Driver& Below) : below_(Below) {}

    // The listener (none: nullptr) must outlive every read and write made while it is set.
    void Listen(Listener* To) { listener_ = To; }

    // While on, the device list ends at the first index found past its end, so that repeated
    // scans stop there instead of wrapping to the first board again.
    void EndListOnce(bool On) {
        endOnce_ = On;
        end_ = -1;
    }
    bool EndReached() const { return end_ >= 0; }
    const std::set<std::int32_t>& Busy() const { return busy_; }
    // Serial -> description, from every EEPROM read that returned both.
    const std::map<std::string, std::string>& Descriptions() const { return descriptions_; }
    d2xx::FT_STATUS LastOpenEx() const { return lastOpenEx_; }
    bool Failed() const { return failed_; }

    bool Shared() const override { return below_.Shared(); }
    d2xx::FT_STATUS Open(std::int32_t Index, d2xx::FT_HANDLE* Handle) override;
    d2xx::FT_STATUS OpenEx(const char* Arg, std::uint32_t Flags, d2xx::FT_HANDLE* Handle) override;
    d2xx::FT_STATUS Close(d2xx::FT_HANDLE Handle) override { return below_.Close(Handle); }
    d2xx::FT_STATUS EE_Read(d2xx::FT_HANDLE Handle, d2xx::FT_PROGRAM_DATA* Data) override;
    d2xx::FT_STATUS SetBitMode(d2xx::FT_HANDLE Handle, std::uint8_t Mask,
                               std::uint8_t Mode) override {
        return Check(below_.SetBitMode(Handle, Mask, Mode));
    }
    d2xx::FT_STATUS SetBaudRate(d2xx::FT_HANDLE Handle, std::uint32_t BaudRate) override {
        return Check(below_.SetBaudRate(Handle, BaudRate));
    }
    d2xx::FT_STATUS SetLatencyTimer(d2xx::FT_HANDLE Handle, std::uint8_t Timer) override {
        return Check(below_.SetLatencyTimer(Handle, Timer));
    }
    d2xx::FT_STATUS Write(d2xx::FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                          std::uint32_t* BytesWritten) override;
    d2xx::FT_STATUS GetBitMode(d2xx::FT_HANDLE Handle, std::uint8_t* Pins) override;
    d2xx::FT_STATUS Pulse(d2xx::FT_HANDLE Handle, int Output, std::uint32_t Millis) override;
    std::string Absent(const std::string& Serial) const override { return below_.Absent(Serial); }
    std::string Refused(d2xx::FT_HANDLE Handle) const override { return below_.Refused(Handle); }

private:
    d2xx::FT_STATUS Check(d2xx::FT_STATUS Status) {
        if (Status != d2xx::FT_OK) failed_ = true;
        return Status;
    }

    d2xx::Driver& below_;
    std::set<std::int32_t> busy_;
    std::map<std::string, std::string> descriptions_;
    d2xx::FT_STATUS lastOpenEx_ = d2xx::FT_OK;
    bool failed_ = false;
    bool endOnce_ = false;
    std::int32_t end_ = -1;
    Listener* listener_ = nullptr;
};

// Messages go to the stream given, one line each, starting with the program's name.
class Board {
public:
    Board(d2xx::Driver& Driver, std::string_view Program) : driver_(Driver), program_(Program) {}

    // The serials of the attached boards in the order Read finds them; each device passed over
    // because another program holds it is named on Err. A board with an empty serial, which
    // cannot be opened by it, is stepped past as Read steps past it.
    std::vector<std::string> Scan(std::ostream& Err);
    // How many boards with an empty serial the last Scan stepped past.
    int Unnamed() const { return unnamed_; }

    enum class Opened {
        Yes,
        Ambiguous,  // no serial given and several boards attached; they are named on Err
        No,         // not found, no Kelvorn board, held by another program, or not answering;
                    // said on Err
    };
    // Opens the board with this serial, or the one attached when Serial is empty, and writes all
    // outputs off, unless the board is shared: then its outputs are read into the latch. Either way the board is one the scan found: an FTDI device with that serial
    // but another description is someone else's (a USB-serial adapter, say) and is refused before
    // anything is sent to it but the scan's EEPROM reads. A board whose bit-mode settings or
    // all-off write fail is not used.
    Opened Open(const std::string& Serial, std::ostream& Err);
    // For callers that report a failed Open in their own words. The last Open's outcome as a
    // driver status: FT_OK for Yes and for Ambiguous; FT_DEVICE_NOT_FOUND for a board that is
    // absent or not a Kelvorn board; what OpenEx returned when the board could not be opened
    // (FT_DEVICE_NOT_OPENED: held by another program); FT_IO_ERROR when it did not answer.
    d2xx::FT_STATUS LastStatus() const { return status_; }
    // The serials its scan found (for Ambiguous, the boards to pick from), and how many devices
    // that scan passed over because another program holds them.
    const std::vector<std::string>& Found() const { return found_; }
    std::size_t PassedOver() const { return driver_.Busy().size(); }

    clsVostrel& Device() { return device_; }
    // Every pin read and write from now on goes to To as well (nullptr: to none).
    void Listen(WatchedDriver::Listener* To) { driver_.Listen(To); }
    const std::string& Serial() const { return serial_; }
    // True once a call that drives the chip failed: the board no longer answers.
    bool Failed() const { return driver_.Failed(); }
    // A pulse of output Output (0..2) timed by the chip's holder (see d2xx::Driver::Pulse), the
    // latch updated: FT_OK once the output is off again; FT_NOT_SUPPORTED when the caller must
    // time it itself (then nothing was sent); any other status: the board stopped answering.
    d2xx::FT_STATUS Pulse(int Output, std::uint32_t Millis);

private:
    WatchedDriver driver_;
    std::string program_;
    clsVostrel device_{driver_};  // after the driver: closes the board through it
    std::string serial_;
    int unnamed_ = 0;
    d2xx::FT_STATUS status_ = d2xx::FT_OK;
    std::vector<std::string> found_;
};

// The simulated board of the programs' --sim: outputs 0..2 wired to inputs 0..2, inputs 3 and 4
// open.
d2xx::SimBoard WiredSimBoard(std::string Serial = "A1B2C3");

}  // namespace kelvorn
