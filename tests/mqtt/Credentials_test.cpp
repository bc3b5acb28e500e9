// kelvorn-mqtt's command line, config file, password file and TLS, against a real broker.
#include <gtest/gtest.h>

#include <sstream>

#include "Harness.h"

namespace mqtt_test {
namespace {

struct Usage {
    std::vector<std::string> Args;
    int Status;
    std::string Out;  // the start of standard output
    std::string Err;  // a part of the one line on standard error
};

TEST(BridgeCommandLine, AnswersHelpAndVersionAndRefusesWhatItCannotUseWithStatus2) {
    TempDir dir;
    const std::string badKey = dir.Write("bad-key.conf", "# a comment\nhots = broker.lan\n");
    const std::string badValue = dir.Write("bad-value.conf", "interval = 0\n");
    const Usage rows[] = {
        {{"--help"}, 0, "Bridges the Kelvorn boards", ""},
        {{"--version"}, 0, "kelvorn-mqtt 0.1.0\n", ""},
        {{"--bogus"}, 2, "", "--bogus"},
        {{"--interval", "0"}, 2, "", "--interval"},
        {{"--interval", "60001"}, 2, "", "--interval"},
        {{"--port", "0"}, 2, "", "--port"},
        {{"--name", "a/b"}, 2, "", "not usable in a topic: a/b"},
        {{"--prefix", "kelvorn/#"}, 2, "", "not usable in a topic: kelvorn/#"},
        {{"--config", badKey}, 2, "", "hots"},
        {{"--config", badValue}, 2, "", "interval"},
        {{"--config", dir.Path / "missing.conf"}, 2, "", "missing.conf"},
        {{"--password-file", dir.Path / "none"}, 2, "", "--username"},
        {{"--username", "u", "--password-file", dir.Path / "none"},
         2,
         "",
         "cannot read the password file " + (dir.Path / "none").string()},
        {{"--cafile", dir.Path / "none"}, 2, "", "cannot read the CA file"},
    };
    for (const Usage& row : rows) {
        std::vector<std::string> args{KELVORN_MQTT, "--sim"};
        args.insert(args.end(), row.Args.begin(), row.Args.end());
        Process p(args);
        SCOPED_TRACE(args.back());
        EXPECT_EQ(p.Wait(), row.Status);
        EXPECT_TRUE(p.Out().starts_with(row.Out)) << p.Out();
        if (row.Err.empty()) {
            EXPECT_EQ(p.Err(), "");
        } else {
            EXPECT_TRUE(p.Err().starts_with("kelvorn-mqtt: ")) << p.Err();
            EXPECT_NE(p.Err().find(row.Err), std::string::npos) << p.Err();
            EXPECT_EQ(p.Lines(), 1) << p.Err();
        }
    }
}

// The broker's second listener, on Port, asks for what Settings say.
std::string Listener(int Port, const std::string& Settings) {
    return "listener " + std::to_string(Port) + " 127.0.0.1\n" + Settings;
}

TEST(BridgeCredentials, ConnectsWithAPasswordFileFromTheConfigAndRetriesWhenRefused) {
    const int port = FreePort();
    TempDir dir;
    const std::string users = dir.Write("users", "");
    ASSERT_EQ(std::system(("mosquitto_passwd -b " + users + " kelvorn s3cret").c_str()), 0);
    Broker broker(Listener(port, "allow_anonymous false\npassword_file " + users + "\n"));
    Client client(broker.Port());
    const auto config = [&](const std::string& Password) {
        return dir.Write(
            "bridge.conf",
            "# the bridge\nhost = 127.0.0.1\nport = " + std::to_string(port) + "\nname = cfg\n" +
                "username = kelvorn\npassword-file = " + dir.Write("password", Password + "\n") +
                "\nserial = D4E5F6\nno-discovery = true\n");
    };
    {
        Process wrong({KELVORN_MQTT, "--sim", "--config", config("wrong")});
        EXPECT_TRUE(wrong.Logged("the broker refused the user name or password; retrying"));
        std::this_thread::sleep_for(3500ms);  // tried again after 1 s and 2 s more, silently
        std::istringstream log(broker.Log());
        int attempts = 0;
        for (std::string line; std::getline(log, line);)
            attempts += line.find("New connection") != std::string::npos &&
                        line.ends_with("on port " + std::to_string(port) + ".");
        EXPECT_TRUE(attempts == 2 || attempts == 3) << broker.Log();  // at 0, 1 and 3 s
        wrong.Signal(SIGTERM);
        EXPECT_EQ(wrong.Wait(), 0);
        EXPECT_EQ(wrong.Lines(), 4) << wrong.Err();
    }
    Process right({KELVORN_MQTT, "--sim", "--config", config("s3cret")});
    ASSERT_TRUE(client.Await("kelvorn/D4E5F6/out2", "OFF")) << right.Err();
    EXPECT_EQ(client.Latest()["kelvorn/bridge/cfg/availability"], "Online");
    right.Signal(SIGTERM);
    EXPECT_EQ(right.Wait(), 0);
    for (const Received& m : client.Messages()) {
        EXPECT_EQ(m.Topic.find("A1B2C3"), std::string::npos) << "only the board asked for";
        EXPECT_FALSE(m.Topic.starts_with("homeassistant/"));
    }
}

TEST(BridgeCredentials, VerifiesTheBrokersCertificateAndHostName) {
    TempDir dir;
    MakeCertificates(dir);
    const int port = FreePort();
    const std::string d = dir.Path.string() + "/";
    Broker broker(Listener(port, "allow_anonymous true\ncafile " + d + "ca.pem\ncertfile " + d +
                                     "server.pem\nkeyfile " + d + "server.key\n"));
    Client client(broker.Port());
    const auto bridge = [&](const char* Host, const char* Ca) {
        return std::make_unique<Process>(
            std::vector<std::string>{KELVORN_MQTT, "--sim", "--host", Host, "--port",
                                     std::to_string(port), "--cafile", d + Ca, "--name", Host});
    };
    for (const auto& [host, ca] : {std::pair{"localhost", "other.pem"}, {"127.0.0.1", "ca.pem"}}) {
        SCOPED_TRACE(std::string(host) + " " + ca);
        auto refused = bridge(host, ca);  // a stranger's certificate, or not the name asked for
        EXPECT_TRUE(refused->Logged("TLS: the broker's certificate is not trusted (--cafile); retrying")) << refused->Err();
        std::this_thread::sleep_for(1500ms);
        refused->Signal(SIGTERM);
        EXPECT_EQ(refused->Wait(), 0);
        EXPECT_EQ(refused->Lines(), 5) << refused->Err();
    }
    auto trusted = bridge("localhost", "ca.pem");
    EXPECT_TRUE(client.Await("kelvorn/bridge/localhost/availability", "Online")) << trusted->Err();
    EXPECT_TRUE(client.Await("kelvorn/D4E5F6/out2", "OFF"));
    for (const Received& m : client.Messages())
        EXPECT_EQ(m.Topic.find("kelvorn/bridge/127.0.0.1"), std::string::npos);
    trusted->Signal(SIGTERM);
    EXPECT_EQ(trusted->Wait(), 0);
}

}  // namespace
}  // namespace mqtt_test
