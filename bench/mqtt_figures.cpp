// kelvorn-mqtt's figures: the program on its simulated boards (--sim, --interval 10) against
// Debian's mosquitto on a free loopback port, started as the bridge's tests start them
// (tests/mqtt/Harness.h), once as mosquitto comes and once with set_tcp_nodelay on. The clients
// have Nagle's algorithm off, as the bridge has.
//  1. A command (out0/set) to the output's retained state at a subscriber, against the broker's
//     own publish -> subscribe round trip, the two measured in turn in the same run.
//  2. The same command to the wired input's message: the bridge reads the pins right after it
//     writes the output, so the input comes with the command.
//  3. The CPU share of the idle bridge (on the first broker), beside that of a bare loop woken
//     as often, measured at the same time: what the kernel alone takes for the wake-ups.
// Each command is sent at a random point of the bridge's sampling period, never in step with it.
// Usage: mqtt_figures [samples] [idle seconds]   (default 1000 and 20; about a minute in all)
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "Percentiles.h"

namespace {

using namespace mqtt_test;
using Ms = std::chrono::duration<double, std::milli>;
constexpr int kInterval = 10;  // ms, the bridge's default

// CPU time of every thread of a process so far, in nanoseconds (the scheduler's own count).
double CpuNs(pid_t Pid) {
    double ns = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(Pid) + "/task")) {
        double run = 0;
        if (std::ifstream(task.path() / "schedstat") >> run) ns += run;
    }
    return ns;
}

// A child process that only sleeps in ppoll for one interval, again and again, until killed.
pid_t BareLoop() {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const timespec period{0, kInterval * 1000000L};
    for (;;) ppoll(nullptr, 0, &period, nullptr);
}

[[noreturn]] void Fail(const std::string& What, const Process& Bridge) {
    std::fprintf(stderr, "mqtt_figures: %s\n%s", What.c_str(), Bridge.Err().c_str());
    std::exit(1);
}

struct Figures {
    Spread RoundTrip;  // publish -> subscribe, the broker alone
    Spread Command;    // out0/set -> out0 at a client subscribed to the boards' state
    Spread Commander;  // the same at the commanding client, subscribed to everything
    Spread Input;      // out0/set -> in0, which out0 pulls, at the state subscriber
    double Cpu = 0;    // % of one core, idle
    double Bare = 0;   // % of one core, the bare loop
};

