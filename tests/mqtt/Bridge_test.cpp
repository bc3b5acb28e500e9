// kelvorn-mqtt, the program, on its two simulated boards (A1B2C3 and D4E5F6, each output N wired
// to input N) against a real broker: what a subscriber sees, and what Home Assistant makes of it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "Brokers.h"

namespace mqtt_test {
namespace {

using nlohmann::json;
using testing::HasSubstr;
using testing::Not;

// How Home Assistant's MQTT integration takes a discovery message (homeassistant/components/mqtt:
// discovery.py, schemas.py): the complaints it would log, or the keys it would drop without a
// word, for the keys this bridge may use; "" when it takes the message whole.
std::string HomeAssistantComplaints(const std::string& Topic, const std::string& Payload) {
    static const std::regex topic(R"(homeassistant/\w+/(?:[a-zA-Z0-9_-]+/)?[a-zA-Z0-9_-]+/config)");
    if (!std::regex_match(Topic, topic)) return "illegal discovery topic";
    const json config = json::parse(Payload, nullptr, false);  // invalid UTF-8 is invalid too
    if (!config.is_object()) return "unable to parse JSON";
    static const std::set<std::string> known = {
        "name", "unique_id", "state_topic", "command_topic", "payload_on", "payload_off", "retain",
        "availability_mode", "availability.topic", "availability.payload_available",
        "availability.payload_not_available", "device.identifiers", "device.name", "device.model",
        "device.manufacturer", "device.serial_number", "device.sw_version", "origin.name",
        "origin.sw_version", "origin.support_url"};
    std::string complaints;
    const auto check = [&](const std::string& Key) {
        if (!known.contains(Key)) complaints += "dropped " + Key + " ";
    };
    for (const auto& [key, value] : config.items())
        if (key == "availability")
            for (const json& item : value)
                for (const auto& [name, v] : item.items()) check(key + "." + name);
        else if (value.is_object())
            for (const auto& [name, v] : value.items()) check(key + "." + name);
        else
            check(key);
    if (config.contains("origin") && !config["origin"].contains("name"))
        complaints += "origin without a name ";
    if (config.contains("availability_topic") && config.contains("availability"))
        complaints += "availability_topic and availability ";
    return complaints;
}

// An entity as Home Assistant follows it (entity.py's availability mixin): each topic of
// `availability` with its own payload_available and payload_not_available ("online" and
// "offline" when missing; the top-level pair is availability_topic's alone), compared exactly;
// a topic counts as unavailable until it says otherwise; availability_mode "latest" when missing.
class HomeAssistantEntity {
public:
    explicit HomeAssistantEntity(const json& Config) : config_(Config) {
        const auto payloads = [](const json& From) {
            return std::pair{From.value("payload_available", "online"),
                             From.value("payload_not_available", "offline")};
        };
        if (Config.contains("availability_topic"))
            topics_[Config["availability_topic"]] = payloads(Config);
        for (const json& item : Config.value("availability", json::array()))
            topics_[item["topic"]] = payloads(item);
    }
    void Receive(const std::string& Topic, const std::string& Payload) {
        if (const auto t = topics_.find(Topic); t != topics_.end()) {
            if (Payload == t->second.first) available_[Topic] = latest_ = true;
            if (Payload == t->second.second) available_[Topic] = latest_ = false;
        }
        if (Topic == config_.value("state_topic", "")) {
            if (Payload == config_.value("payload_on", "ON")) on_ = true;
            if (Payload == config_.value("payload_off", "OFF")) on_ = false;
        }
    }
    bool Available() const {
        const auto yes = [&](const auto& T) { return available_.contains(T.first) && available_.at(T.first); };
        const std::string mode = config_.value("availability_mode", "latest");
        if (topics_.empty()) return true;
        if (mode == "all") return std::all_of(topics_.begin(), topics_.end(), yes);
        if (mode == "any") return std::any_of(topics_.begin(), topics_.end(), yes);
        return latest_;
    }
    std::optional<bool> On() const { return on_; }

private:
    json config_;
    std::map<std::string, std::pair<std::string, std::string>> topics_;
    std::map<std::string, bool> available_;
    bool latest_ = false;
    std::optional<bool> on_;
};

// The entities of every discovery message Got holds, each having seen all of Got's messages.
std::map<std::string, HomeAssistantEntity> Entities(const std::vector<Received>& Got) {
    std::map<std::string, HomeAssistantEntity> entities;
    for (const Received& m : Got)
        if (m.Topic.starts_with("homeassistant/") && m.Topic.ends_with("/config"))
            entities.insert_or_assign(m.Topic, HomeAssistantEntity(json::parse(m.Payload)));
    for (const Received& m : Got)
        for (auto& [topic, entity] : entities) entity.Receive(m.Topic, m.Payload);
    return entities;
}

// The bridge on each broker of the site, the client at the clients' end.
class BridgeOnSim : public testing::TestWithParam<Kind> {
protected:
    Site broker{GetParam()};
    Client client{broker.ClientPort()};
    std::unique_ptr<Process> bridge;

