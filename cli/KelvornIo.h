// kelvorn-io: the Kelvorn board from scripts and the shell (list, read, watch, run). Main is the
// whole program behind main(), with its streams, driver and clock passed in so that tests run it
// in-process.
//
// Exit statuses: 0 success; 1 an expectation failed (run) or no board was found (list); 2 the
// command line, the --mqtt URL or the script is wrong, nothing opened or connected; 3 the board
// could not be found or opened, or stopped answering while in use, or with --mqtt the broker
// could not be reached or refused us; 4 a VCD trace could not be written to the end (a full
// disk), whatever the expectations said.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>

#include "cli/Script.h"
#include "d2xx/SimDriver.h"

namespace kio {

enum Status { kOk = 0, kFailed = 1, kUsage = 2, kBoard = 3, kTrace = 4 };

// Time for watch, wait and expect ... within.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Micros Now() = 0;  // monotonic
    // Sleeps Duration, or less when a stop is asked; false once one has been.
    virtual bool Sleep(Micros Duration) = 0;
    virtual bool StopAsked() = 0;
    // Waits until the file descriptor Fd has input or is at its end; false once a stop is asked.
    virtual bool Readable(int Fd) = 0;
};

// The system's monotonic clock. While it lives SIGINT and SIGTERM ask for a stop instead of
// ending the process: they are blocked, and let through only while Sleep or Readable waits, which
// they end.
class SystemClock final : public Clock {
public:
    SystemClock();
    ~SystemClock() override;  // restores the signal mask and handlers
    SystemClock(const SystemClock&) = delete;
    SystemClock& operator=(const SystemClock&) = delete;
    Micros Now() override;
    bool Sleep(Micros Duration) override;
    bool StopAsked() override;
    bool Readable(int Fd) override;

private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

struct Io {
    std::istream& In;
    std::ostream& Out;
    std::ostream& Err;
    Clock& Time;
    // The driver for the simulated boards (Sim) or for the USB bus; called once, after the
    // command line has been parsed. The driver must outlive Main.
    std::function<d2xx::Driver&(bool Sim)> MakeDriver;
    // The file descriptor behind In, or -1. With one, run reads its script from it directly, so
    // that a stop while it waits for the script (Ctrl-C at a terminal) ends the wait.
    int InFd = -1;
    // The file descriptor behind Out, or -1. When writing the trace of watch --vcd fails, a
    // reader that went away (a pipe or socket without one) ends the watch as for the lines; any
    // other failure (a full disk), and any with no descriptor, is a trace that was cut short.
    int OutFd = -1;
};

int Main(int argc, const char* const* argv, Io& Io);

}  // namespace kio
