// kelvorn-io in-process on simulated boards, with a clock that moves only when the program
// sleeps: what a script author reads on stdout and stderr, the exit status, how long it took and
// what the board saw. Each row of a table is one run of the program.
#include "cli/KelvornIo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "Forwarding.h"
#include "device/Board.h"

using d2xx::FT_HANDLE;
using d2xx::FT_STATUS;
using kio::Micros;
using testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr Micros kNever = INT64_MAX;
const std::string kHigh = "in0=high in1=high in2=high in3=high in4=high\n";
const std::string kNone = "expectations: 0 met, 0 failed\n";

// Time moves only while the program sleeps. A stop (SIGINT, SIGTERM) comes at stopAt and ends
// the sleep it falls in. A program that would sleep on for ever is ended with an exception.
class FakeClock final : public kio::Clock {
public:
    Micros now = 0;
    Micros stopAt = kNever;
    std::function<void(Micros)> onSleep = [](Micros) {};
    Micros Now() override { return now; }
    bool Sleep(Micros Duration) override {
        const bool stopped = Duration >= stopAt - now;
        if (++sleeps > 1000000) throw std::runtime_error("sleeps on and on");
        now = stopped ? std::max(now, stopAt) : now + Duration;
        onSleep(now);
        return !stopped;
    }
    bool StopAsked() override { return now >= stopAt; }
    bool Readable(int) override { return !StopAsked(); }  // In has no descriptor here
    int sleeps = 0;
};

// The simulated boards, where the calls named `failing` fail with `failure` once `passing` of
// them have passed, and a hook runs before each pin read.
class Faulty final : public d2xx_test::Forwarding {
public:
    using Forwarding::Forwarding;
    std::string failing;
    int passing = 0;
    FT_STATUS failure = d2xx::FT_IO_ERROR;
    std::function<void()> onRead = [] {};
    FT_STATUS GetBitMode(FT_HANDLE H, std::uint8_t* P) override {
        onRead();
        return Forwarding::GetBitMode(H, P);
    }

private:
    FT_STATUS Fault(const char* Call) override {
        return failing == Call && passing-- <= 0 ? failure : d2xx::FT_OK;
    }
};

// One run: the wired board A1B2C3 (outputs 0..2 pull inputs 0..2 low), the clock, the streams.
struct World {
    d2xx::SimDriver sim;
    d2xx::SimDriver::DeviceId board = sim.Add(kelvorn::WiredSimBoard());
    Faulty driver{sim};
    FakeClock clock;
    std::istringstream in;
    std::ostringstream out, err;
    int drivers = 0;  // how often the program asked for the driver
    kio::Io io{in, out, err, clock, [this](bool) -> d2xx::Driver& {
                   ++drivers;
                   return driver;
               }};
    int Run(std::vector<const char*> Args, const std::string& Stdin = "") {
        in.str(Stdin);
        Args.insert(Args.begin(), "kelvorn-io");
        return kio::Main(static_cast<int>(Args.size()), Args.data(), io);
    }
};

using Hook = std::function<void(World&)>;
Hook Fail(const char* Call, int Passing = 0, FT_STATUS Failure = d2xx::FT_IO_ERROR) {
    return [=](World& W) {
        W.driver.failing = Call, W.driver.passing = Passing, W.driver.failure = Failure;
    };
}
Hook StopAt(Micros At) {
    return [=](World& W) { W.clock.stopAt = At; };
}
Hook StopAtRead() {
    return [](World& W) { W.driver.onRead = [&W] { W.clock.stopAt = W.clock.now; }; };
}
Hook Busy() {
    return [](World& W) { W.sim.SetBusy(W.board, true); };
}
Hook Add(const char* Serial, const char* Description = "Kelvorn", bool Busy = false) {
    return [=](World& W) { W.sim.SetBusy(W.sim.Add({Serial, Description}), Busy); };
}
// Checks what the board (and device 1) saw, and how often the board's pins were read.
Hook Wrote(Bytes Board, Bytes Second = {}, int Reads = -1) {
    return [=](World& W) {
        EXPECT_EQ(W.sim.Written(W.board), Board);
        if (Reads >= 0) {
            EXPECT_EQ(W.sim.PinReads(W.board), std::uint64_t(Reads));
        }
        if (!Second.empty()) {
            EXPECT_EQ(W.sim.Written(1), Second);
        }
    };
}

