// kelvorn-io in-process on simulated boards, with a clock that moves only when the program
// sleeps: what a script author reads on stdout and stderr, the exit status, and what the board
// sees.
#include "cli/KelvornIo.h"
#include "device/Board.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

using d2xx::SimDriver;
using testing::ElementsAre;

namespace {

class FakeClock final : public kio::Clock {
public:
    kio::Micros now = 0;
    bool stop = false;
    std::function<void(kio::Micros)> onSleep = [](kio::Micros) {};
    kio::Micros Now() override { return now; }
    bool Sleep(kio::Micros Duration) override {
        now += Duration;
        onSleep(now);
        return !stop;
    }
    bool StopAsked() override { return stop; }
};

class KelvornIo : public testing::Test {
protected:
    SimDriver sim;
    SimDriver::DeviceId board = sim.Add(kelvorn::WiredSimBoard());
    FakeClock clock;
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    int drivers = 0;  // how often the program asked for the driver
    kio::Io io{in, out, err, clock, [this](bool) -> d2xx::Driver& {
                   ++drivers;
                   return sim;
               }};

    int Run(std::vector<const char*> Args, const std::string& Stdin = "") {
        in.clear();
        in.str(Stdin);
        Args.insert(Args.begin(), "kelvorn-io");
        return kio::Main(static_cast<int>(Args.size()), Args.data(), io);
    }
};

TEST_F(KelvornIo, ScriptWritesOffFirstThenEachOutputAndReadsThePinsOncePerLine) {
    const int status = Run({"--sim", "run"},
                           "# wiring test\r\n"
                           "out 0 on\r\n"
                           "\r\n"
                           "wait 20ms\n"
                           "expect in0 low\n"
                           "out 2 on\n"
                           "read\n"
                           "expect in3 high within 1.5s\n"
                           "out 0 off\n");
    EXPECT_EQ(status, 0) << err.str();
    EXPECT_EQ(out.str(),
              "ok 5: in0 low\n"
              "in0=low in1=high in2=low in3=high in4=high\n"
              "ok 8: in3 high after 0 ms\n"
              "expectations: 2 met, 0 failed\n");
    // All off (D0, D2, D4 high), then out 0 on (D0 low), out 2 on (D2 low), out 0 off.
    EXPECT_THAT(sim.Written(board), ElementsAre(0x15, 0x14, 0x10, 0x11));
    EXPECT_EQ(sim.PinReads(board), 3u);
    EXPECT_FALSE(sim.IsOpen(board));
    EXPECT_EQ(sim.OpenHandles(), 0);
}

TEST_F(KelvornIo, ExpectWithinIsMetWhenTheInputChangesAndFailsWhenTheTimeIsUp) {
    clock.onSleep = [&](kio::Micros Now) {
        if (Now >= 30000) sim.SetInputLevels(board, 0xFF & ~0x80);  // input 3 (D7) low
    };
    EXPECT_EQ(Run({"run", "-", "--sim"},
                  "expect in3 low within 100ms\nexpect in4 low within 50ms\nexpect in1 low\n"),
              1);
    EXPECT_EQ(out.str(),
              "ok 1: in3 low after 30 ms\n"
              "FAIL 2: in4 expected low, read high for 50 ms\n"
              "FAIL 3: in1 expected low, read high\n"
              "expectations: 1 met, 2 failed\n");
}

TEST_F(KelvornIo, ScriptErrorsNameTheirLineAndOpenNothing) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"out 0 on\nfrobnicate\n", "line 2: unknown command 'frobnicate'"},
        {"# outputs\n\nout 3 on\n", "line 3: no output '3'"},
        {"expect in5 high\n", "line 1: no input 'in5'"},
        {"wait 20\n", "line 1: bad duration '20'"},
        {"wait -5ms\n", "line 1: bad duration '-5ms'"},
        {"wait 9223372036854775808ms\n", "line 1: bad duration"},
        {"wait 9223372036855s\n", "line 1: bad duration"},
        {"read\r\nexpect in0 low within 1.5\n", "line 2: bad duration '1.5'"},
        {std::string("read\nout 0\0 on\n", 13), "line 2: NUL byte"},
        {"read\n" + std::string(1 << 20, 'x') + "\n", "line 2: unknown command 'xxx"},
    };
    for (const auto& [script, message] : cases) {
        err.str("");
        EXPECT_EQ(Run({"--sim", "run"}, script), 2) << message;
        const std::string text = err.str();
        EXPECT_THAT(text, testing::StartsWith("kelvorn-io: stdin " + message)) << message;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << "one line";
    }
    EXPECT_EQ(drivers, 0);
    EXPECT_EQ(out.str(), "");
}