// Samples commands on a fresh broker with Config, then (Idle > 0) the bridge's idle CPU share.
Figures Measure(const std::string& Config, int Samples, int Idle) {
    Broker broker(Config);
    // The commander subscribes to everything, its own commands too, and sends with QoS 0, as
    // mosquitto_pub and Home Assistant do unless told otherwise. The watcher subscribes as a
    // dashboard does, to the boards' state.
    Client commander(broker.Port());
    Client watcher(broker.Port(), {"kelvorn/+/+", "bench/echo"});
    Process bridge({KELVORN_MQTT, "--sim", "--host", "127.0.0.1", "--port", broker.PortText(),
                    "--name", "bench", "--interval", std::to_string(kInterval)});
    for (const Client* c : {&watcher, &commander})
        if (!c->Await("kelvorn/D4E5F6/out2", "OFF")) Fail("the bridge did not start", bridge);

    std::mt19937 random(20);
    std::uniform_real_distribution<double> phase(0, kInterval);
    const auto atRandom = [&] { std::this_thread::sleep_for(Ms(phase(random))); };
    // When the message came to C, from its message From on; the bench ends if it does not come.
    const auto arrival = [&](const Client& C, std::size_t From, const std::string& Topic,
                             const std::string& Payload) {
        const auto i = C.Await(Topic, Payload, From);
        if (!i) Fail("no " + Topic + " " + Payload, bridge);
        return C.Messages().at(*i).At;
    };
    std::vector<double> roundTrip, command, atCommander, input;
    for (int i = 0; i < Samples; ++i) {
        atRandom();
        const std::string n = std::to_string(i);
        std::size_t mark = watcher.Messages().size();
        auto sent = Clock::now();
        commander.Publish("bench/echo", n, false, 0);
        roundTrip.push_back(Ms(arrival(watcher, mark, "bench/echo", n) - sent).count());

        atRandom();
        const char* out = i % 2 == 0 ? "ON" : "OFF";
        const char* in = i % 2 == 0 ? "low" : "high";
        mark = watcher.Messages().size();
        const std::size_t own = commander.Messages().size();
        sent = Clock::now();
        commander.Publish("kelvorn/A1B2C3/out0/set", out, false, 0);
        const auto state = arrival(watcher, mark, "kelvorn/A1B2C3/out0", out);
        command.push_back(Ms(state - sent).count());
        input.push_back(Ms(arrival(watcher, mark, "kelvorn/A1B2C3/in0", in) - sent).count());
        atCommander.push_back(
            Ms(arrival(commander, own, "kelvorn/A1B2C3/out0", out) - sent).count());
    }
    Figures f{Percentiles(roundTrip), Percentiles(command), Percentiles(atCommander),
              Percentiles(input)};
    if (Idle > 0) {
        const pid_t bare = BareLoop();
        std::this_thread::sleep_for(std::chrono::seconds(2));  // settled: nothing in flight
        const auto t0 = Clock::now();
        const double c0 = CpuNs(bridge.Pid()), b0 = CpuNs(bare);
        std::this_thread::sleep_for(std::chrono::seconds(Idle));
        const double c1 = CpuNs(bridge.Pid()), b1 = CpuNs(bare);
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
        kill(bare, SIGKILL);
        waitpid(bare, nullptr, 0);
        f.Cpu = 100 * (c1 - c0) / ns;
        f.Bare = 100 * (b1 - b0) / ns;
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int idle = argc > 2 ? std::atoi(argv[2]) : 20;
    if (samples < 1 || idle < 1) {
        std::fprintf(stderr, "usage: mqtt_figures [samples] [idle seconds]\n");
        return 2;
    }
    // Debian's mosquitto as it comes, with Nagle's algorithm on toward its clients, and with it
    // off.
    const Figures plain = Measure("", samples, idle);
    const Figures nodelay = Measure("set_tcp_nodelay true\n", samples, 0);

    std::printf(
        "kelvorn-mqtt --sim --interval %d against mosquitto on loopback, %d commands, "
        "%u cores; ms\n",
        kInterval, samples, std::thread::hardware_concurrency());
    std::printf("%-40s %-34s %s\n%-40s %-34s %s\n", "", "mosquitto as shipped",
                "set_tcp_nodelay true", "", "    p50     p99       goal",
                "    p50     p99       goal");
    // One broker's columns: the percentiles, then the goal on p99 and whether it was met.
    const auto columns = [](Spread S, double Goal) {
        char text[64];
        std::snprintf(text, sizeof text, " %7.3f %7.3f", S.P50, S.P99);
        std::string line = text;
        if (Goal > 0) {
            std::snprintf(text, sizeof text, " <= %6.3f %-6s", Goal,
                          S.P99 <= Goal ? "met" : "MISSED");
            line += text;
        }
        return line;
    };
    const auto row = [&](const char* What, Spread(Figures::*Of), double PlainGoal,
                         double NodelayGoal) {
        std::string line = columns(plain.*Of, PlainGoal);
        line.resize(34, ' ');
        line += " " + columns(nodelay.*Of, NodelayGoal);
        std::printf("%-40s%s\n", What, line.substr(0, line.find_last_not_of(' ') + 1).c_str());
    };
    const auto cmdGoal = [](const Figures& F) { return 2 * F.RoundTrip.P99 + 1; };
    row("publish -> subscribe round trip", &Figures::RoundTrip, 0, 0);
    row("out0/set -> out0 at a state subscriber", &Figures::Command, cmdGoal(plain),
        cmdGoal(nodelay));
    row("  ... at the commander, subscribed to #", &Figures::Commander, cmdGoal(plain),
        cmdGoal(nodelay));
    row("out0/set -> in0 (its wire) at it", &Figures::Input, cmdGoal(plain), cmdGoal(nodelay));
    std::printf(
        "goal: a command p99 <= 2 x the round trip's p99 + 1 ms, the input it drives as well.\n"
        "An input: out0 pulls in0 low on the wired board as the bridge writes it; the bridge reads\n"
        "the pins right after and publishes in0 before out0. An input that changes by itself is\n"
        "seen at the next %d ms sample.\n"
        "The commander gets its own command back from the broker just before out0; a broker with\n"
        "Nagle's algorithm on holds out0 until the commander acknowledges the command, which an\n"
        "interactive client's kernel delays (up to 40 ms).\n",
        kInterval);
    std::printf(
        "idle bridge, 2 boards at %d ms, over %d s: %.3f %% of one core <= 0.5 %% %s\n"
        "  a bare loop woken every %d ms, at the same time: %.3f %%; the bridge above it: "
        "%.3f %%\n",
        kInterval, idle, plain.Cpu, plain.Cpu <= 0.5 ? "met" : "MISSED", kInterval, plain.Bare,
        plain.Cpu - plain.Bare);
    return 0;
}