struct Case {
    std::string Script;  // on stdin
    testing::Matcher<const std::string&> Out;
    std::string Err;
    int Status;
    Micros Time = 0;  // on the clock when the program ends
    Hook Before = nullptr;
    Hook Then = nullptr;
    std::vector<const char*> Args = {"--sim", "run"};
};

TEST(KelvornIo, EachScriptAndCommandLineGivesItsOutputStatusTimeAndBytes) {
    const std::string x(1 << 20, 'x');
    const std::string usage =
        "kelvorn-io: stdin line 1: expected 'expect inN high|low [within DURATION]'\n";
    const std::string help = " (see kelvorn-io --help)\n";
    const std::string busy = "kelvorn-io: FTDI device 0 is held by another program: passed over\n";
    const std::string mute = "kelvorn-io: board A1B2C3 does not answer\n";
    const std::string gone = "kelvorn-io: board A1B2C3 stopped answering";
    const char* odd = "Q\"\\\x01\xE9";
    const std::string longest =
        "FT232R USB UART of rig 7: the power relays on bench 3, left rack";  // 64 bytes
    const std::string full = "kelvorn-io: the trace /dev/full could not be written to the end\n";
    const std::vector<const char*> toFull = {"--sim", "run", "--vcd", "/dev/full"};
    std::string fleet = "A1B2C3\n";  // a fleet behind bridges lists as long: 300 boards
    for (int i = 1; i < 300; ++i) fleet += "K" + std::to_string(1000 + i) + "\n";
    const Hook addFleet = [](World& W) {
        for (int i = 1; i < 300; ++i) W.sim.Add({"K" + std::to_string(1000 + i), "Kelvorn"});
    };
    const std::string inputWires =
        "$timescale 1 us $end\n$scope module kelvorn $end\n$var wire 1 ! in0_D6 $end\n"
        "$var wire 1 \" in1_D3 $end\n$var wire 1 # in2_D5 $end\n$var wire 1 $ in3_D7 $end\n"
        "$var wire 1 % in4_D1 $end\n$upscope $end\n$enddefinitions $end\n";
    const Hook in3LowAt3ms = [](World& W) {
        W.clock.onSleep = [&W](Micros Now) {
            if (Now >= 3000) W.sim.SetInputLevels(W.board, 0x7F);
        };
    };
    // clang-format off
    const Case cases[] = {
        {"# wiring test\r\nout 0 on\r\n\r\nwait 20ms\nexpect in0 low\nout 2 on\nread\nexpect in3 high within 1.5s\nout 0 off\n",
         "ok 5: in0 low\nin0=low in1=high in2=low in3=high in4=high\nok 8: in3 high after 0 ms\nexpectations: 2 met, 0 failed\n",
         "", 0, 20000, nullptr, Wrote({0x15, 0x14, 0x10, 0x11}, {}, 3)},
        {"wait 1.5s\nwait 0.25ms\n#comment\n\t# indented\nout\t1 on\nexpect in1 low\n",
         "ok 6: in1 low\nexpectations: 1 met, 0 failed\n", "", 0, 1500250, nullptr, Wrote({0x15, 0x05}), {"run", "-", "--sim"}},
        // Read about every millisecond: in3 goes low 3 ms in.
        {"expect in3 low within 100ms\nexpect in4 low within 50ms\nexpect in1 low\n",
         "ok 1: in3 low after 3 ms\nFAIL 2: in4 expected low, read high for 50 ms\nFAIL 3: in1 expected low, read high\n"
         "expectations: 1 met, 2 failed\n", "", 1, 53000, in3LowAt3ms},
        // Stops: in expect ... within, in the last line's wait with all met so far, before the
        // first line, in a read before the next line, in the last line's read.
        {"expect in3 low within 1s\nread\n", "stopped 1: in3 expected low, read high for 4 ms\n" + kNone,
         "kelvorn-io: stopped at line 1\n", 1, 5000, StopAt(5000)},
        {"expect in3 high\nwait 5s\n", "ok 1: in3 high\nexpectations: 1 met, 0 failed\n",
         "kelvorn-io: stopped at line 2\n", 1, 1000000, StopAt(1000000)},
        {"wait 5s\nread\n", kNone, "kelvorn-io: stopped at line 1\n", 1, 1000000, StopAt(1000000)},
        {"out 0 on\n", kNone, "kelvorn-io: stopped before line 1\n", 1, 0, StopAt(0), Wrote({0x15})},
        {"read\nout 0 on\n", kHigh + kNone, "kelvorn-io: stopped before line 2\n", 1, 0, StopAtRead(), Wrote({0x15})},
        {"out 0 on\nread\n", "in0=low in1=high in2=high in3=high in4=high\n" + kNone,
         "kelvorn-io: stopped at line 2\n", 1, 0, StopAtRead()},
        // The board stops answering: the run ends there, whatever the expectations said.
        {"out 0 on\nread\n", "", gone + " (line 1)\n", 3, 0, Fail("Write", 1), Wrote({0x15})},
        {"expect in3 high\nwait 1ms\nexpect in3 high\n", "ok 1: in3 high\n", gone + " (line 3)\n", 3, 1000, Fail("GetBitMode", 1)},
        {"read\n", "", gone + " (line 1)\n", 3, 0, Fail("GetBitMode")},
        // Script errors name their line, quote at most 40 bytes escaped, and open nothing.
        {"out 0 on\nfrobnicate\n", "", "kelvorn-io: stdin line 2: unknown command 'frobnicate'\n", 2},
        {"# outputs\n\nout 3 on\n", "", "kelvorn-io: stdin line 3: no output '3' (0 to 2)\n", 2},
        {"out 4294967296 on\n", "", "kelvorn-io: stdin line 1: no output '4294967296' (0 to 2)\n", 2},
        {"out 0 on off\n", "", "kelvorn-io: stdin line 1: expected 'out N on|off'\n", 2},
        {"out 0 o\x7Fn\n", "", "kelvorn-io: stdin line 1: expected on or off, not 'o\\x7Fn'\n", 2},
        {"expect in5 high\n", "", "kelvorn-io: stdin line 1: no input 'in5' (in0 to in4)\n", 2},
        {"expect ab2 high\n", "", "kelvorn-io: stdin line 1: no input 'ab2' (in0 to in4)\n", 2},
        {"expect in0 maybe\n", "", "kelvorn-io: stdin line 1: expected high or low, not 'maybe'\n", 2},
        {"expect in0 low after 20ms\n", "", usage, 2},
        {"expect in0 low within 20ms too\n", "", usage, 2},
        {"read\r\nexpect in0 low within 1.5\n", "", "kelvorn-io: stdin line 2: bad duration '1.5' (a number with ms or s)\n", 2},
        {"wait\n", "", "kelvorn-io: stdin line 1: expected 'wait DURATION'\n", 2},
        {"read 1\n", "", "kelvorn-io: stdin line 1: 'read' takes nothing\n", 2},
        {std::string("read\nout 0\0 on\n", 13), "", "kelvorn-io: stdin line 2: NUL byte\n", 2},
        {"read\n" + x + "\n", "", "kelvorn-io: stdin line 2: unknown command '" + x.substr(0, 40) + "...'\n", 2},
        {x.substr(0, 40), "", "kelvorn-io: stdin line 1: unknown command '" + x.substr(0, 40) + "'\n", 2},
        {x.substr(0, 41), "", "kelvorn-io: stdin line 1: unknown command '" + x.substr(0, 40) + "...'\n", 2},
        {std::string((16 << 20) + 1, '#'), "", "kelvorn-io: the script is larger than 16 MiB\n", 2},
        {"", "", "kelvorn-io: cannot read the script /nonexistent/script\n", 2, 0, {}, {}, {"--sim", "run", "/nonexistent/script"}},
        // The command line: options before or after the command, answers on stdout.
        {"", "kelvorn-io " KELVORN_VERSION "\n", "", 0, 0, {}, {}, {"--version"}},
        {"", testing::StartsWith("The Kelvorn USB I/O board from scripts and the shell.\n"), "", 0, 0, {}, {}, {"--help"}},
        {"", "", "kelvorn-io: unknown option '--bogus'" + help, 2, 0, {}, {}, {"--bogus"}},
        {"", "", "kelvorn-io: unknown option '--bogus'" + help, 2, 0, {}, {}, {"read", "--bogus"}},
        {"", "", "kelvorn-io: unknown option '--interval'" + help, 2, 0, {}, {}, {"--sim", "read", "--interval", "5"}},
        {"", "", "kelvorn-io: unknown command 'raed': list, read, watch or run" + help, 2, 0, {}, {}, {"raed"}},
        {"", "", "kelvorn-io: unexpected argument 'extra'" + help, 2, 0, {}, {}, {"read", "extra"}},
        {"", "", "kelvorn-io: --interval: Value 0 not in range 1 to 86400000" + help, 2, 0, {}, {}, {"watch", "--interval", "0"}},
        {"", "", "kelvorn-io: --interval: Value 86400001 not in range 1 to 86400000" + help, 2, 0, {}, {}, {"watch", "--interval", "86400001"}},
        {"", "A1B2C3\n", "", 0, 0, {}, {}, {"list", "--sim"}},
        {"", fleet, "", 0, 0, addFleet, {}, {"list"}},
        {"", kHigh, "", 0, 0, {}, Wrote({0x15}), {"read", "--sim"}},
        {"", "{\"inputs\":[true,true,true,true,true]}\n", "", 0, 0, {}, {}, {"read", "--json", "-s", "A1B2C3"}},
        // Boards held by another program, two boards, none by that serial, someone else's.
        {"", "", busy + "kelvorn-io: board A1B2C3 not found\n", 3, 0, Busy(), {}, {"-s", "A1B2C3", "read"}},
        {"", "", busy + "kelvorn-io: no Kelvorn board found\n", 1, 0, Busy(), {}, {"list", "--json"}},
        {"", "", busy + "kelvorn-io: no Kelvorn board found\n", 3, 0, Busy(), {}, {"read"}},
        {"", "", "kelvorn-io: 2 Kelvorn boards attached, pick one with --serial: A1B2C3 D4E5F6\n", 2, 0, Add("D4E5F6"), {}, {"read"}},
        {"", "", "kelvorn-io: 2 Kelvorn boards attached, pick one with --serial: A1B2C3 Q\"\\x5C\\x01\\xE9\n", 2, 0, Add(odd), {}, {"read"}},
        {"", kHigh, "", 0, 0, Add("D4E5F6"), Wrote({}, {0x15}), {"read", "-s", "D4E5F6"}},
        {"", "", "kelvorn-io: board NOPE not found\n", 3, 0, {}, {}, {"read", "-s", "NOPE"}},
        {"", "", "kelvorn-io: FTDI device FT9ZX01 is not a Kelvorn board (its description is \"FT232R USB UART\"): left alone\n",
         3, 0, Add("FT9ZX01", "FT232R USB UART"), [](World& W) { EXPECT_TRUE(W.sim.Written(1).empty() && W.sim.Settings(1).BaudRate == 0); },
         {"read", "-s", "FT9ZX01"}},
        {"", "", "kelvorn-io: FTDI device FT9ZX02 is not a Kelvorn board (its description is \"" + longest + "\"): left alone\n",
         3, 0, Add("FT9ZX02", longest.c_str()), {}, {"read", "-s", "FT9ZX02"}},
        // A board with an empty serial is stepped past, as the panel's Read steps past it.
        {"", "D4E5F6\n", "", 0, 0, [](World& W) { W.sim.Unplug(W.board), Add("")(W), Add("D4E5F6")(W); }, {}, {"list"}},
        {"", "[\"A1B2C3\",\"Q\\\"\\\\\\u0001\xC3\xA9\"]\n", "", 0, 0, Add(odd), {}, {"list", "--json"}},
        {"", "", "kelvorn-io: FTDI device 1 is held by another program: passed over\nkelvorn-io: board Q\"\\x5C\\x01\\xE9 not found\n",
         3, 0, Add(odd, "Kelvorn", true), {}, {"read", "-s", odd}},
        // A board that fails as it is opened is not used.
        {"", "", "kelvorn-io: board A1B2C3 cannot be opened\n", 3, 0, Fail("OpenEx"), {}, {"read"}},
        {"", "", "kelvorn-io: board A1B2C3 is held by another program\n", 3, 0, Fail("OpenEx", 0, d2xx::FT_DEVICE_NOT_OPENED), {}, {"read"}},
        {"", "", "kelvorn-io: board A1B2C3 not found\n", 3, 0, Fail("OpenEx", 0, d2xx::FT_DEVICE_NOT_FOUND), {}, {"read"}},
        {"", "", mute, 3, 0, Fail("SetBitMode"), Wrote({}), {"read"}},
        {"", "", mute, 3, 0, Fail("SetBaudRate"), Wrote({}), {"read"}},
        {"", "", mute, 3, 0, Fail("SetLatencyTimer"), Wrote({}), {"read"}},
        {"", "", mute, 3, 0, Fail("Write"), [](World& W) { EXPECT_EQ(W.sim.PinReads(W.board), 0u); }, {"read"}},
        {"", "", gone + "\n", 3, 0, Fail("GetBitMode"), {}, {"read"}},
        {"", "", gone + "\n", 3, 0, Fail("GetBitMode"), {}, {"watch"}},
        // A trace whose first read fails still declares every wire, its value unknown.
        {"", "$version kelvorn-io " KELVORN_VERSION " $end\n$comment board A1B2C3 $end\n" + inputWires +
         "#0\n$dumpvars\nx!\nx\"\nx#\nx$\nx%\n$end\n", gone + "\n", 3, 0, Fail("GetBitMode"), {}, {"watch", "--vcd"}},
        // A trace that cannot be written to the end (a full disk) fails the run, whatever the
        // expectations said; a board that stops answering still has its own status.
        {"read\n", kHigh + kNone, full, 4, 0, {}, {}, toFull},
        {"expect in4 low\n", "FAIL 1: in4 expected low, read high\nexpectations: 0 met, 1 failed\n", full, 4, 0, {}, {}, toFull},
        {"wait 2s\n", kNone, "kelvorn-io: stopped at line 1\n" + full, 4, 1000, StopAt(1000), {}, toFull},
        {"read\n", "", gone + " (line 1)\n" + full, 3, 0, Fail("GetBitMode"), {}, toFull},
        // watch: stopped at once; a duration to the end of time, late on the clock.
        {"", "0.000 " + kHigh, "", 0, 50000, StopAt(50000), {}, {"watch"}},
        {"", "0.000 " + kHigh, "", 0, (Micros{1} << 62) + 100000000,
         [](World& W) { W.clock.now = Micros{1} << 62, W.clock.stopAt = W.clock.now + 100000000; }, {},
         {"watch", "--duration", "9223372036854", "--interval", "86400000"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Args) + " " + c.Script.substr(0, 80));
        World w;
        if (c.Before) c.Before(w);
        EXPECT_EQ(w.Run(c.Args, c.Script), c.Status);
        EXPECT_THAT(w.out.str(), c.Out);
        EXPECT_EQ(w.err.str(), c.Err);
        EXPECT_EQ(w.clock.now, c.Time);
        if (c.Status == kio::kUsage && c.Err.find("attached") == std::string::npos) {
            EXPECT_EQ(w.drivers, 0);  // nothing opened
        }
        if (c.Then) c.Then(w);
        EXPECT_EQ(w.sim.OpenHandles(), 0);
    }
}

