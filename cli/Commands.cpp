#include "cli/Commands.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <istream>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "cli/Vcd.h"
#include "device/Board.h"
#include "device/Text.h"
#include "mqtt/MqttDriver.h"

namespace kio {
namespace {

using kelvorn::Board;
using kelvorn::Latin1ToUtf8;
using kelvorn::Printable;

// Board::Open's outcome as the status to exit with.
int ExitStatus(Board::Opened How) {
    switch (How) {
        case Board::Opened::Yes: return kOk;
        case Board::Opened::Ambiguous: return kUsage;
        case Board::Opened::No: break;
    }
    return kBoard;
}

constexpr std::size_t kMaxScript = 16 << 20;

constexpr int kInputs = static_cast<int>(clsVostrel::InputPins.size());

bool High(std::uint8_t Inputs, int Index) { return (Inputs >> Index & 1) != 0; }

std::string InputsText(std::uint8_t Inputs) {
    std::string text;
    for (int i = 0; i < kInputs; ++i)
        text += (i ? " in" : "in") + std::to_string(i) + (High(Inputs, i) ? "=high" : "=low");
    return text;
}

nlohmann::json InputsJson(std::uint8_t Inputs) {
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < kInputs; ++i) list.push_back(High(Inputs, i));
    return list;
}

int StoppedAnswering(const Board& B, Io& Io, const std::string& Where = "") {
    Io.Err << "kelvorn-io: board " << Printable(B.Serial()) << " stopped answering" << Where
           << '\n';
    return kBoard;
}

// A switch that failed: where the board's holder says why (a broker that refuses this user, a
// command nobody confirmed), in its words; else as a board that stopped answering.
int NotSwitched(const d2xx::Driver& Driver, Board& B, Io& Io, const std::string& Where) {
    const auto* bridged = dynamic_cast<const kmqtt::MqttDriver*>(&Driver);
    std::string why = Driver.Refused(B.Device().Handle());
    if (why.empty() && bridged) why = bridged->Unconfirmed(B.Device().Handle());
    if (why.empty()) return StoppedAnswering(B, Io, Where);
    Io.Err << "kelvorn-io: " << why << Where << '\n';
    return kBoard;
}

// Whether the descriptor behind a stream that failed has lost its reader (a pipe or socket closed
// at the other end) rather than its room.
bool ReaderGone(int Fd) {
    pollfd p{Fd, 0, 0};
    return Fd >= 0 && poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

// Ends a trace that cannot be written to the end: said on stderr, status 4 unless the board failed.
int TraceCut(Io& Io, const std::string& Where, int Status) {
    Io.Err << "kelvorn-io: the trace " << Where << " could not be written to the end\n";
    return Status == kBoard ? kBoard : kTrace;
}

std::string Milliseconds(Micros Time) { return std::to_string(Time / 1000) + " ms"; }

enum class Outcome { Met, Failed, Stopped, Silent };

// Reads the input once, or with `within` until it is at the level, the time is up or a stop is
// asked, and prints the line that says how it went.
Outcome Expect(clsVostrel& Device, const Step& Line, Io& Io) {
    const Micros start = Io.Time.Now();
    bool high = false;
    bool stopped = false;
    Micros spent = 0;
    for (;;) {
        high = High(Device.Inputs(), Line.Index);
        if (!Device.LastReadOk()) return Outcome::Silent;
        spent = Io.Time.Now() - start;
        if (high == Line.Level || spent >= Line.Time) break;  // without within, Time is 0
        stopped = !Io.Time.Sleep(std::min<Micros>(1000, Line.Time - spent));
        if (stopped) break;
    }
    const char* want = Line.Level ? "high" : "low";
    if (high == Line.Level) {
        Io.Out << "ok " << Line.Line << ": in" << Line.Index << ' ' << want;
        if (Line.Within) Io.Out << " after " << Milliseconds(spent);
    } else {
        Io.Out << (stopped ? "stopped " : "FAIL ") << Line.Line << ": in" << Line.Index
               << " expected " << want << ", read " << (high ? "high" : "low");
        if (Line.Within) Io.Out << " for " << Milliseconds(spent);
    }
    Io.Out << std::endl;
    return high == Line.Level ? Outcome::Met : stopped ? Outcome::Stopped : Outcome::Failed;
}

}  // namespace

int List(d2xx::Driver& Driver, const Options& Opt, Io& Io) {
    Board board(Driver, "kelvorn-io");
    const std::vector<std::string> serials = board.Scan(Io.Err);
    if (serials.empty()) {  // nothing on stdout, in JSON too
        const std::string why = Driver.Absent("");
        Io.Err << "kelvorn-io: " << (why.empty() ? "no Kelvorn board found" : why) << '\n';
        return kFailed;
    }
    if (Opt.Json) {
        // Boards behind a bridge are each named with the bridge that holds them.
        const auto* bridged = dynamic_cast<const kmqtt::MqttDriver*>(&Driver);
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const std::string& s : serials) {
            if (bridged)
                list.push_back(nlohmann::ordered_json{
                    {"serial", Latin1ToUtf8(s)}, {"bridge", Latin1ToUtf8(bridged->BridgeOf(s))}});
            else
                list.push_back(Latin1ToUtf8(s));
        }
        Io.Out << list.dump() << '\n';
    } else {
        for (const std::string& s : serials) Io.Out << s << '\n';
    }
    return kOk;
}

