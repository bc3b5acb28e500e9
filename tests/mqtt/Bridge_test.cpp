// kelvorn-mqtt, the program, on its two simulated boards (A1B2C3 and D4E5F6, each output N wired
// to input N) against a real broker: what a subscriber sees.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Harness.h"

namespace mqtt_test {
namespace {

using testing::HasSubstr;

class BridgeOnSim : public testing::Test {
protected:
    Broker broker;
    Client client{broker.Port()};
    std::unique_ptr<Process> bridge;

    // Starts the bridge and waits until the last of its retained state has come.
    void Start(std::vector<std::string> More = {}, int Port = 0) {
        std::vector<std::string> args{KELVORN_MQTT, "--sim",
                                      "--host",     "127.0.0.1",
                                      "--port",     std::to_string(Port ? Port : broker.Port()),
                                      "--name",     "rig",
                                      "--interval", "1"};
        args.insert(args.end(), More.begin(), More.end());
        bridge = std::make_unique<Process>(args);
    }
    void Started() { ASSERT_TRUE(client.Await("kelvorn/D4E5F6/out2", "OFF")) << bridge->Err(); }
    int Stop() {
        bridge->Signal(SIGTERM);
        return bridge->Wait();
    }
};

TEST_F(BridgeOnSim, PublishesTheTopicContractRetainedAndGoesOfflineOnSigterm) {
    Start();
    Started();
    client.Publish("homeassistant/status", "online");  // Home Assistant's birth message
    EXPECT_TRUE(Eventually([&] {
        std::size_t configs = 0;
        for (const Received& m : client.Messages()) configs += m.Topic.ends_with("/config");
        return configs == 2 * 2 * 8;  // discovery at start, and again
    }));
    EXPECT_EQ(Stop(), 0);

    Client late(broker.Port());  // gets what is retained
    ASSERT_TRUE(late.Await("kelvorn/bridge/rig/availability", "Offline"));
    ASSERT_TRUE(Eventually([&] { return late.Messages().size() == 1 + 2 * (2 + 5 + 3 + 8); }));
    auto latest = late.Latest();
    for (const Received& m : late.Messages()) EXPECT_TRUE(m.Retained) << m.Topic;
    for (const std::string id : {"A1B2C3", "D4E5F6"}) {
        std::string states;
        for (const char* level :
             {"availability", "bridge", "in0", "in1", "in2", "in3", "in4", "out0", "out1", "out2"})
            states += latest["kelvorn/" + id + "/" + level] + " ";
        EXPECT_EQ(states, "Offline rig high high high high high OFF OFF OFF ") << id;
    }
    const auto sw =
        nlohmann::json::parse(latest["homeassistant/switch/kelvorn_A1B2C3/out1/config"]);
    EXPECT_EQ(sw, nlohmann::json::parse(R"({
        "name": "out1", "unique_id": "kelvorn_A1B2C3_out1", "state_topic": "kelvorn/A1B2C3/out1",
        "command_topic": "kelvorn/A1B2C3/out1/set", "payload_on": "ON", "payload_off": "OFF",
        "retain": false, "availability_mode": "all",
        "availability": [{"topic": "kelvorn/bridge/rig/availability"},
                         {"topic": "kelvorn/A1B2C3/availability"}],
        "payload_available": "Online", "payload_not_available": "Offline",
        "device": {"identifiers": ["kelvorn_A1B2C3"], "name": "Kelvorn A1B2C3",
                   "model": "Kelvorn USB I/O board"}})"));
    const auto in =
        nlohmann::json::parse(latest["homeassistant/binary_sensor/kelvorn_D4E5F6/in4/config"]);
    EXPECT_EQ(in["state_topic"].dump() + in["payload_on"].dump() + in["payload_off"].dump(),
              R"("kelvorn/D4E5F6/in4""high""low")");
    // One line per event, none per sample.
    EXPECT_EQ(bridge->Err(),
              "kelvorn-mqtt: broker 127.0.0.1:" + broker.PortText() +
                  ", topics kelvorn/..., bridge kelvorn/bridge/rig/availability\n"
                  "kelvorn-mqtt: board A1B2C3 Online as kelvorn/A1B2C3/availability\n"
                  "kelvorn-mqtt: board D4E5F6 Online as kelvorn/D4E5F6/availability\n"
                  "kelvorn-mqtt: connected to the broker\n"
                  "kelvorn-mqtt: stopping\n");
}

TEST_F(BridgeOnSim, CarriesOutCommandsAndIgnoresBadOnesAndStaleRetainedOnes) {
    client.Publish("kelvorn/A1B2C3/out0/set", "ON", true);  // left on the broker by someone
    Start({"--no-discovery"});
    Started();
    EXPECT_TRUE(
        bridge->Logged("ignored kelvorn/A1B2C3/out0/set 'ON': a retained command is stale"));
    struct Row {
        std::string Topic, Payload;
        std::string Echo;   // the output message the command gives, "" for none
        std::string Input;  // an input message it brings about, or ""
        std::string Log;    // its log line, or ""
    };
    const Row rows[] = {
        {"A1B2C3/out0/set", "ON", "A1B2C3/out0 ON", "A1B2C3/in0 low", ""},
        {"A1B2C3/out0/set", "off", "A1B2C3/out0 OFF", "A1B2C3/in0 high", ""},
        {"A1B2C3/out1/set", "1", "A1B2C3/out1 ON", "A1B2C3/in1 low", ""},
        {"A1B2C3/out1/set", "0", "A1B2C3/out1 OFF", "A1B2C3/in1 high", ""},
        {"A1B2C3/out2/set", "ToGgLe", "A1B2C3/out2 ON", "A1B2C3/in2 low", ""},
        {"A1B2C3/out2/set", "toggle", "A1B2C3/out2 OFF", "A1B2C3/in2 high", ""},
        {"A1B2C3/out2/set", "", "A1B2C3/out2 OFF", "", ""},
        {"D4E5F6/out1/set", "On", "D4E5F6/out1 ON", "D4E5F6/in1 low", ""},
        {"A1B2C3/out2/set", "ON\n", "", "",
         "A1B2C3/out2/set 'ON\\x0A': not ON, OFF, TOGGLE, 1 or 0\n"},
        {"A1B2C3/out2/pulse", "1e3", "", "",
         "A1B2C3/out2/pulse '1e3': not a whole number of milliseconds from 1 to 60000\n"},
        {"A1B2C3/out3/set", "ON", "", "", "A1B2C3/out3/set 'ON': not an output's set or pulse\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Topic + " '" + row.Payload + "'");
        const std::size_t mark = client.Messages().size();
        client.Publish("kelvorn/" + row.Topic, row.Payload);
        client.Publish("kelvorn/D4E5F6/out0/set", "");  // publishes out0 again: the row is done
        const auto done = client.Await("kelvorn/D4E5F6/out0", "OFF", mark);
        ASSERT_TRUE(done);
        std::string echoes;
        const auto all = client.Messages();
        for (std::size_t i = mark; i < *done; ++i)
            if (all[i].Topic.find("/out") != std::string::npos && !all[i].Topic.ends_with("/set") &&
                !all[i].Topic.ends_with("/pulse"))
                echoes += all[i].Topic.substr(8) + " " + all[i].Payload;
        EXPECT_EQ(echoes, row.Echo);
        if (!row.Input.empty()) {
            const std::size_t space = row.Input.find(' ');
            EXPECT_TRUE(client.Await("kelvorn/" + row.Input.substr(0, space),
                                     row.Input.substr(space + 1), mark));
        }
        if (!row.Log.empty()) {
            EXPECT_TRUE(bridge->Logged("ignored kelvorn/" + row.Log, 1s));
        }
    }
    EXPECT_EQ(client.Latest()["kelvorn/A1B2C3/out0"], "OFF");
    EXPECT_EQ(Stop(), 0);
    for (const Received& m : client.Messages()) EXPECT_FALSE(m.Topic.starts_with("homeassistant/"));
}

TEST_F(BridgeOnSim, PulsesEndNoSoonerThanAskedAndASetOrANewPulseEndsARunningOne) {
    Start();
    Started();
    const auto at = [&](std::optional<std::size_t> I) {
        return client.Messages().at(I.value()).At;
    };
    auto sent = Clock::now();
    std::size_t mark = client.Messages().size();
    client.Publish("kelvorn/A1B2C3/out1/pulse", "150");
    const auto on = client.Await("kelvorn/A1B2C3/out1", "ON", mark);
    const auto low = client.Await("kelvorn/A1B2C3/in1", "low", mark);
    const auto off = client.Await("kelvorn/A1B2C3/out1", "OFF", mark);
    ASSERT_TRUE(on && low && off);
    EXPECT_LT(*on, *off);
    EXPECT_LT(*low, *off);
    EXPECT_GE(at(off) - sent, 150ms);
    EXPECT_TRUE(client.Await("kelvorn/A1B2C3/in1", "high", *off));

    // Pulsed again 100 ms in: off 300 ms after the second pulse, once.
    sent = Clock::now();
    mark = client.Messages().size();
    client.Publish("kelvorn/A1B2C3/out1/pulse", "300");
    std::this_thread::sleep_for(100ms);
    client.Publish("kelvorn/A1B2C3/out1/pulse", "300");
    const auto again = client.Await("kelvorn/A1B2C3/out1", "OFF", mark);
    ASSERT_TRUE(again);
    EXPECT_GE(at(again) - sent, 400ms);

    // A set during a pulse ends it: the output stays on.
    mark = client.Messages().size();
    client.Publish("kelvorn/A1B2C3/out2/pulse", "100");
    client.Publish("kelvorn/A1B2C3/out2/set", "ON");
    std::this_thread::sleep_for(400ms);
    std::string out2;
    for (const Received& m : client.Messages())
        if (m.Topic == "kelvorn/A1B2C3/out2") out2 += m.Payload + " ";
    EXPECT_THAT(out2, testing::EndsWith("OFF ON ON "));
    EXPECT_EQ(Stop(), 0);
}

TEST_F(BridgeOnSim, RepublishesEverythingAfterTheBrokerComesBackAndTakesCommandsAgain) {
    Start();
    Started();
    broker.Kill();
    EXPECT_TRUE(bridge->Logged("connection to 127.0.0.1:" + broker.PortText() + " lost; retrying"));
    std::this_thread::sleep_for(1500ms);  // a failed attempt or two
    broker.Start();                       // without what was retained
    Client fresh(broker.Port());
    ASSERT_TRUE(fresh.Await("kelvorn/D4E5F6/out2", "OFF", 0, 20s)) << bridge->Err();
    auto latest = fresh.Latest();
    EXPECT_EQ(latest["kelvorn/bridge/rig/availability"], "Online");
    EXPECT_EQ(latest["kelvorn/A1B2C3/in3"], "high");
    EXPECT_TRUE(latest.contains("homeassistant/switch/kelvorn_D4E5F6/out2/config"));
    fresh.Publish("kelvorn/A1B2C3/out0/set", "ON");
    EXPECT_TRUE(fresh.Await("kelvorn/A1B2C3/in0", "low"));
    EXPECT_EQ(Stop(), 0);
    const std::string log = bridge->Err();
    std::size_t connected = 0, retrying = 0;
    for (std::size_t p = 0; (p = log.find("connected to the broker", p)) != std::string::npos; ++p)
        ++connected;
    for (std::size_t p = 0; (p = log.find("; retrying", p)) != std::string::npos; ++p) ++retrying;
    EXPECT_EQ(connected, 2u) << log;
    EXPECT_LE(retrying, 2u) << log;  // lost, then refused: one line per change, not per attempt
}

}  // namespace
}  // namespace mqtt_test