// A script's durations, and watch's, which also takes plain seconds: microseconds, -1 when
// refused (status 2); watch is not run to the end of time.
TEST(KelvornIo, DurationsInMicroseconds) {
    const struct {
        const char* Text;
        Micros Script, Watch;
    } durations[] = {
        // clang-format off
        {"20ms", 20000, 20000}, {"1.5s", 1500000, 1500000}, {"0.25ms", 250, 250}, {"0s", 0, 0},
        {"007ms", 7000, 7000}, {"1.0000009s", 1000000, 1000000}, {"0.0009ms", 0, 0},
        {"2.5", -1, 2500000}, {"3", -1, 3000000}, {"5m", -1, -1}, {"1h", -1, -1}, {"ms", -1, -1},
        {"", -1, -1}, {".5s", -1, -1}, {"1.s", -1, -1}, {"1e3ms", -1, -1}, {"+1s", -1, -1},
        {"-1s", -1, -1}, {"1.-5s", -1, -1}, {"1..5s", -1, -1}, {" 1s", -1, -1}, {"nan", -1, -1},
        {"9223372036854.775807s", INT64_MAX, kNever}, {"9223372036854.775808s", -1, -1},
        {"9223372036854.9s", -1, -1}, {"9223372036855", -1, -1}, {"20", -1, 20000000},
        {"9223372036854775807ms", -1, -1}, {"9223372036854775808ms", -1, -1},
        // clang-format on
    };
    for (const auto& d : durations) {
        SCOPED_TRACE(d.Text);
        EXPECT_EQ(kio::ParseDuration(d.Text).value_or(-1), d.Script);
        if (d.Watch == kNever) continue;
        World w;
        EXPECT_EQ(w.Run({"--sim", "watch", "--duration", d.Text, "--interval", "86400000"}),
                  d.Watch < 0 ? kio::kUsage : kio::kOk);
        EXPECT_EQ(w.clock.now, std::max<Micros>(d.Watch, 0));
    }
}