int Read(d2xx::Driver& Driver, const Options& Opt, Io& Io) {
    Board board(Driver, "kelvorn-io");
    if (const int status = ExitStatus(board.Open(Opt.Serial, Io.Err)); status != kOk) return status;
    const std::uint8_t inputs = board.Device().Inputs();
    if (!board.Device().LastReadOk()) return StoppedAnswering(board, Io);
    if (Opt.Json)
        Io.Out << nlohmann::json{{"inputs", InputsJson(inputs)}}.dump() << '\n';
    else
        Io.Out << InputsText(inputs) << '\n';
    return kOk;
}

int Watch(d2xx::Driver& Driver, const Options& Opt, Io& Io) {
    Board board(Driver, "kelvorn-io");
    if (const int status = ExitStatus(board.Open(Opt.Serial, Io.Err)); status != kOk) return status;
    std::optional<Vcd> vcd;  // writes the changes itself, as the board's driver reads them
    if (Opt.VcdTrace) board.Listen(&vcd.emplace(Io.Out, Io.Time, board.Serial(), false));
    const auto finish = [&](int Status) {
        return vcd && !vcd->End() && !ReaderGone(Io.OutFd)
                   ? TraceCut(Io, "on standard output", Status)
                   : Status;
    };
    const Micros start = Io.Time.Now();
    Micros end = INT64_MAX;
    if (Opt.Duration && __builtin_add_overflow(start, *Opt.Duration, &end)) end = INT64_MAX;
    Micros next = start;
    Micros sampled = start;  // each line's time is when its pin read began: the first is 0.000
    int last = -1;
    for (;;) {
        const std::uint8_t inputs = board.Device().Inputs();
        if (!board.Device().LastReadOk()) return finish(StoppedAnswering(board, Io));
        const Micros now = Io.Time.Now();
        if (vcd && !Io.Out) break;  // nobody reads the trace any more, or it has no room
        if (inputs != last && !vcd) {
            last = inputs;
            const Micros ms = (sampled - start) / 1000;
            if (Opt.Json) {
                Io.Out << nlohmann::ordered_json{{"time", static_cast<double>(ms) / 1000.0},
                                                 {"inputs", InputsJson(inputs)}}
                              .dump();
            } else {
                char time[32];
                std::snprintf(time, sizeof time, "%lld.%03lld ", static_cast<long long>(ms / 1000),
                              static_cast<long long>(ms % 1000));
                Io.Out << time << InputsText(inputs);
            }
            Io.Out << std::endl;
            if (!Io.Out) break;  // nobody reads any more: stop as on SIGTERM
        }
        next += Opt.Interval;
        if (next < now) next = now;  // fell behind: no burst to catch up
        if (next >= end) {
            if (end > now) Io.Time.Sleep(end - now);
            break;
        }
        if (!Io.Time.Sleep(next - now)) break;
        sampled = Io.Time.Now();
    }
    return finish(kOk);
}