TEST_F(KelvornIo, ExitStatuses) {
    EXPECT_EQ(Run({"read", "--sim"}), 0);
    EXPECT_EQ(out.str(), "in0=high in1=high in2=high in3=high in4=high\n");
    EXPECT_EQ(Run({"--sim", "read", "--interval", "5"}), 2);  // watch's option
    EXPECT_EQ(Run({"--sim", "watch", "--interval", "0"}), 2);
    EXPECT_EQ(Run({"--sim", "watch", "--duration", "nan"}), 2);
    EXPECT_EQ(Run({"--sim", "run", "/nonexistent/script"}), 2);
    EXPECT_EQ(Run({"--sim", "raed"}), 2);
    EXPECT_NE(err.str().find("unknown command 'raed'"), std::string::npos) << err.str();
    EXPECT_EQ(drivers, 1);

    sim.SetBusy(board, true);
    err.str("");
    EXPECT_EQ(Run({"-s", "A1B2C3", "read"}), 3);
    EXPECT_EQ(err.str(), "kelvorn-io: board A1B2C3 is held by another program\n");
    err.str("");
    out.str("");
    EXPECT_EQ(Run({"list", "--json"}), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(),
              "kelvorn-io: FTDI device 0 is held by another program: passed over\n"
              "kelvorn-io: no Kelvorn board found\n");
    EXPECT_EQ(Run({"read"}), 3);
    sim.SetBusy(board, false);

    sim.Add({"D4E5F6", "Kelvorn"});
    err.str("");
    EXPECT_EQ(Run({"read"}), 2);
    EXPECT_EQ(err.str(),
              "kelvorn-io: 2 Kelvorn boards attached, pick one with --serial: A1B2C3 "
              "D4E5F6\n");
    EXPECT_EQ(Run({"read", "-s", "D4E5F6"}), 0);

    // Unplugged while a script runs: status 3 whatever the expectations said.
    clock.onSleep = [&](kio::Micros) { sim.Unplug(board); };
    err.str("");
    EXPECT_EQ(Run({"run", "-s", "A1B2C3"}, "expect in3 high\nwait 1ms\nexpect in3 high\n"), 3);
    EXPECT_EQ(err.str(), "kelvorn-io: board A1B2C3 stopped answering (line 3)\n");
    EXPECT_EQ(sim.OpenHandles(), 0);
}

TEST_F(KelvornIo, WatchPrintsTheInputsThenEachChangeUntilItsDurationEnds) {
    clock.onSleep = [&](kio::Micros Now) {
        sim.SetInputLevels(board, Now >= 1234000 && Now < 2000000 ? 0xFF & ~0x40 : 0xFF);
    };
    EXPECT_EQ(Run({"watch", "--sim", "--duration", "3", "--interval", "2"}), 0) << err.str();
    EXPECT_EQ(out.str(),
              "0.000 in0=high in1=high in2=high in3=high in4=high\n"
              "1.234 in0=low in1=high in2=high in3=high in4=high\n"
              "2.000 in0=high in1=high in2=high in3=high in4=high\n");
    EXPECT_EQ(sim.PinReads(board), 1500u);  // one pin read per sample
    EXPECT_EQ(clock.now, 3000000);

    out.str("");
    clock.now = 0;
    clock.onSleep = [&](kio::Micros Now) { clock.stop = Now >= 50000; };  // SIGTERM at 50 ms
    EXPECT_EQ(Run({"--sim", "watch", "--json"}), 0);
    EXPECT_EQ(out.str(), "{\"time\":0.0,\"inputs\":[true,true,true,true,true]}\n");
    EXPECT_FALSE(sim.IsOpen(board));
}

TEST_F(KelvornIo, JsonEscapesAnySerialAndParses) {
    const std::string serial = "Q\"\\\x01\xE9";
    const SimDriver::DeviceId odd = sim.Add({serial, "Kelvorn"});
    EXPECT_EQ(Run({"list", "--json"}), 0);
    EXPECT_EQ(nlohmann::json::parse(out.str()),
              nlohmann::json::array({"A1B2C3", "Q\"\\\x01\xC3\xA9"}));  // 0xE9 is U+00E9
    sim.SetBusy(odd, true);
    EXPECT_EQ(Run({"read", "-s", serial.c_str()}), 3);
    EXPECT_EQ(err.str(), "kelvorn-io: board Q\"\\x5C\\x01\\xE9 is held by another program\n");
}