// Five inputs low, then input 0 high from 1.234 s to 2 s; each pin read takes 1 ms. Samples start
// every 2 ms from the start of the one before, and a line's time is when its read began.
TEST(KelvornIo, WatchPrintsTheInputsThenEachChangeAtTheTimeItsReadBegan) {
    const std::string low = "in0=low in1=low in2=low in3=low in4=low\n";
    const std::string in0 = "in0=high in1=low in2=low in3=low in4=low\n";
    const std::string lows = "{\"inputs\":[false,false,false,false,false]}\n";
    for (const bool json : {false, true}) {
        World w;
        w.sim.SetInputLevels(w.board, 0x00);
        w.driver.onRead = [&] { w.clock.now += 1000; };
        w.clock.onSleep = [&](Micros Now) {
            w.sim.SetInputLevels(w.board, Now >= 1234000 && Now < 2000000 ? 0x40 : 0x00);
        };
        std::vector<const char*> args = {"watch", "--sim", "--duration", "3", "--interval", "2"};
        if (json) args.push_back("--json");
        EXPECT_EQ(w.Run(args), 0) << w.err.str();
        EXPECT_EQ(w.out.str(),
                  json ? "{\"time\":0.0," + lows.substr(1) +
                             "{\"time\":1.234,\"inputs\":[true,false,false,false,false]}\n" +
                             "{\"time\":2.0," + lows.substr(1)
                       : "0.000 " + low + "1.234 " + in0 + "2.000 " + low);
        EXPECT_EQ(w.sim.PinReads(w.board), 1500u);
        EXPECT_EQ(w.clock.now, 3000000);
    }
    // A read that takes 7 ms: the next sample follows at once, the rest 2 ms apart, no burst.
    World slow;
    std::vector<Micros> reads;
    slow.driver.onRead = [&] {
        reads.push_back(slow.clock.now);
        if (reads.size() == 3) slow.clock.now += 7000;
    };
    EXPECT_EQ(slow.Run({"--sim", "watch", "--duration", "20ms", "--interval", "2"}), 0);
    EXPECT_THAT(reads, ElementsAre(0, 2000, 4000, 11000, 13000, 15000, 17000, 19000));
    EXPECT_EQ(slow.clock.now, 20000);
    // The reader gone at 1 s: the next line fails and ends the watch.
    World gone;
    gone.clock.onSleep = [&](Micros Now) {
        if (Now >= 1000000) gone.out.setstate(std::ios::badbit);
        gone.sim.SetInputLevels(gone.board, Now >= 1234000 ? 0x00 : 0xFF);
    };
    EXPECT_EQ(gone.Run({"--sim", "watch", "--duration", "3", "--interval", "1"}), 0);
    EXPECT_EQ(gone.clock.now, 1234000);
}

