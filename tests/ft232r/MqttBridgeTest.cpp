// kelvorn-mqtt, the program, on emulated boards under umockdev and against a real broker: the
// board comes and goes, a serial of any bytes gives a safe topic level, and the FTDI devices that
// are not the bridge's own are only read.
#include <gtest/gtest.h>

#include <cerrno>
#include <iostream>
#include <nlohmann/json.hpp>

#include "EmulatedFt232r.h"
#include "Harness.h"

namespace ft232r {
namespace {

using namespace mqtt_test;

constexpr std::uint8_t kOutputPins = 0x15;  // D0, D4, D2: outputs 0, 1, 2, on when low

TEST(MqttBridgeOnFt232r, FollowsTheBoardThroughUnplugAndReplugAndLeavesOtherDevicesAlone) {
    Testbed bed;
    EmulatedFt232r& adapter = bed.Add({.Serial = "FT9ZX01", .Description = "FT232R USB UART"});
    EmulatedFt232r& board = bed.Add({.Serial = "K/#+_\xE9"});
    bed.Add({.Serial = ""});  // a board that cannot be opened by its serial
    Broker broker;
    Client client(broker.Port());
    Process bridge({KELVORN_MQTT, "--host", "127.0.0.1", "--port", broker.PortText(), "--name",
                    "rig", "--rescan", "1", "--interval", "5"});
    const std::string id = "kelvorn/K_2F_23_2B_5F_E9/";
    ASSERT_TRUE(client.Await(id + "out2", "OFF")) << bridge.Err();
    EXPECT_TRUE(bridge.Logged("1 Kelvorn board(s) with an empty serial: left alone"));
    EXPECT_EQ(board.Latch() & kOutputPins, kOutputPins);
    // Its discovery is valid JSON, the serial's byte 0xE9 read as Latin-1: UTF-8 C3 A9.
    int configs = 0;
    for (const Received& m : client.Messages())
        if (m.Topic.find("/kelvorn_K_2F_23_2B_5F_E9/") != std::string::npos) {
            const auto config = nlohmann::json::parse(m.Payload, nullptr, false);
            ASSERT_TRUE(config.is_object()) << m.Payload;
            EXPECT_EQ(config["device"]["serial_number"], "K/#+_\xC3\xA9");
            ++configs;
        }
    EXPECT_EQ(configs, 8);

    client.Publish(id + "out0/set", "ON");
    ASSERT_TRUE(client.Await(id + "out0", "ON"));
    EXPECT_EQ(board.Latch() & kOutputPins, kOutputPins & ~0x01);
    std::size_t mark = client.Messages().size();
    client.Publish(id + "out1/pulse", "100");
    ASSERT_TRUE(client.Await(id + "out1", "OFF", mark));
    board.SetInputs(static_cast<std::uint8_t>(0xFF & ~0x08));  // input 1 (D3) low
    EXPECT_TRUE(client.Await(id + "in1", "low"));

    // The rescans read the adapter's EEPROM again and again, and take a board plugged in now;
    // the board held meanwhile gets no request.
    const auto reads = [](const EmulatedFt232r& B) {
        return B.ControlCount(request::ReadEeprom) + B.ControlCount(request::GetDescriptor);
    };
    const std::size_t held = reads(board), foreign = reads(adapter);
    EmulatedFt232r& second = bed.Add({.Serial = "KV000002"});
    EXPECT_TRUE(client.Await("kelvorn/KV000002/availability", "Online"));
    EXPECT_TRUE(Eventually([&] {  // and announced to Home Assistant
        return client.Latest().contains("homeassistant/switch/kelvorn_KV000002/out2/config");
    }));
    client.Publish("kelvorn/KV000002/out2/set", "ON");  // taken while the bridge runs: obeys
    EXPECT_TRUE(client.Await("kelvorn/KV000002/out2", "ON"));
    EXPECT_EQ(second.Latch() & kOutputPins, kOutputPins & ~0x04);
    std::this_thread::sleep_for(1500ms);
    EXPECT_GT(reads(adapter), foreign);
    EXPECT_EQ(reads(board), held);
    const std::string err = bridge.Err(), unnamed = "with an empty serial";
    EXPECT_EQ(err.find(unnamed), err.rfind(unnamed)) << "said once, at the first of many looks";
    EXPECT_TRUE(adapter.KernelDriverBound());
    EXPECT_FALSE(adapter.Claimed());
    EXPECT_EQ(adapter.Unbinds(), 0) << "not even for a moment";

    mark = client.Messages().size();
    board.Unplug();
    EXPECT_TRUE(client.Await(id + "availability", "Offline", mark));
    EXPECT_TRUE(bridge.Logged("board K/#+_\\xE9 stopped answering: Offline"));
    mark = client.Messages().size();
    board.Replug();
    ASSERT_TRUE(client.Await(id + "availability", "Online", mark)) << bridge.Err();
    EXPECT_TRUE(client.Await(id + "out0", "ON", mark));
    EXPECT_EQ(board.Latch() & kOutputPins, kOutputPins & ~0x01) << "as last commanded";

    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Wait(), 0) << bridge.Err();
    EXPECT_TRUE(client.Await(id + "availability", "Offline", mark));
    EXPECT_TRUE(client.Await("kelvorn/bridge/rig/availability", "Offline", mark));
    EXPECT_FALSE(board.Claimed());
    EXPECT_TRUE(board.KernelDriverBound()) << "given back to its serial driver";
    EXPECT_TRUE(adapter.KernelDriverBound());
    // What `mosquitto_sub -v -t 'kelvorn/#'` shows of it all.
    for (const Received& m : client.Messages())
        if (m.Topic.starts_with("kelvorn/") && m.Topic.find("KV000002") == std::string::npos)
            std::cout << m.Topic << ' ' << m.Payload << '\n';
    std::cout << bridge.Err();
}

// What the messages since From say of the topics under Prefix: "level payload " each.
std::string Since(const Client& C, std::size_t From, const std::string& Prefix) {
    std::string seen;
    const auto all = C.Messages();
    for (std::size_t i = From; i < all.size(); ++i)
        if (all[i].Topic.starts_with(Prefix))
            seen += all[i].Topic.substr(Prefix.size()) + " " + all[i].Payload + " ";
    return seen;
}

TEST(MqttBridgeOnFt232r, ANamedBoardLostIsLookedForAndCommandsMeetItAsItComesAndGoes) {
    Testbed bed;
    EmulatedFt232r& board = bed.Add({.Serial = "KV1"});
    Broker broker;
    Client client(broker.Port(), {"kelvorn/KV1/+"});
    // The inputs are read once a minute: a command is the first to meet a board unplugged.
    Process bridge({KELVORN_MQTT, "--host", "127.0.0.1", "--port", broker.PortText(), "--name",
                    "rig", "--serial", "KV1", "--rescan", "1", "--interval", "60000",
                    "--no-discovery"});
    const std::string kv = "kelvorn/KV1/";
    ASSERT_TRUE(client.Await(kv + "out2", "OFF")) << bridge.Err();
    client.Publish(kv + "out2/pulse", "60000");
    ASSERT_TRUE(client.Await(kv + "out2", "ON"));

    board.Unplug();  // a moment ago, and no sample since
    std::size_t mark = client.Messages().size();
    client.Publish(kv + "out1/set", "ON");
    ASSERT_TRUE(client.Await(kv + "availability", "Offline", mark));
    EXPECT_EQ(Since(client, mark, kv), "availability Offline ");  // and no output state
    EXPECT_TRUE(bridge.Logged("board KV1 stopped answering: Offline\n"));
    client.Publish(kv + "out0/set", "ON");
    EXPECT_TRUE(bridge.Logged("ignored kelvorn/KV1/out0/set 'ON': the board is Offline\n"));

    mark = client.Messages().size();
    board.Replug();  // looked for again, by its serial: back with the pulse ended, out1 never on
    ASSERT_TRUE(client.Await(kv + "out2", "OFF", mark)) << bridge.Err();
    EXPECT_EQ(Since(client, mark, kv),
              "bridge rig availability Online in0 high in1 high in2 high in3 high in4 high "
              "out0 OFF out1 OFF out2 OFF ");
    EXPECT_EQ(board.Latch() & kOutputPins, kOutputPins);
    client.Publish(kv + "out0/set", "ON");
    ASSERT_TRUE(client.Await(kv + "out0", "ON", mark));
    EXPECT_EQ(board.Latch() & kOutputPins, kOutputPins & ~0x01);

    // A pulse whose pin read fails right after its write: dropped with the pulse ended, the board
    // comes back with that output off, not on with no pulse left to end it.
    mark = client.Messages().size();
    board.FailNext(request::ReadPins, EIO);
    client.Publish(kv + "out1/pulse", "60000");
    ASSERT_TRUE(client.Await(kv + "availability", "Offline", mark));
    mark = client.Messages().size();
    ASSERT_TRUE(client.Await(kv + "out2", "OFF", mark)) << bridge.Err();
    EXPECT_EQ(Since(client, mark, kv).find("out1 OFF"), Since(client, mark, kv).find("out1"));
    EXPECT_EQ(board.Latch() & kOutputPins, kOutputPins & ~0x01);
    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Wait(), 0) << bridge.Err();
}