// A trace as sigrok-cli, PulseView's reader, reads it back: printed again as VCD, one line per
// timestamp with the changes at it, shown here as "#T wire=value ...".
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
    std::istringstream lines(text);
    std::string line, read;
    while (std::getline(lines, line)) {
        char id = 0;
        char name[32];
        if (std::sscanf(line.c_str(), "$var wire 1 %c %31s $end", &id, name) == 2) names[id] = name;
        if (!line.starts_with('#')) continue;
        std::istringstream words(line);
        std::string word;
        words >> word;
        read += word;  // the timestamp
        while (words >> word) read += ' ' + names[word[1]] + '=' + word[0];
        read += '\n';
    }
    return read.empty() ? "(nothing read) " + text : read;
}

TEST_F(KelvornIo, WatchVcdTracesEachChangeAtItsSampleAndEndsWhenWatchEnds) {
    clock.onSleep = [&](kio::Micros Now) {
        sim.SetInputLevels(board, Now >= 123000 && Now < 200000 ? 0xFF & ~0x40 : 0xFF);
    };
    EXPECT_EQ(Run({"watch", "--sim", "--vcd", "--duration", "0.3", "--interval", "2"}), 0);
    const std::string path = testing::TempDir() + "kelvorn-io-" + std::to_string(getpid()) + ".vcd";
    std::ofstream(path) << out.str();
    EXPECT_EQ(SigrokReads(path),
              "#0 in0_D6=1 in1_D3=1 in2_D5=1 in3_D7=1 in4_D1=1\n"
              "#124000 in0_D6=0\n"
              "#200000 in0_D6=1\n"
              "#300000\n");

    // Its reader gone: watch ends at the next sample, not when the duration is over.
    clock.now = 0;
    clock.onSleep = [&](kio::Micros Now) {
        if (Now >= 20000) out.setstate(std::ios::badbit);
    };
    EXPECT_EQ(Run({"--sim", "watch", "--vcd", "--duration", "1"}), 0);
    EXPECT_EQ(clock.now, 20000);

    // Unplugged: status 3, the trace ends at the read that failed.
    out.clear();
    out.str("");
    clock.now = 0;
    clock.onSleep = [&](kio::Micros Now) {
        if (Now >= 10000) sim.Unplug(board);
    };
    EXPECT_EQ(Run({"--sim", "watch", "--vcd", "--interval", "5"}), 3);
    std::ofstream(path) << out.str();
    EXPECT_EQ(SigrokReads(path), "#0 in0_D6=1 in1_D3=1 in2_D5=1 in3_D7=1 in4_D1=1\n#10000\n");
    EXPECT_THAT(out.str(), testing::EndsWith("$end\n#10000\n")) << "no values from the failed read";

    EXPECT_EQ(Run({"--sim", "watch", "--vcd", "--json"}), 2);
    EXPECT_EQ(drivers, 3);
    std::remove(path.c_str());
}

TEST_F(KelvornIo, RunVcdTracesWritesAndReadsInOrderOfABoardWithAnySerial) {
    const std::string serial = "Q\" \\ $end \xE9";
    const SimDriver::DeviceId odd = sim.Add(kelvorn::WiredSimBoard(serial));
    const std::string path = testing::TempDir() + "kelvorn-io-" + std::to_string(getpid()) + ".vcd";
    const std::string script =
        "wait 1ms\nout 0 on\nwait 5ms\nexpect in0 low within 20ms\nread\nout 2 on\nwait 2ms\n"
        "expect in2 low\nout 0 off\nexpect in4 low\nwait 2ms\n";
    EXPECT_EQ(Run({"run", "-s", serial.c_str(), "--vcd", path.c_str()}, script), 1);
    EXPECT_THAT(sim.Written(odd), ElementsAre(0x15, 0x14, 0x10, 0x11));
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

    err.str("");
    EXPECT_EQ(Run({"--sim", "run", "--vcd", "/nonexistent/trace.vcd"}, "read\n"), 2);
    EXPECT_EQ(err.str(), "kelvorn-io: cannot write the trace /nonexistent/trace.vcd\n");
    EXPECT_EQ(drivers, 1);
}

}  // namespace