// A trace as sigrok-cli, PulseView's reader, reads it back: printed again as VCD, one line per
// timestamp with the changes at it, shown here as "#T wire=value ..." with T in microseconds by
// the timescale sigrok read.
std::string SigrokReads(const std::string& Path) {
    std::string text;
    const std::string command = "timeout 60 " SIGROK_CLI " -I vcd -O vcd -i " + Path + " 2>&1";
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            text.append(buffer, n);
        pclose(pipe);
    }
    std::map<char, std::string> names;  // by sigrok's own identifiers
    const std::map<std::string, double> micros = {{"s", 1e6},   {"ms", 1e3},  {"us", 1},
                                                  {"ns", 1e-3}, {"ps", 1e-6}, {"fs", 1e-9}};
    double scale = 0;  // an unknown timescale gives every time as 0
    std::istringstream lines(text);
    std::string line, read;
    while (std::getline(lines, line)) {
        char id = 0;
        char name[32];
        int number = 0;
        if (std::sscanf(line.c_str(), "$var wire 1 %c %31s $end", &id, name) == 2) names[id] = name;
        if (std::sscanf(line.c_str(), "$timescale %d %3s $end", &number, name) == 2 &&
            micros.contains(name))
            scale = number * micros.at(name);
        if (!line.starts_with('#')) continue;
        std::istringstream words(line.substr(1));
        std::string word;
        words >> word;
        read += '#' + std::to_string(std::llround(std::stod(word) * scale));
        while (words >> word) read += ' ' + names[word[1]] + '=' + word[0];
        read += '\n';
    }
    return read.empty() ? "(nothing read) " + text : read;
}

