// The time an output switch takes on a board behind a bridge, as `kelvorn-io --mqtt URL run`'s
// `out 0 on` makes it: the client driver's Write, from its call to its return once the bridge has
// reported the output switched, beside the broker's own publish -> subscribe round trip, the two
// measured in turn in the same run. Debian's mosquitto on a free loopback port and
// `kelvorn-mqtt --sim` holding A1B2C3, started as the tests start them (tests/mqtt/Harness.h).
// Usage: remote_figures [switches]   (default 1000)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "Harness.h"
#include "Percentiles.h"
#include "device/Board.h"
#include "mqtt/MqttDriver.h"

namespace {

using namespace mqtt_test;
using Ms = std::chrono::duration<double, std::milli>;

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (samples < 1) {
        std::fprintf(stderr, "usage: remote_figures [switches]\n");
        return 2;
    }
    Broker broker;  // as Debian ships it: Nagle on toward its clients
    Client sender(broker.Port(), {});
    Client receiver(broker.Port(), {"bench/echo", "kelvorn/+/+"});
    auto bridge = SimBridge(receiver, broker.Port(), "bench", {"A1B2C3"});
    kmqtt::Remote where;
    where.Host = "127.0.0.1";
    where.Port = broker.Port();
    where.ClientId = kmqtt::UniqueClientId("remote-figures");
    kmqtt::MqttDriver driver(where);
    if (const auto why = driver.Start()) {
        std::fprintf(stderr, "remote_figures: %s\n", why->c_str());
        return 1;
    }
    kelvorn::Board board(driver, "remote_figures");
    std::ostringstream err;
    if (board.Open("A1B2C3", err) != kelvorn::Board::Opened::Yes) {
        std::fprintf(stderr, "%s", err.str().c_str());
        return 1;
    }
    std::mt19937 random(26);
    std::uniform_real_distribution<double> pause(0, 10);
    std::vector<double> roundTrip, write;
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(Ms(pause(random)));
        const std::string n = std::to_string(i);
        const std::size_t mark = receiver.Messages().size();
        const auto sent = Clock::now();
        sender.Publish("bench/echo", n, false, 0);
        const auto echo = receiver.Await("bench/echo", n, mark);
        if (!echo) {
            std::fprintf(stderr, "remote_figures: the broker did not pass a message on\n");
            return 1;
        }
        roundTrip.push_back(Ms(receiver.Messages().at(*echo).At - sent).count());

        std::this_thread::sleep_for(Ms(pause(random)));
        const auto start = Clock::now();
        board.Device().BitOut(0, i % 2 == 0);  // out 0 on, out 0 off, ...
        write.push_back(Ms(Clock::now() - start).count());
        if (board.Failed()) {
            std::fprintf(stderr, "remote_figures: the board stopped answering\n");
            return 1;
        }
    }
    const Spread rt = Percentiles(roundTrip), sw = Percentiles(write);
    const double goal = 2 * rt.P99 + 1;
    std::printf("kelvorn-io --mqtt's out 0 on|off on kelvorn-mqtt --sim, mosquitto on loopback, "
                "%d switches, %u cores; ms\n"
                "%-44s %7s %7s\n%-44s %7.3f %7.3f\n%-44s %7.3f %7.3f   goal p99 <= %.3f: %s\n",
                samples, std::thread::hardware_concurrency(), "", "p50", "p99",
                "publish -> subscribe round trip", rt.P50, rt.P99,
                "out 0 on|off, call to return (confirmed)", sw.P50, sw.P99, goal,
                sw.P99 <= goal ? "met" : "MISSED");
    return 0;
}