int Run(const std::function<d2xx::Driver*()>& Driver, const Options& Opt, Io& Io) {
    std::string text;
    {
        std::ifstream file;
        if (Opt.Script != "-") {
            file.open(Opt.Script, std::ios::binary);
            if (!file) {
                Io.Err << "kelvorn-io: cannot read the script " << Printable(Opt.Script) << '\n';
                return kUsage;
            }
        }
        std::istream& in = Opt.Script == "-" ? Io.In : file;
        const int fd = Opt.Script == "-" ? Io.InFd : -1;
        char buffer[65536];
        bool bad = false;
        for (;;) {
            std::size_t got = 0;
            if (fd >= 0) {  // straight from the descriptor, so that a stop ends the wait for input
                if (!Io.Time.Readable(fd)) {
                    Io.Err << "kelvorn-io: stopped before line 1\n";
                    Io.Out << "expectations: 0 met, 0 failed" << std::endl;
                    return kFailed;
                }
                const ssize_t n = read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                bad = n < 0;
                got = n > 0 ? static_cast<std::size_t>(n) : 0;
            } else {
                in.read(buffer, sizeof buffer);
                bad = in.bad();
                got = static_cast<std::size_t>(in.gcount());
            }
            if (got == 0) break;
            text.append(buffer, got);
            if (text.size() > kMaxScript) {
                Io.Err << "kelvorn-io: the script is larger than 16 MiB\n";
                return kUsage;
            }
        }
        if (bad) {
            Io.Err << "kelvorn-io: cannot read the script " << Printable(Opt.Script) << '\n';
            return kUsage;
        }
    }
    const auto parsed = ParseScript(text);
    if (const auto* error = std::get_if<ParseError>(&parsed)) {
        Io.Err << "kelvorn-io: " << Printable(Opt.Script == "-" ? "stdin" : Opt.Script) << " line "
               << error->Line << ": " << error->Message << '\n';
        return kUsage;
    }

    std::ofstream trace;  // opened before the board: a file that cannot be written opens nothing
    if (Opt.VcdFile) trace.open(*Opt.VcdFile, std::ios::binary);
    if (Opt.VcdFile && !trace) {
        Io.Err << "kelvorn-io: cannot write the trace " << Printable(*Opt.VcdFile) << '\n';
        return kUsage;
    }
    d2xx::Driver* driver = Driver();
    if (driver == nullptr) return kBoard;
    Board board(*driver, "kelvorn-io");
    if (const int status = ExitStatus(board.Open(Opt.Serial, Io.Err)); status != kOk) return status;
    std::optional<Vcd> vcd;
    if (Opt.VcdFile) board.Listen(&vcd.emplace(trace, Io.Time, board.Serial(), true));
    // However the script ends, the trace ends, and says so if it could not be written.
    const auto finish = [&](int Status) {
        return vcd && !vcd->End() ? TraceCut(Io, Printable(*Opt.VcdFile), Status) : Status;
    };
    clsVostrel& device = board.Device();
    const auto& steps = std::get<std::vector<Step>>(parsed);
    int met = 0;
    int failed = 0;
    std::string stop;  // where a stop ended the script
    for (const Step& step : steps) {
        const std::string where = " (line " + std::to_string(step.Line) + ")";
        if (Io.Time.StopAsked()) {
            stop = "before line " + std::to_string(step.Line);
            break;
        }
        bool cut = false;  // by a stop
        switch (step.What) {
            case Step::Kind::Out:
                device.BitOut(static_cast<std::int16_t>(step.Index), step.Level);
                if (board.Failed()) return finish(NotSwitched(*driver, board, Io, where));
                break;
            case Step::Kind::Wait:
                cut = !Io.Time.Sleep(step.Time);
                break;
            case Step::Kind::Read: {
                const std::uint8_t inputs = device.Inputs();
                if (!device.LastReadOk()) return finish(StoppedAnswering(board, Io, where));
                Io.Out << InputsText(inputs) << std::endl;
                break;
            }
            case Step::Kind::Expect: {
                const Outcome how = Expect(device, step, Io);
                if (how == Outcome::Silent) return finish(StoppedAnswering(board, Io, where));
                met += how == Outcome::Met;
                failed += how == Outcome::Failed;
                cut = how == Outcome::Stopped;
                break;
            }
        }
        // A stop that came while the last line ran is one at that line, too.
        if (cut || (&step == &steps.back() && Io.Time.StopAsked())) {
            stop = "at line " + std::to_string(step.Line);
            break;
        }
    }
    if (!stop.empty()) Io.Err << "kelvorn-io: stopped " << stop << '\n';
    Io.Out << "expectations: " << met << " met, " << failed << " failed" << std::endl;
    return finish(failed > 0 || !stop.empty() ? kFailed : kOk);
}

}  // namespace kio