// Each pin read takes 1 ms: a change is stamped when the read that saw it began.
TEST(KelvornIo, WatchVcdTracesEachChangeAtItsSampleAndEndsWhenWatchEnds) {
    const std::string path = testing::TempDir() + "kelvorn-io-" + std::to_string(getpid()) + ".vcd";
    World w;
    w.driver.onRead = [&] { w.clock.now += 1000; };
    w.clock.onSleep = [&](Micros Now) {
        w.sim.SetInputLevels(w.board, Now >= 123000 && Now < 200000 ? 0xFF & ~0x40 : 0xFF);
    };
    EXPECT_EQ(w.Run({"watch", "--sim", "--vcd", "--duration", "0.3", "--interval", "2"}), 0);
    std::ofstream(path) << w.out.str();
    EXPECT_EQ(SigrokReads(path),
              "#0 in0_D6=1 in1_D3=1 in2_D5=1 in3_D7=1 in4_D1=1\n"
              "#124000 in0_D6=0\n"
              "#200000 in0_D6=1\n"
              "#300000\n");

    // Its reader gone (a pipe with no reader behind it): watch ends at the next sample, not when
    // the duration is over, as on SIGTERM. Any other failure to write (a full disk, or a stream
    // with no descriptor) cuts the trace short: status 4.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    close(pipeEnds[0]);
    for (const int fd : {pipeEnds[1], -1}) {
        World cut;
        cut.io.OutFd = fd;
        cut.clock.onSleep = [&](Micros Now) {
            if (Now >= 20000) cut.out.setstate(std::ios::badbit);
        };
        EXPECT_EQ(cut.Run({"--sim", "watch", "--vcd", "--duration", "1"}), fd < 0 ? 4 : 0);
        EXPECT_EQ(cut.clock.now, 20000);
        EXPECT_EQ(cut.err.str(), fd < 0 ? "kelvorn-io: the trace on standard output could not be "
                                          "written to the end\n"
                                        : "");
    }
    close(pipeEnds[1]);

    // Unplugged: status 3, the trace ends at the read that failed.
    World unplugged;
    unplugged.clock.onSleep = [&](Micros Now) {
        if (Now >= 10000) unplugged.sim.Unplug(unplugged.board);
    };
    EXPECT_EQ(unplugged.Run({"--sim", "watch", "--vcd", "--interval", "5"}), 3);
    std::ofstream(path) << unplugged.out.str();
    EXPECT_EQ(SigrokReads(path), "#0 in0_D6=1 in1_D3=1 in2_D5=1 in3_D7=1 in4_D1=1\n#10000\n");
    EXPECT_THAT(unplugged.out.str(), testing::EndsWith("$end\n#10000\n"))
        << "no values from the failed read";

    World json;
    EXPECT_EQ(json.Run({"--sim", "watch", "--vcd", "--json"}), 2);
    EXPECT_EQ(json.drivers, 0);
    std::remove(path.c_str());
}