TEST(MqttBridgeOnFt232r, SaysOnceThatNoBoardIsFoundAndAgainOnceAllBoardsHeldAreGone) {
    Testbed bed;
    EmulatedFt232r& adapter = bed.Add({.Serial = "FT9ZX01", .Description = "FT232R USB UART"});
    Broker broker;
    Client client(broker.Port());
    Process bridge({KELVORN_MQTT, "--host", "127.0.0.1", "--port", broker.PortText(), "--rescan",
                    "1", "--no-discovery"});
    const std::string none = "kelvorn-mqtt: no Kelvorn board found; looking again every 1 s\n";
    const auto said = [&] {
        const std::string err = bridge.Err();
        int times = 0;
        for (std::size_t at = 0; (at = err.find(none, at)) != std::string::npos; at += none.size())
            ++times;
        return times;
    };
    ASSERT_TRUE(bridge.Logged(none));
    const std::size_t look = adapter.ControlCount(request::ReadEeprom);  // a look reads it all
    ASSERT_TRUE(Eventually([&] { return adapter.ControlCount(request::ReadEeprom) >= 3 * look; }));
    EXPECT_EQ(said(), 1) << bridge.Err();  // not at the two looks after it
    EmulatedFt232r& board = bed.Add({.Serial = "KV2"});
    ASSERT_TRUE(client.Await("kelvorn/KV2/availability", "Online")) << bridge.Err();
    board.Unplug();
    ASSERT_TRUE(client.Await("kelvorn/KV2/availability", "Offline"));
    EXPECT_TRUE(Eventually([&] { return said() == 2; })) << bridge.Err();
    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Wait(), 0);
}

}  // namespace
}  // namespace ft232r
