// What the Python module kelvorn needs below Python: drivers that several threads may call, and
// one open board with its waits. Nothing here knows Python; the bindings (module.cpp) release the
// GIL around every call that waits or touches the driver, and pass in how to tell that a wait
// must end (Ctrl-C).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "d2xx/SimDriver.h"
#include "d2xx/d2xx.h"
#include "device/Board.h"
#include "mqtt/MqttDriver.h"

namespace kpy {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as Python's time.monotonic()

// A call that needs the driver below after Drop.
struct DriverClosed : std::runtime_error {
    DriverClosed() : std::runtime_error("I/O operation on a closed driver") {}
};

// Serialises the calls into the driver below when it is made for one thread: each call holds the
// lock for its own length only, so one board is read while another waits. A driver made for
// several threads (the boards behind bridges) is called as it is, by any number at once. Drop()
// lets the driver below go (a closed connection): every call after it fails with FT_IO_ERROR.
class LockedDriver final : public d2xx::Driver {
public:
    explicit LockedDriver(std::unique_ptr<d2xx::Driver> Below, bool ThreadSafe = false)
        : below_(std::move(Below)), threadSafe_(ThreadSafe), shared_(below_->Shared()) {}

    // Runs Fn(driver below) with the lock held: for what the seam does not cover. After Drop,
    // DriverClosed.
    template <class Fn>
    auto With(Fn&& F) {
        return Locked([&] {
            if (!below_) throw DriverClosed();
            return F(*below_);
        });
    }
    // Waits for the calls inside the driver below to return, then destroys it. Idempotent.
    void Drop();

    bool Shared() const override { return shared_; }

    d2xx::FT_STATUS Open(std::int32_t Index, d2xx::FT_HANDLE* Handle) override;
    d2xx::FT_STATUS OpenEx(const char* Arg, std::uint32_t Flags, d2xx::FT_HANDLE* Handle) override;
    d2xx::FT_STATUS Close(d2xx::FT_HANDLE Handle) override;
    d2xx::FT_STATUS EE_Read(d2xx::FT_HANDLE Handle, d2xx::FT_PROGRAM_DATA* Data) override;
    d2xx::FT_STATUS SetBitMode(d2xx::FT_HANDLE Handle, std::uint8_t Mask,
                               std::uint8_t Mode) override;
    d2xx::FT_STATUS SetBaudRate(d2xx::FT_HANDLE Handle, std::uint32_t BaudRate) override;
    d2xx::FT_STATUS SetLatencyTimer(d2xx::FT_HANDLE Handle, std::uint8_t Timer) override;
    d2xx::FT_STATUS Write(d2xx::FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                          std::uint32_t* BytesWritten) override;
    d2xx::FT_STATUS GetBitMode(d2xx::FT_HANDLE Handle, std::uint8_t* Pins) override;
    d2xx::FT_STATUS Pulse(d2xx::FT_HANDLE Handle, int Output, std::uint32_t Millis) override;
    std::string Absent(const std::string& Serial) const override;
    std::string Refused(d2xx::FT_HANDLE Handle) const override;

private:
    template <class Fn>
    auto Locked(Fn&& F) const {
        if (threadSafe_) {
            const std::shared_lock lock(mutex_);
            return F();
        }
        const std::unique_lock lock(mutex_);
        return F();
    }
    // Fn(driver below); FT_IO_ERROR once dropped.
    template <class Fn>
    d2xx::FT_STATUS Call(Fn&& F) {
        return Locked([&] { return below_ ? F(*below_) : d2xx::FT_IO_ERROR; });
    }

    mutable std::shared_mutex mutex_;
    std::unique_ptr<d2xx::Driver> below_;
    const bool threadSafe_;
    const bool shared_;
};

// The USB driver (libftdi), one per process, made at the first call.
std::shared_ptr<LockedDriver> UsbDriver();

// The boards behind kelvorn-mqtt bridges, through one broker, as --mqtt URL reaches them.
class Bridge {
public:
    // The broker of Url, with the password file and CA file ("": none); std::invalid_argument
    // with the line that says why when any of it is unusable. Connects nothing.
    Bridge(const std::string& Url, const std::string& PasswordFile, const std::string& CaFile);
    // Connects and waits for the boards' state: nothing, or the line that says why not.
    std::optional<std::string> Start();
    const std::shared_ptr<LockedDriver>& Driver() const { return driver_; }
    // The name of the bridge that holds the board with that serial; nothing when none is named.
    std::optional<std::string> BridgeOf(const std::string& Serial);
    // Why the broker is out of reach, in Start's words; "" while connected. A board not found
    // then is not known to be absent, and the package says which of the two it is.
    std::string Unreachable();
    // Disconnects from the broker; the driver's calls fail from then on. Idempotent.
    void Close() { driver_->Drop(); }

private:
    std::shared_ptr<LockedDriver> driver_;
};

// Simulated boards, each known by its serial.
class Simulator {
public:
    Simulator();
    const std::shared_ptr<LockedDriver>& Driver() const { return driver_; }
    // Plugs in a board with description "Kelvorn"; wired as the programs' --sim. A serial
    // already added is std::invalid_argument.
    void Add(const std::string& Serial, bool Wired);
    // Input Index (0..4) held high or pulled low from outside; std::out_of_range otherwise.
    void SetInput(const std::string& Serial, int Index, bool High);
    void Unplug(const std::string& Serial);
    void Plug(const std::string& Serial);
    void Hold(const std::string& Serial, bool Held);

private:
    // The device with that serial, or std::invalid_argument.
    d2xx::SimDriver::DeviceId Find(const d2xx::SimDriver& Sim, const std::string& Serial) const;

