// kelvorn-mqtt, the program, on emulated boards under umockdev and against a real broker: the
// board comes and goes, a serial of any bytes gives a safe topic level, and the FTDI devices that
// are not the bridge's own are only read.
#include <gtest/gtest.h>

#include <iostream>

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
                    "rig", "--rescan", "1", "--interval", "5", "--no-discovery"});
    const std::string id = "kelvorn/K_2F_23_2B_5F_E9/";
    ASSERT_TRUE(client.Await(id + "out2", "OFF")) << bridge.Err();
    EXPECT_TRUE(bridge.Logged("1 Kelvorn board(s) with an empty serial: left alone"));
    EXPECT_EQ(board.Latch() & kOutputPins, kOutputPins);

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
    bed.Add({.Serial = "KV000002"});
    EXPECT_TRUE(client.Await("kelvorn/KV000002/availability", "Online"));
    std::this_thread::sleep_for(1500ms);
    EXPECT_GT(reads(adapter), foreign);
    EXPECT_EQ(reads(board), held);
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

}  // namespace
}  // namespace ft232r