TEST(KelvornIo, RunVcdTracesWritesAndReadsInOrderOfABoardWithAnySerial) {
    World w;
    const std::string serial = "Q\" \\ $end \xE9";
    const d2xx::SimDriver::DeviceId odd = w.sim.Add(kelvorn::WiredSimBoard(serial));
    const std::string path = testing::TempDir() + "kelvorn-io-" + std::to_string(getpid()) + ".vcd";
    const std::string script =
        "wait 1ms\nout 0 on\nwait 5ms\nexpect in0 low within 20ms\nread\nout 2 on\nwait 2ms\n"
        "expect in2 low\nout 0 off\nexpect in4 low\nwait 2ms\n";
    EXPECT_EQ(w.Run({"run", "-s", serial.c_str(), "--vcd", path.c_str()}, script), 1);
    EXPECT_THAT(w.sim.Written(odd), ElementsAre(0x15, 0x14, 0x10, 0x11));
    std::ifstream trace(path);
    const std::string text{std::istreambuf_iterator<char>(trace), {}};
    EXPECT_THAT(text, testing::HasSubstr("\n$comment board Q\" \\x5C \\x24end \\xE9 $end\n"));
    // In the order they happened: at 6 ms the two reads, then out 2 on; at 8 ms a read, out 0 off
    // and a read again.
    EXPECT_THAT(text, testing::EndsWith("#1000\n1!\n#6000\n0$\n1%\n1&\n1'\n1(\n1#\n"
                                        "#8000\n0&\n0!\n1$\n#10000\n"));
    // The inputs are unknown (x) until the first read, which sigrok reads as 0: in0 stays 0.
    EXPECT_EQ(SigrokReads(path),
              "#0 out0_D0=0 out1_D4=0 out2_D2=0 in0_D6=0 in1_D3=0 in2_D5=0 in3_D7=0 in4_D1=0\n"
              "#1000 out0_D0=1\n"
              "#6000 out2_D2=1 in1_D3=1 in2_D5=1 in3_D7=1 in4_D1=1\n"
              "#8000 out0_D0=0 in0_D6=1 in2_D5=0\n"
              "#10000\n");
    std::remove(path.c_str());

    w.err.str("");
    EXPECT_EQ(w.Run({"--sim", "run", "--vcd", "/nonexistent/trace.vcd"}, "read\n"), 2);
    EXPECT_EQ(w.err.str(), "kelvorn-io: cannot write the trace /nonexistent/trace.vcd\n");
    EXPECT_EQ(w.drivers, 1);
}

}  // namespace