    d2xx::SimDriver* sim_;  // owned by driver_
    std::shared_ptr<LockedDriver> driver_;
};

// The serials of the boards attached, in Read's order.
std::vector<std::string> Scan(LockedDriver& Driver);

// A call on a board that was closed by close().
struct Closed : std::logic_error {
    Closed() : std::logic_error("I/O operation on closed board") {}
};
// A call on a board that stopped answering; it has been closed. Every later call says so again.
struct Disconnected : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A switch that the driver refused for this user (Driver::Refused says why, and that is the
// line): the board still answers and stays open, its outputs as it reports them.
struct NotAllowed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Asked after every pause of a wait: true ends the wait at once.
using Interrupted = std::function<bool()>;

// One open board, as kelvorn::Board opens it. Every member may be called from any thread; each
// driver call is made with the board's lock held, never a pause.
class OpenBoard {
public:
    struct Opened;
    // Opens the board with that serial, or the one attached when Serial is empty.
    static Opened Open(std::shared_ptr<LockedDriver> Driver, const std::string& Serial);

    explicit OpenBoard(std::shared_ptr<LockedDriver> Driver);
    ~OpenBoard();

    std::string Serial() const { return serial_; }
    // The five inputs, bit N set while input N is high: one pin read.
    std::uint8_t Read();
    // The outputs, bit N set while output N is on: the latch, with no driver call; of a shared
    // board (behind a bridge), what it reports now, without traffic.
    std::uint8_t Outputs();
    // Writes the latch with output Index switched; an index outside 0..2 switches nothing (the
    // package checks indices before they come here).
    void SetOutput(int Index, bool On);
    // Bit N of On: output N on. One write.
    void SetOutputs(std::uint8_t On);
    // Switches output Index (0..2) the other way: of a shared board, from what it reports now.
    void Toggle(int Index);
    // Whether the board still answers: one pin read. One that does not is lost, as by a call
    // that found it silent, but nothing is thrown; a closed board is not alive.
    bool Alive();

    static constexpr auto kPoll = std::chrono::milliseconds(10);
    // Output Index on, Length seconds, then off; off also when Stop ends the pause. False when
    // Stop ended it. A driver that times a pulse itself (a bridge; from 1 ms to kLongestTimed)
    // is asked to, so that the output goes off even if this process dies meanwhile: the call
    // returns once the board reports it off again.
    bool Pulse(int Index, double Length, const Interrupted& Stop);
    static constexpr std::uint32_t kLongestTimed = 60000;  // ms, the bridge's longest
    enum class Waited { Met, TimedOut, Stopped };
    // Reads the pins every kPoll until input Index (0..4, else std::out_of_range) is at High or
    // Timeout seconds have passed; the last read at the end of the time.
    Waited WaitFor(int Index, bool High, double Timeout, const Interrupted& Stop);
    struct Sample {
        double Time;  // seconds on the monotonic clock when the read that saw it began
        std::uint8_t Inputs;
    };
    // Reads the pins every kPoll until they differ from Last: that sample. Nothing when Timeout
    // seconds (infinity: never) pass without a change, or Stopped set when Stop ended the wait.
    std::optional<Sample> NextChange(std::uint8_t Last, double Timeout, const Interrupted& Stop,
                                     bool* Stopped);
    // Closes the board without writing to it; later calls are Closed. Idempotent.
    void Close();

private:
    // The open board, or Closed / Disconnected. Called with the lock held.
    kelvorn::Board& Live();
    // The board stopped answering: closes it and throws Disconnected.
    [[noreturn]] void Lose();
    // The open board, or NotAllowed when the driver has refused this user a switch of it, so
    // that nothing more is sent that the broker would refuse again.
    kelvorn::Board& Switchable();
    // A switch failed: NotAllowed when the driver refused it, else Lose().
    [[noreturn]] void Unswitched();
    std::uint8_t ReadLocked();
    // The pulse timed by the driver, waited for on another thread so that Stop ends the wait at
    // once; nothing when the driver cannot time it.
    std::optional<bool> TimedPulse(int Index, std::uint32_t Millis, const Interrupted& Stop);
    // Sleeps until Until or for one poll, whichever comes first; then asks Stop.
    static bool Pause(Clock::time_point Until, const Interrupted& Stop);

    std::mutex mutex_;
    std::shared_ptr<LockedDriver> driver_;
    std::unique_ptr<kelvorn::Board> board_;  // null once closed
    std::string serial_;
    bool lost_ = false;
};

struct OpenBoard::Opened {
    std::unique_ptr<OpenBoard> Board;  // null when it could not be opened
    d2xx::FT_STATUS Status = d2xx::FT_OK;  // kelvorn::Board::LastStatus
    bool Ambiguous = false;
    std::vector<std::string> Lines;  // what kelvorn::Board said, without its program name
    std::vector<std::string> Found;
    std::size_t PassedOver = 0;
};

// Seconds as a duration; infinity and anything beyond a century as a century.
Clock::duration Seconds(double S);

}  // namespace kpy
