// A command to one board of a fleet, through the broker node the clients use while its bridge is
// on another (bench/fleet.sh): out0/set published at ClientPort to the out0 state seen there, in
// turn with the broker's own publish -> subscribe round trip from ClientPort to BridgePort, the
// path a command takes to the bridge. Both ports the same: one broker. The clients are those of
// the bridge's tests (tests/mqtt/Harness.h), with Nagle's algorithm off; each message is sent at
// a random point of the bridge's 10 ms sampling period.
// Usage: fleet_figures BRIDGE_PORT CLIENT_PORT SERIAL [commands]   (default 1000)
// Prints the two spreads and the goal, p99 <= 2 x the round trip's p99 + 1 ms; status 1 when a
// message did not come.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "Percentiles.h"

namespace {

using namespace mqtt_test;
using Ms = std::chrono::duration<double, std::milli>;

[[noreturn]] void Fail(const std::string& What) {
    std::fprintf(stderr, "fleet_figures: %s\n", What.c_str());
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const int bridgePort = argc > 3 ? std::atoi(argv[1]) : 0;
    const int clientPort = argc > 3 ? std::atoi(argv[2]) : 0;
    const std::string serial = argc > 3 ? argv[3] : "";
    const int samples = argc > 4 ? std::atoi(argv[4]) : 1000;
    if (bridgePort < 1 || clientPort < 1 || serial.empty() || samples < 1) {
        std::fprintf(stderr, "usage: fleet_figures BRIDGE_PORT CLIENT_PORT SERIAL [commands]\n");
        return 2;
    }
    const std::string state = "kelvorn/" + serial + "/out0";
    Client sender(clientPort, {});
    Client watcher(clientPort, {state});
    Client far(bridgePort, {"bench/echo"});  // where the bridge is
    if (!watcher.Await(state, "OFF")) Fail("no " + state + " OFF: the board is not on the broker");
    // The echo's subscription taken at the far node, and known at the near one.
    bool echoed = false;
    for (int i = 0; i < 100 && !echoed; ++i) {
        const std::size_t mark = far.Messages().size();
        sender.Publish("bench/echo", "hello", false, 0);
        echoed = far.Await("bench/echo", "hello", mark, 100ms).has_value();
    }
    if (!echoed) Fail("the broker does not pass bench/echo on");

    std::mt19937 random(100);
    std::uniform_real_distribution<double> phase(0, 10);
    const auto atRandom = [&] { std::this_thread::sleep_for(Ms(phase(random))); };
    const auto arrival = [&](const Client& C, std::size_t From, const std::string& Topic,
                             const std::string& Payload) {
        const auto i = C.Await(Topic, Payload, From);
        if (!i) Fail("no " + Topic + " " + Payload + " within 10 s");
        return C.Messages().at(*i).At;
    };
    std::vector<double> roundTrip, command;
    for (int i = 0; i < samples; ++i) {
        atRandom();
        const std::string n = std::to_string(i);
        std::size_t mark = far.Messages().size();
        auto sent = Clock::now();
        sender.Publish("bench/echo", n, false, 0);
        roundTrip.push_back(Ms(arrival(far, mark, "bench/echo", n) - sent).count());

        atRandom();
        const char* out = i % 2 == 0 ? "ON" : "OFF";
        mark = watcher.Messages().size();
        sent = Clock::now();
        sender.Publish(state + "/set", out, false, 0);
        command.push_back(Ms(arrival(watcher, mark, state, out) - sent).count());
    }
    const Spread rt = Percentiles(roundTrip), cmd = Percentiles(command);
    const double goal = 2 * rt.P99 + 1;
    std::printf("%d commands to %s; ms          p50     p99\n"
                "publish -> subscribe, client node to bridge node %7.3f %7.3f\n"
                "out0/set -> out0, both at the client node        %7.3f %7.3f   goal p99 <= %.3f: "
                "%s\n",
                samples, serial.c_str(), rt.P50, rt.P99, cmd.P50, cmd.P99, goal,
                cmd.P99 <= goal ? "met" : "MISSED");
    return 0;
}