    std::vector<std::string> Args(const std::string& Name, int Port = 0) const {
        return {KELVORN_MQTT, "--sim",  "--host",     "127.0.0.1", "--port",
                std::to_string(Port ? Port : broker.BridgePort()), "--name", Name, "--interval", "1"};
    }
    void Start(std::vector<std::string> More = {}, int Port = 0) {
        std::vector<std::string> args = Args("rig", Port);
        args.insert(args.end(), More.begin(), More.end());
        bridge = std::make_unique<Process>(args);
    }
    // Waits until the last of its retained state has come.
    void Started() { ASSERT_TRUE(client.Await("kelvorn/D4E5F6/out2", "OFF")) << bridge->Err(); }
    int Stop() {
        bridge->Signal(SIGTERM);
        return bridge->Wait();
    }
    // Its log line on connecting.
    std::string Connected() const {
        return broker.Mqtt5() ? "kelvorn-mqtt: connected to the broker\n"
                              : "kelvorn-mqtt: connected to the broker (it speaks MQTT 3.1.1 only: "
                                "a command published retained is seen as stale only once it is on "
                                "the broker)\n";
    }
    // Whether the bridge's publish of Topic has come at the client.
    void Published(const std::string& Topic, std::string Payload, std::size_t From = 0) {
        EXPECT_TRUE(client.Await(Topic, Payload, From)) << Topic << ' ' << Payload;
    }
};
// The tests that need mosquitto itself: its log, or a stand-in in front of it.
using BridgeOnMosquitto = BridgeOnSim;
// The bridge on RabbitMQ, which speaks 3.1.1 only and keeps retained messages from wildcards.
using BridgeOnRabbitMq = BridgeOnSim;

TEST_P(BridgeOnSim, PublishesTheTopicContractRetainedAndGoesOfflineOnSigterm) {
    Start();
    Started();
    client.Publish("homeassistant/status", "online");  // Home Assistant's birth message
    EXPECT_TRUE(Eventually([&] {
        std::size_t configs = 0;
        for (const Received& m : client.Messages()) configs += m.Topic.ends_with("/config");
        return configs == 2 * 2 * 8;  // discovery at start, and again
    }));
    EXPECT_EQ(Stop(), 0);

    Client late(broker.ClientPort());  // gets what is retained
    ASSERT_TRUE(late.Await("kelvorn/bridge/rig/availability", "Offline"));
    // The bridge's availability, index and heartbeat; each board's state and discovery.
    ASSERT_TRUE(Eventually([&] { return late.Messages().size() == 3 + 2 * (2 + 5 + 3 + 8); }));
    auto latest = late.Latest();
    for (const Received& m : late.Messages()) EXPECT_TRUE(m.Retained) << m.Topic;
    EXPECT_EQ(latest["kelvorn/bridge/rig/boards"], R"({"boards":[],"heartbeat":2})");
    for (const std::string id : {"A1B2C3", "D4E5F6"}) {
        std::string states;
        for (const char* level :
             {"availability", "bridge", "in0", "in1", "in2", "in3", "in4", "out0", "out1", "out2"})
            states += latest["kelvorn/" + id + "/" + level] + " ";
        EXPECT_EQ(states, "Offline rig high high high high high OFF OFF OFF ") << id;
    }
    const auto in =
        json::parse(latest["homeassistant/binary_sensor/kelvorn_D4E5F6/in4/config"]);
    EXPECT_EQ(in["state_topic"].dump() + in["payload_on"].dump() + in["payload_off"].dump(),
              R"("kelvorn/D4E5F6/in4""high""low")");
    // A switch's: the sample in docs/mqtt.md (there for the bridge lab1).
    std::stringstream page;
    page << std::ifstream(KELVORN_MQTT_PAGE).rdbuf();
    const std::string text = page.str();
    const std::size_t from = text.find("```json\n", text.find("A switch's"));
    ASSERT_NE(from, std::string::npos);
    json sample = json::parse(std::regex_replace(
        text.substr(from + 8, text.find("```", from + 8) - from - 8), std::regex("lab1"), "rig"));
    sample["origin"]["sw_version"] = KELVORN_VERSION;
    EXPECT_EQ(sample, json::parse(latest["homeassistant/switch/kelvorn_A1B2C3/out0/config"]));
    // One line per event, none per sample; a board's availability when it is published.
    EXPECT_EQ(bridge->Err(),
              "kelvorn-mqtt: broker 127.0.0.1:" + broker.BridgePortText() +
                  ", topics kelvorn/..., bridge kelvorn/bridge/rig/availability\n"
                  "kelvorn-mqtt: board A1B2C3 taken\n"
                  "kelvorn-mqtt: board D4E5F6 taken\n" +
                  Connected() +
                  "kelvorn-mqtt: board A1B2C3 Online as kelvorn/A1B2C3/availability\n"
                  "kelvorn-mqtt: board D4E5F6 Online as kelvorn/D4E5F6/availability\n"
                  "kelvorn-mqtt: stopping\n");
}

TEST_P(BridgeOnSim, HomeAssistantTakesEveryEntityAvailableWhileBridgeAndBoardAreOnlineOnly) {
    Start({"--inputs-on", "low"});  // inputs wired to contacts that close to ground
    Started();
    ASSERT_TRUE(client.Settled());
    auto entities = Entities(client.Messages());
    ASSERT_EQ(entities.size(), 16u);
    for (const Received& m : client.Messages())
        if (m.Topic.ends_with("/config")) {
            EXPECT_EQ(HomeAssistantComplaints(m.Topic, m.Payload), "") << m.Topic;
        }
    for (const auto& [topic, entity] : entities) EXPECT_TRUE(entity.Available()) << topic;
    const std::string in0 = "homeassistant/binary_sensor/kelvorn_A1B2C3/in0/config";
    EXPECT_EQ(entities.at(in0).On(), false);  // high: the contact is open
    client.Publish("kelvorn/A1B2C3/out0/set", "ON");  // pulls in0 low
    ASSERT_TRUE(client.Await("kelvorn/A1B2C3/in0", "low"));
    ASSERT_TRUE(client.Await("kelvorn/A1B2C3/out0", "ON"));
    entities = Entities(client.Messages());
    EXPECT_EQ(entities.at(in0).On(), true);
    EXPECT_EQ(entities.at("homeassistant/switch/kelvorn_A1B2C3/out0/config").On(), true);

    // Killed: no goodbye, the boards' topics still say Online, but the last will says Offline.
    bridge->Signal(SIGKILL);
    EXPECT_EQ(bridge->Wait(), 128 + SIGKILL);
    ASSERT_TRUE(client.Await("kelvorn/bridge/rig/availability", "Offline"));
    for (const auto& [topic, entity] : Entities(client.Messages()))
        EXPECT_FALSE(entity.Available()) << topic;
    Client late(broker.ClientPort());  // subscribes afterwards: the will is retained
    ASSERT_TRUE(late.Settled());
    EXPECT_EQ(late.Latest()["kelvorn/bridge/rig/availability"], "Offline");
    EXPECT_EQ(late.Latest()["kelvorn/A1B2C3/availability"], "Online");
}

TEST_P(BridgeOnSim, CarriesOutCommandsAndIgnoresBadOnesAndClearsStaleRetainedOnes) {
    client.Publish("kelvorn/A1B2C3/out0/set", "ON", true);  // left on the broker by someone
    broker.Everywhere(client);  // there before the bridge starts
    Start({"--no-discovery"});
    Started();
    const std::string stale = "a retained command is stale, it would switch the output again at "
                              "every reconnect; cleared from the broker\n";
    EXPECT_TRUE(bridge->Logged("ignored kelvorn/A1B2C3/out0/set 'ON': " + stale));
    struct Row {
        std::string Topic, Payload;
        std::string Echo;   // the output message the command gives, "" for none
        std::string Input;  // an input message it brings about, or ""
        std::string Log;    // its log line, or ""
        bool Retain = false;
    };
    const std::string megabyte(1 << 20, 'A');
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
        // Published retained while the bridge is subscribed: seen as such all the same, where
        // the broker keeps the flag (MQTT 5's retain as published); a 3.1.1 broker clears it.
        broker.Mqtt5() ? Row{"A1B2C3/out1/set", "ON", "", "", "A1B2C3/out1/set 'ON': " + stale, true}
                       : Row{"A1B2C3/out1/set", "ON", "A1B2C3/out1 ON", "A1B2C3/in1 low", "", true},
        {"A1B2C3/out1/set", megabyte, "", "",
         "A1B2C3/out1/set '" + megabyte.substr(0, 64) +
             "'\u2026 (1048576 bytes): not ON, OFF, TOGGLE, 1 or 0\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Topic + " '" + row.Payload.substr(0, 10) + "'");
        const std::size_t mark = client.Messages().size();
        client.Publish("kelvorn/" + row.Topic, row.Payload, row.Retain);
        if (row.Retain) broker.Everywhere(client);  // not lost to the next (see Everywhere)
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
    // Hung while its sender gave up on a command: not carried out when it goes on.
    bridge->Signal(SIGSTOP);
    client.Publish("kelvorn/D4E5F6/out2/set", "ON");
    std::this_thread::sleep_for(3s);
    bridge->Signal(SIGCONT);
    EXPECT_TRUE(bridge->Logged("s ago, its sender has given up\n"));
    EXPECT_THAT(bridge->Err(), HasSubstr("ignored kelvorn/D4E5F6/out2/set 'ON': came 3."));
    const std::size_t mark = client.Messages().size();
    client.Publish("kelvorn/D4E5F6/out0/set", "");
    ASSERT_TRUE(client.Await("kelvorn/D4E5F6/out0", "OFF", mark));
    EXPECT_EQ(client.Latest()["kelvorn/D4E5F6/out2"], "OFF");
    // A flood of junk: a few lines, then the count of the rest.
    for (int i = 0; i < 2000; ++i) client.Publish("kelvorn/A1B2C3/out0/set", "junk", false, 0);
    const std::size_t flooded = client.Messages().size();
    client.Publish("kelvorn/D4E5F6/out0/set", "");
    ASSERT_TRUE(client.Await("kelvorn/D4E5F6/out0", "OFF", flooded));
    EXPECT_EQ(Stop(), 0);
    const std::string log = bridge->Err();
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 40) << log;
    EXPECT_THAT(log, HasSubstr(" more ignored commands in the last "));
    for (const Received& m : client.Messages()) EXPECT_FALSE(m.Topic.starts_with("homeassistant/"));
    Client late(broker.ClientPort());  // the stale commands are gone from the broker
    ASSERT_TRUE(late.Settled());
    EXPECT_FALSE(late.Latest().contains("kelvorn/A1B2C3/out0/set"));
    EXPECT_EQ(late.Latest().contains("kelvorn/A1B2C3/out1/set"), !broker.Mqtt5());
}

TEST_P(BridgeOnSim, PulsesEndNoSoonerThanAskedAndASetOrANewPulseEndsARunningOne) {
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
    const auto high = client.Await("kelvorn/A1B2C3/in1", "high", *low);  // before, as for a set
    EXPECT_TRUE(high && *high < *off);

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

    // A pulse on each output at once: each ends by itself, its input following once each way.
    mark = client.Messages().size();
    for (const char* out : {"out0", "out1", "out2"})
        client.Publish("kelvorn/D4E5F6/" + std::string(out) + "/pulse", "500");
    for (const std::string n : {"0", "1", "2"}) {
        const auto end = client.Await("kelvorn/D4E5F6/out" + n, "OFF", mark);
        const auto rose = client.Await("kelvorn/D4E5F6/in" + n, "high", mark);
        ASSERT_TRUE(end && rose && *rose < *end);
        std::string out, in;  // since the start
        for (const Received& m : client.Messages()) {
            if (m.Topic == "kelvorn/D4E5F6/out" + n) out += m.Payload + " ";
            if (m.Topic == "kelvorn/D4E5F6/in" + n) in += m.Payload + " ";
        }
        EXPECT_EQ(out + "/ " + in, "OFF ON OFF / high low high ") << "output and input " << n;
    }

    // A stop ends a running pulse, its output off and published, before the board goes Offline.
    mark = client.Messages().size();
    client.Publish("kelvorn/A1B2C3/out0/pulse", "60000");
    ASSERT_TRUE(client.Await("kelvorn/A1B2C3/in0", "low", mark));
    EXPECT_EQ(Stop(), 0);
    const auto ended = client.Await("kelvorn/A1B2C3/out0", "OFF", mark);
    const auto offline = client.Await("kelvorn/A1B2C3/availability", "Offline", mark);
    ASSERT_TRUE(ended && offline);
    EXPECT_LT(*ended, *offline);
}

TEST_P(BridgeOnSim, RepublishesEverythingAfterTheBrokerComesBackAndTakesCommandsAgain) {
    Start();
    Started();
    broker.Kill();
    EXPECT_TRUE(bridge->Logged("connection to 127.0.0.1:" + broker.BridgePortText() +
                               " lost; retrying in 1 s\n"));
    std::this_thread::sleep_for(1500ms);  // a failed attempt or two
    broker.Start();                       // without what was retained
    Client fresh(broker.ClientPort());
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

TEST_P(BridgeOnSim, LeavesBoardsHeldByAnotherLiveBridgeAloneAndTakesThemWhenItGoesOffline) {
    Start({"--no-discovery"});
    Started();
    std::size_t mark = client.Messages().size();
    {  // one that leaves them alone, stopped: nothing of the boards, not even Offline
        std::vector<std::string> args = Args("three");
        args.push_back("--verbose");
        Process three(args);
        EXPECT_TRUE(three.Logged("board D4E5F6 is held by bridge rig: left alone\n"));
        three.Signal(SIGTERM);
        EXPECT_EQ(three.Wait(), 0);
        EXPECT_THAT(three.Err(), Not(HasSubstr("> kelvorn/A1B2C3")));
        EXPECT_THAT(three.Err(), Not(HasSubstr("> kelvorn/D4E5F6")));
    }
    // Its next look for boards a minute away: it takes them as rig lets them go.
    std::vector<std::string> args = Args("two");
    args.insert(args.end(), {"--verbose", "--rescan", "60"});
    Process two(args);
    EXPECT_TRUE(two.Logged("board A1B2C3 is held by bridge rig: left alone\n"));
    EXPECT_TRUE(two.Logged("board D4E5F6 is held by bridge rig: left alone\n"));
    client.Publish("kelvorn/A1B2C3/out0/set", "ON");
    Published("kelvorn/A1B2C3/in0", "low", mark);
    Published("kelvorn/A1B2C3/out0", "ON", mark);  // rig's, carried out once
    EXPECT_THAT(two.Err(), Not(HasSubstr("> kelvorn/A1B2C3")));  // nothing of the boards
    EXPECT_THAT(two.Err(), Not(HasSubstr("> kelvorn/D4E5F6")));
    EXPECT_EQ(Stop(), 0);  // rig goes Offline, its boards too: two takes them
    const auto taken = client.Await("kelvorn/A1B2C3/bridge", "two", mark);
    ASSERT_TRUE(taken) << two.Err();
    Published("kelvorn/A1B2C3/availability", "Online", *taken);
    Published("kelvorn/D4E5F6/bridge", "two", mark);
    mark = client.Messages().size();
    client.Publish("kelvorn/D4E5F6/out2/set", "ON");
    Published("kelvorn/D4E5F6/in2", "low", mark);
    EXPECT_TRUE(two.Logged("board A1B2C3 taken\n"));
    two.Signal(SIGTERM);
    EXPECT_EQ(two.Wait(), 0);
    ASSERT_TRUE(client.Settled());
    EXPECT_EQ(client.Latest()["kelvorn/A1B2C3/availability"], "Offline");
    EXPECT_EQ(client.Latest()["kelvorn/A1B2C3/bridge"], "two");
}

TEST_P(BridgeOnSim, AClaimOfItsBoardByANameThatSortsFirstMakesItLeaveByOneThatSortsLaterNot) {
    Start({"--no-discovery"});
    Started();
    client.Publish("kelvorn/A1B2C3/out0/set", "ON");  // kept through leaving and taking back
    ASSERT_TRUE(client.Await("kelvorn/A1B2C3/out0", "ON"));
    // Bridges that claim it as this release does: Online, their index naming it.
    const std::string index = R"({"boards":["A1B2C3"],"heartbeat":2})";
    for (const std::string name : {"zz", "aa"}) {
        client.Publish("kelvorn/bridge/" + name + "/availability", "Online", true);
        client.Publish("kelvorn/bridge/" + name + "/boards", index, true);
    }
    std::size_t mark = client.Messages().size();
    client.Publish("kelvorn/A1B2C3/bridge", "zz", true);  // loses to rig: rig claims it again
    Published("kelvorn/A1B2C3/bridge", "rig", mark + 1);
    // All of rig's answer stored before the next claim: a cluster's nodes may store a message
    // published later on the other node first.
    ASSERT_TRUE(client.Settled());
    mark = client.Messages().size();
    client.Publish("kelvorn/A1B2C3/bridge", "aa", true);  // wins: rig leaves it, saying so once
    EXPECT_TRUE(bridge->Logged("board A1B2C3 is held by bridge aa: left alone\n"));
    client.Publish("kelvorn/A1B2C3/out0/set", "OFF");  // aa's to carry out now
    ASSERT_TRUE(client.Settled());
    EXPECT_EQ(client.Latest()["kelvorn/A1B2C3/bridge"], "aa");
    EXPECT_EQ(client.Latest()["kelvorn/A1B2C3/out0"], "ON");
    const std::string err = bridge->Err(), left = "held by bridge aa";
    EXPECT_EQ(err.find(left), err.rfind(left));

    // Both let it go: rig takes it back as it is, out0 on.
    mark = client.Messages().size();
    client.Publish("kelvorn/bridge/zz/availability", "Offline", true);
    client.Publish("kelvorn/bridge/aa/boards", R"({"boards":[],"heartbeat":2})", true);
    Published("kelvorn/A1B2C3/bridge", "rig", mark);
    Published("kelvorn/A1B2C3/out0", "ON", mark);
    // A claim before its bridge is Online is a stranger's, answered; once aa comes Online with
    // its index naming the board, rig leaves it as in the other order.
    client.Publish("kelvorn/bridge/aa/availability", "Offline", true);
    mark = client.Messages().size();
    client.Publish("kelvorn/A1B2C3/bridge", "aa", true);
    Published("kelvorn/A1B2C3/bridge", "rig", mark + 1);
    client.Publish("kelvorn/bridge/aa/boards", index, true);
    client.Publish("kelvorn/bridge/aa/availability", "Online", true);
    EXPECT_TRUE(Eventually([&] {
        const std::string log = bridge->Err();
        return log.find(left) != log.rfind(left);
    })) << bridge->Err();
}

TEST_P(BridgeOnSim, PublishesItsOwnStateAgainOverAnyoneElsesAndFightsNoFasterThanOnceASecond) {
    Start({"--no-discovery"});
    Started();
    struct Row {
        std::string Topic, Payload, Truth;
        bool Retain;
    };
    const Row rows[] = {
        {"A1B2C3/out0", "ON", "OFF", true},
        {"A1B2C3/in1", "junk", "high", false},
        {"A1B2C3/in2", "", "high", false},
        {"bridge/rig/availability", "Offline", "Online", true},
        {"D4E5F6/availability", "Offline", "Online", true},
        {"D4E5F6/bridge", "ghost", "rig", true},  // a bridge that publishes no index
    };
    client.Publish("kelvorn/bridge/ghost/availability", "Online", true);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Topic);
        const std::size_t mark = client.Messages().size();
        client.Publish("kelvorn/" + row.Topic, row.Payload, row.Retain);
        Published("kelvorn/" + row.Topic, row.Truth, mark);
        EXPECT_TRUE(bridge->Logged("kelvorn-mqtt: kelvorn/" + row.Topic + " held '" + row.Payload +
                                   "' from someone else: published '" + row.Truth + "' again\n"));
    }
    // Someone who keeps at it: one line, and one answer a second.
    std::this_thread::sleep_for(1s);  // past the last answer on out0
    const std::size_t mark = client.Messages().size();
    for (int i = 0; i < 30; ++i) client.Publish("kelvorn/A1B2C3/out0", "ON", true);
    const auto first = client.Await("kelvorn/A1B2C3/out0", "OFF", mark);
    ASSERT_TRUE(first);
    const auto second = client.Await("kelvorn/A1B2C3/out0", "OFF", *first + 1, 3s);
    ASSERT_TRUE(second);
    EXPECT_GE(client.Messages()[*second].At - client.Messages()[*first].At, 900ms);
    const std::string log = bridge->Err(), held = "kelvorn/A1B2C3/out0 held";
    EXPECT_EQ(log.find(held), log.rfind(held));
    EXPECT_EQ(Stop(), 0);
    Client late(broker.ClientPort());
    ASSERT_TRUE(late.Settled());
    EXPECT_EQ(late.Latest()["kelvorn/A1B2C3/out0"], "OFF");
    EXPECT_EQ(late.Latest()["kelvorn/D4E5F6/bridge"], "rig");
}

TEST_P(BridgeOnSim, BeatsOncePerPeriodAndAtOnceWhenPinged) {
    Start({"--no-discovery"});
    Started();
    ASSERT_TRUE(client.Await("kelvorn/bridge/rig/alive", "1"));
    const auto beats = [&](std::size_t From) {
        int n = 0;
        const auto all = client.Messages();
        for (std::size_t i = From; i < all.size(); ++i) n += all[i].Topic == "kelvorn/bridge/rig/alive";
        return n;
    };
    std::size_t mark = client.Messages().size();
    for (int i = 0; i < 50; ++i) client.Publish("kelvorn/bridge/rig/ping", "x", false, 0);
    ASSERT_TRUE(Eventually([&] { return beats(mark) >= 1; }, 1s));
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(beats(mark), 3);
    mark = client.Messages().size();
    std::this_thread::sleep_for(5s);
    EXPECT_GE(beats(mark), 2);
    EXPECT_LE(beats(mark), 3);
}

TEST_P(BridgeOnSim, ACopyUnderTheNameOfALiveBridgeExitsPublishingNothingAndAStaleOneTakesOver) {
    Start({"--no-discovery"});
    Started();
    // quiet: Online without a heartbeat, live by that alone; stale: its heartbeat stands still.
    client.Publish("kelvorn/bridge/quiet/availability", "Online", true);
    client.Publish("kelvorn/bridge/quiet/boards", R"({"boards":[],"heartbeat":0})", true);
    client.Publish("kelvorn/bridge/stale/availability", "Online", true);
    client.Publish("kelvorn/bridge/stale/boards", R"({"boards":[],"heartbeat":2})", true);
    client.Publish("kelvorn/bridge/stale/alive", "7", true);
    broker.Everywhere(client);
    for (const std::string name : {"rig", "quiet"}) {
        SCOPED_TRACE(name);
        const std::size_t mark = client.Messages().size();
        Process copy(Args(name));
        EXPECT_EQ(copy.Wait(), 2);
        EXPECT_THAT(copy.Err(), HasSubstr("kelvorn-mqtt: bridge name '" + name +
                                          "' is Online on the broker (another kelvorn-mqtt runs "
                                          "under it): give this one another --name\n"));
        ASSERT_TRUE(client.Settled());
        const auto all = client.Messages();
        for (const Received& m : std::vector(all.begin() + static_cast<long>(mark), all.end()))
            EXPECT_TRUE(m.Topic.starts_with("kelvorn-") || m.Topic.ends_with("/rig/alive") ||
                        m.Topic.ends_with("/ping"))
                << m.Topic << ' ' << m.Payload;
    }
    EXPECT_EQ(client.Latest()["kelvorn/bridge/rig/boards"],
              R"({"boards":["A1B2C3","D4E5F6"],"heartbeat":2})");
    const std::size_t mark = client.Messages().size();
    Process stale(Args("stale"));
    Published("kelvorn/bridge/stale/availability", "Online", mark);
    EXPECT_TRUE(stale.Logged("bridge name 'stale' is Online on the broker but its heartbeat stands "
                             "still: taken over\n"));
}

TEST_P(BridgeOnSim, TwoBridgesStartedAtOnceSettleOnTheNameThatSortsFirst) {
    Process late(Args("late")), early(Args("early"));
    EXPECT_TRUE(late.Logged("board A1B2C3 is held by bridge early: left alone\n")) << late.Err();
    EXPECT_TRUE(late.Logged("board D4E5F6 is held by bridge early: left alone\n"));
    // The last claim of each is early's, whichever of the two came last at first.
    for (const char* id : {"A1B2C3", "D4E5F6"})
        EXPECT_TRUE(Eventually([&] {
            return client.Latest()["kelvorn/" + std::string(id) + "/bridge"] == "early";
        })) << id;
    EXPECT_TRUE(Eventually([&] {
        return client.Latest()["kelvorn/bridge/late/boards"] == R"({"boards":[],"heartbeat":2})";
    }));
    EXPECT_THAT(early.Err(), Not(HasSubstr("left alone"))) << early.Err() << late.Err();
}

TEST_P(BridgeOnMosquitto, TwoBridgesOfOneNameKeepTheirConnectionsWithClientIdsOf23BytesAtMost) {
    const std::vector<std::string> args = Args("a-bridge-named-at-greater-length-than-ids-may-be");
    Process first(args), second(args);
    EXPECT_TRUE(first.Logged("connected to the broker"));
    EXPECT_TRUE(second.Logged("connected to the broker"));
    std::set<std::string> ids;
    const std::regex connected(R"(New client connected from \S+ as (\S+) \(p5, )");
    const std::string log = broker.Log();
    for (std::sregex_iterator m(log.begin(), log.end(), connected), end; m != end; ++m)
        if ((*m)[1].str().starts_with("kelvorn-")) ids.insert((*m)[1]);
    ASSERT_EQ(ids.size(), 2u) << log;
    for (const std::string& id : ids) {
        EXPECT_LE(id.size(), 23u) << id;
        EXPECT_TRUE(id.starts_with("kelvorn-a-brid-")) << id;  // the name cut to fit
    }
    EXPECT_THAT(log, Not(HasSubstr("already connected")));
    EXPECT_THAT(first.Err() + second.Err(), Not(HasSubstr("lost")));
}

TEST_P(BridgeOnMosquitto, SpeaksMqtt311ToABrokerThatRefusesMqtt5AndClearsTheStaleCommandsItGets) {
    Mqtt311Gate gate(broker.BridgePort());
    client.Publish("kelvorn/A1B2C3/out2/pulse", "100", true);
    ASSERT_TRUE(client.Await("kelvorn/A1B2C3/out2/pulse", "100"));
    Start({"--no-discovery"}, gate.Port());
    Started();
    EXPECT_EQ(gate.Refused(), 1);
    EXPECT_TRUE(bridge->Logged("connected to the broker (it speaks MQTT 3.1.1 only: a command "
                               "published retained is seen as stale only once it is on the "
                               "broker)\n"));
    EXPECT_TRUE(bridge->Logged("ignored kelvorn/A1B2C3/out2/pulse '100': a retained command is "
                               "stale"));
    const std::size_t mark = client.Messages().size();
    client.Publish("kelvorn/A1B2C3/out0/set", "ON");
    Published("kelvorn/A1B2C3/in0", "low", mark);
    // A copy under its name reads its Online by the exact topic, which RabbitMQ does retain.
    Process copy(Args("rig"));
    EXPECT_EQ(copy.Wait(), 2);
    EXPECT_THAT(copy.Err(), HasSubstr("bridge name 'rig' is Online on the broker"));
    EXPECT_EQ(Stop(), 0);
    EXPECT_THAT(bridge->Err(), Not(HasSubstr("'':")));  // its clearing, come back, is no command
    EXPECT_EQ(client.Latest()["kelvorn/A1B2C3/out2"], "OFF");
    Client late(broker.ClientPort());
    ASSERT_TRUE(late.Settled());
    EXPECT_FALSE(late.Latest().contains("kelvorn/A1B2C3/out2/pulse"));
}

TEST_P(BridgeOnRabbitMq, SpeaksMqtt311AfterItsMqtt5GreetingIsClosedAndCarriesOutCommands) {
    Start({"--no-discovery"});
    Started();
    EXPECT_TRUE(bridge->Logged(Connected()));
    EXPECT_THAT(bridge->Err(), Not(HasSubstr("closed the connection")));
    const std::size_t mark = client.Messages().size();
    client.Publish("kelvorn/A1B2C3/out0/set", "ON");
    Published("kelvorn/A1B2C3/in0", "low", mark);
    // A copy under its name reads its Online by the exact topic, which RabbitMQ does retain.
    Process copy(Args("rig"));
    EXPECT_EQ(copy.Wait(), 2);
    EXPECT_THAT(copy.Err(), HasSubstr("bridge name 'rig' is Online on the broker"));
    EXPECT_EQ(Stop(), 0);
    Published("kelvorn/bridge/rig/availability", "Offline", mark);
}

TEST_P(BridgeOnRabbitMq, KelvornIoReadsABoardBySerialThoughAWildcardBringsNoRetainedState) {
    Start({"--no-discovery"});
    Started();
    const std::string url = "mqtt://127.0.0.1:" + broker.ClientPortText();
    Process read({KELVORN_IO, "--mqtt", url, "-s", "D4E5F6", "read"});
    EXPECT_EQ(read.Wait(), 0) << read.Err();
    EXPECT_EQ(read.Out(), "in0=high in1=high in2=high in3=high in4=high\n");
    // What a wildcard cannot bring, the list says it cannot have.
    Process list({KELVORN_IO, "--mqtt", url, "list"}), none({KELVORN_IO, "--mqtt", url, "-s", "Z9", "read"});
    EXPECT_EQ(list.Wait(), 1);
    EXPECT_EQ(none.Wait(), 3);
    const std::string why =
        "no bridge publishes under prefix 'kelvorn' on 127.0.0.1 (or the broker sends no retained "
        "messages to wildcard subscriptions, as RabbitMQ does";
    EXPECT_EQ(list.Err() + none.Err(), "kelvorn-io: " + why +
                                           ": open a board by its serial, -s)\n" +
                                           "kelvorn-io: board Z9 not found: " + why + ")\n");
}

TEST_P(BridgeOnSim, ForgetClearsEveryRetainedTopicOfTheBoardsNamed) {
    Start();
    Started();
    EXPECT_EQ(Stop(), 0);
    client.Publish("kelvorn/A1B2C3/out1/pulse", "100", true);  // a stale command goes too
    broker.Everywhere(client);
    const std::vector<std::string> forget = {KELVORN_MQTT, "--host", "127.0.0.1", "--forget",
                                             "A1B2C3", "--port"};
    std::vector<std::string> args = forget;
    args.push_back(broker.BridgePortText());
    Process forgetting(args);
    EXPECT_EQ(forgetting.Wait(), 0);
    // Its discovery, its state and the stale command: what the broker held.
    EXPECT_EQ(forgetting.Err(), "kelvorn-mqtt: board A1B2C3 forgotten: 19 retained topics cleared\n");
    EXPECT_TRUE(Eventually([&] {  // cleared at the clients' end too
        for (const auto& [topic, payload] : client.Latest())
            if (topic.find("A1B2C3") != std::string::npos && !payload.empty()) return false;
        return true;
    }));
    Client late(broker.ClientPort());
    ASSERT_TRUE(late.Settled());
    for (const auto& [topic, payload] : late.Latest())
        EXPECT_EQ(topic.find("A1B2C3"), std::string::npos) << topic;
    EXPECT_EQ(late.Latest()["kelvorn/D4E5F6/availability"], "Offline") << bridge->Err() << forgetting.Err() << broker.Log();
    EXPECT_TRUE(late.Latest().contains("homeassistant/switch/kelvorn_D4E5F6/out2/config"));
    // Back, named by a bridge that is Online but never said Online itself: not held, taken.
    client.Publish("kelvorn/bridge/ghost/availability", "Online", true);
    client.Publish("kelvorn/A1B2C3/bridge", "ghost", true);
    broker.Everywhere(client);
    const std::size_t mark = client.Messages().size();
    Start();
    Published("kelvorn/A1B2C3/bridge", "rig", mark);
    // Held by rig, live: neither the board nor rig itself is forgotten; rig stopped, it is.
    struct Row {
        std::string Option, Name;
        bool Live;
        std::string Err;
    };
    const Row rows[] = {
        {"--forget", "A1B2C3", true, "board A1B2C3 is Online under bridge rig, which is live: not forgotten"},
        {"--forget-bridge", "rig", true, "bridge rig is Online and live: not forgotten"},
        {"--forget-bridge", "rig", false, "bridge rig forgotten: 3 retained topics cleared"},
    };
    for (const Row& row : rows) {
        if (!row.Live && bridge) {
            EXPECT_EQ(Stop(), 0);
            bridge.reset();
        }
        Process forgets({KELVORN_MQTT, "--host", "127.0.0.1", "--port", broker.BridgePortText(),
                         row.Option, row.Name});
        EXPECT_EQ(forgets.Wait(), row.Live ? 2 : 0);
        EXPECT_EQ(forgets.Err(), "kelvorn-mqtt: " + row.Err +
                                     (row.Live ? " (--force clears it all the same)\n" : "\n"));
    }

    args = forget;
    args.push_back(std::to_string(FreePort()));
    Process unreachable(args);
    EXPECT_EQ(unreachable.Wait(), 1);
    EXPECT_THAT(unreachable.Err(), HasSubstr("connection refused by 127.0.0.1:"));
    EXPECT_THAT(unreachable.Err(), HasSubstr("; nothing forgotten\n"));
}

TEST(BridgeAcl, ABridgeWhoseWritesTheBrokerDropsSaysSoAndNeverThatABoardIsOnline) {
    // Its ACL lets it read, not write: as for a bridge named other than its ACL's lines.
    TempDir dir;
    const int port = FreePort();
    Broker broker("listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\nacl_file " +
                  dir.Write("acl", "topic read kelvorn/#\n") + "\n");
    Process bridge({KELVORN_MQTT, "--sim", "--host", "127.0.0.1", "--port", std::to_string(port),
                    "--name", "rig", "--no-discovery"});
    EXPECT_TRUE(bridge.Logged("kelvorn-mqtt: no echo of kelvorn/bridge/rig/availability from the "
                              "broker (may this bridge write and read it? its ACL): the boards are "
                              "published without looking for other bridges\n"));
    EXPECT_TRUE(bridge.Logged("kelvorn-mqtt: board A1B2C3: the broker does not echo "
                              "kelvorn/A1B2C3/availability (may bridge rig write it? its ACL)\n"));
    EXPECT_THAT(bridge.Err(), Not(HasSubstr("Online as")));
}

std::string OnBroker(const testing::TestParamInfo<Kind>& Info) { return KindName(Info.param); }
INSTANTIATE_TEST_SUITE_P(Broker, BridgeOnSim, testing::ValuesIn(kEveryBroker), OnBroker);
INSTANTIATE_TEST_SUITE_P(Broker, BridgeOnMosquitto, testing::Values(Kind::Mosquitto), OnBroker);
INSTANTIATE_TEST_SUITE_P(Broker, BridgeOnRabbitMq, testing::Values(Kind::RabbitMq), OnBroker);

TEST(BridgeBackoff, WaitsDoublingFrom1sTo30sAndFrom1sAgainAfterAConnection) {
    Broker broker;
    broker.Kill();  // its port refuses until it starts again
    Process bridge({KELVORN_MQTT, "--sim", "--host", "127.0.0.1", "--port", broker.PortText(),
                    "--no-discovery", "--verbose"},
                   true, {"KELVORN_MQTT_TEST_SECOND_MS=10"});  // a second of the backoff: 10 ms
    const std::string refused = "connection refused by 127.0.0.1:" + broker.PortText() + "; ";
    const auto begun = Clock::now();
    ASSERT_TRUE(bridge.Logged(refused + "retrying in 30 s\nkelvorn-mqtt: " + refused +
                              "retrying in 30 s\n"));
    EXPECT_GE(Clock::now() - begun, (1 + 2 + 4 + 8 + 16 + 30) * 10ms);
    broker.Start();
    ASSERT_TRUE(bridge.Logged("connected to the broker"));
    broker.Kill();
    ASSERT_TRUE(bridge.Logged(" lost; retrying in 1 s\nkelvorn-mqtt: " + refused +
                              "retrying in 2 s\n"));
    std::string waits;
    const std::string log = bridge.Err();
    const std::regex retrying(R"((refused|lost)[^\n]*retrying in (\d+) s)");
    for (std::sregex_iterator m(log.begin(), log.end(), retrying), end; m != end; ++m)
        waits += (*m)[2].str() + " ";
    EXPECT_TRUE(std::regex_match(waits, std::regex("1 2 4 8 16 30 30 (30 )*1 2 .*"))) << waits;
}

}  // namespace
}  // namespace mqtt_test
