// The mosquitto configuration and ACLs of docs/mqtt.md's Security section, and the trusted lab
// network's file before it, taken from the page as printed (only its ports, paths and bind address
// put in), on Debian's mosquitto: who may log in on which listener, and what each may publish, as
// the broker delivers it and the bridge obeys it.
#include <gtest/gtest.h>

#include "Harness.h"

namespace mqtt_test {
namespace {

// The fenced block of Page whose first line is First, without the fences.
std::string Block(const std::string& Page, const std::string& First) {
    const auto start = Page.find("```\n" + First + "\n");
    if (start == std::string::npos) throw std::runtime_error("no block " + First);
    const auto from = start + 4;
    return Page.substr(from, Page.find("```", from) - from);
}

// Text with From, which must be there, replaced by To.
std::string Put(std::string Text, const std::string& From, const std::string& To) {
    const auto at = Text.find(From);
    if (at == std::string::npos) throw std::runtime_error("no " + From + " in\n" + Text);
    return Text.replace(at, From.size(), To);
}

enum class Fate { Refused, Dropped, Delivered };

struct Attempt {
    const char* User;  // "" anonymous
    bool Tls;          // the TLS listener, else labgrid's
    const char* Topic;
    const char* Payload;
    Fate Then;
};

TEST(MosquittoSample, AnonymousStaysOffTheTlsListenerAndEachUserDoesOnlyWhatItsLinesAllow) {
    std::stringstream page;
    page << std::ifstream(KELVORN_DOCS "/mqtt.md").rdbuf();
    TempDir dir;
    MakeCertificates(dir);
    const std::string d = dir.Path.string() + "/";
    const int tls = FreePort(), lab = FreePort();
    std::string conf = Block(page.str(), "# /etc/mosquitto/conf.d/kelvorn.conf");
    conf = Put(conf, "\nlistener 8883\n", "\nlistener " + std::to_string(tls) + " 127.0.0.1\n");
    conf = Put(conf, "\nlistener 1883 10.0.42.1\n",
               "\nlistener " + std::to_string(lab) + " 127.0.0.1\n");
    for (const auto& [from, to] :
         {std::pair{"certs/broker.crt", "server.pem"}, {"certs/broker.key", "server.key"}})
        conf = Put(conf, std::string("/etc/mosquitto/") + from, d + to);
    while (conf.find("/etc/mosquitto/") != std::string::npos)
        conf = Put(conf, "/etc/mosquitto/", d);
    // Each ACL where the configuration names it, and each user it names with a password.
    const std::string users = dir.Write("passwd", "");
    for (const std::string acl : {"kelvorn.acl", "kelvorn-labgrid.acl"}) {
        std::istringstream lines(Block(page.str(), "# /etc/mosquitto/" + acl));
        dir.Write(acl, lines.str());
        for (std::string line; std::getline(lines, line);) {
            if (!line.starts_with("user ")) continue;
            const std::string user = line.substr(5);
            const std::string command = "mosquitto_passwd -b " + users + ' ' + user + ' ' + user;
            ASSERT_EQ(std::system((command + "-pw").c_str()), 0);
        }
    }
    Broker broker(conf, Broker::Own::Last);
    Client all(broker.Port());  // on the harness's own open listener: sees everything
    int syncs = 0;
    // Once all has its own message back, anything the broker delivered before has come.
    const auto sync = [&] {
        const std::string topic = "sync/" + std::to_string(++syncs);
        all.Publish(topic, "");
        const auto at = all.Await(topic, "");
        if (!at) throw std::runtime_error("the broker does not serve the test's own listener");
        return *at;
    };
    const auto publish = [&](const Attempt& A, const std::string& Password) {
        std::vector<std::string> args{
            "/usr/bin/mosquitto_pub", "-h", "localhost", "-q", "1", "-t", A.Topic, "-m", A.Payload};
        args.insert(args.end(), {"-p", std::to_string(A.Tls ? tls : lab)});
        if (A.Tls) args.insert(args.end(), {"--cafile", d + "ca.pem"});
        if (*A.User) args.insert(args.end(), {"-u", A.User, "-P", Password});
        Process pub(args, false);
        return pub.Wait();
    };

    // The bridge logs in as its user over TLS: state and discovery out, commands in.
    Process bridge({KELVORN_MQTT, "--sim", "--host", "localhost", "--port", std::to_string(tls),
                    "--cafile", d + "ca.pem", "--username", "bridge-lab1", "--password-file",
                    dir.Write("bridge-pw", "bridge-lab1-pw\n"), "--name", "lab1"});
    ASSERT_TRUE(all.Await("kelvorn/bridge/lab1/availability", "Online")) << bridge.Err();
    ASSERT_TRUE(all.Await("kelvorn/D4E5F6/out2", "OFF"));
    EXPECT_TRUE(all.Latest().contains("homeassistant/switch/kelvorn_D4E5F6/out2/config"));
    // Its index and heartbeat get through too: without them a hung bridge's boards read as live.
    EXPECT_TRUE(all.Await("kelvorn/bridge/lab1/boards",
                          R"({"boards":["A1B2C3","D4E5F6"],"heartbeat":2})"));
    EXPECT_TRUE(Eventually([&] { return all.Latest().contains("kelvorn/bridge/lab1/alive"); }));

    const Attempt attempts[] = {
        {"", true, "kelvorn/A1B2C3/out0/set", "ON", Fate::Refused},
        {"viewer", true, "kelvorn/A1B2C3/out0/set", "ON", Fate::Dropped},
        {"viewer", true, "kelvorn/A1B2C3/out1/pulse", "500", Fate::Dropped},
        {"rig-ci", true, "kelvorn/A1B2C3/out0", "ON", Fate::Dropped},
        {"rig-ci", true, "kelvorn/A1B2C3/out2/pulse", "60000", Fate::Delivered},
        {"rig-ci", true, "kelvorn/A1B2C3/out0/set", "ON", Fate::Delivered},
        {"homeassistant", true, "kelvorn/A1B2C3/out1/pulse", "500", Fate::Dropped},
        {"homeassistant", true, "homeassistant/status", "online", Fate::Delivered},
        {"homeassistant", true, "kelvorn/A1B2C3/out1/set", "ON", Fate::Delivered},
        {"", false, "kelvorn/D4E5F6/out0/set", "ON", Fate::Dropped},
        {"", false, "kelvorn/A1B2C3/out1/set", "OFF", Fate::Dropped},
        {"", false, "kelvorn/A1B2C3/out0/pulse", "500", Fate::Dropped},
        {"rig-ci", false, "kelvorn/A1B2C3/out0/set", "OFF", Fate::Dropped},
        {"", false, "kelvorn/A1B2C3/out0/set", "OFF", Fate::Delivered},
        {"viewer", true, "kelvorn/bridge/lab1/ping", "", Fate::Delivered},
        {"rig-ci", true, "kelvorn/bridge/lab1/ping", "", Fate::Delivered},
        {"homeassistant", true, "kelvorn/bridge/lab1/ping", "", Fate::Delivered},
        {"viewer", true, "kelvorn/bridge/lab1/alive", "stale", Fate::Dropped},
    };
    for (const Attempt& a : attempts) {
        SCOPED_TRACE(std::string(a.User) + (a.Tls ? " TLS " : " labgrid's ") + a.Topic);
        const std::size_t from = sync();
        const int status = publish(a, std::string(a.User) + "-pw");
        EXPECT_EQ(status != 0, a.Then == Fate::Refused) << "mosquitto_pub's status " << status;
        sync();
        EXPECT_EQ(all.Await(a.Topic, a.Payload, from, 0s).has_value(), a.Then == Fate::Delivered);
    }
    // What came through reached the bridge: out2 pulsed, out0 on then off again, out1 on.
    EXPECT_TRUE(all.Await("kelvorn/A1B2C3/out2", "ON"));
    const auto on = all.Await("kelvorn/A1B2C3/out0", "ON");
    EXPECT_TRUE(on && all.Await("kelvorn/A1B2C3/out0", "OFF", *on));
    EXPECT_TRUE(all.Await("kelvorn/A1B2C3/out1", "ON"));
    // A wrong password is refused too; a reader reads.
    EXPECT_NE(publish({"rig-ci", true, "kelvorn/A1B2C3/out0/set", "ON", {}}, "guess"), 0);
    Process viewer(
        {"/usr/bin/mosquitto_sub", "-h", "localhost", "-p", std::to_string(tls), "--cafile",
         d + "ca.pem", "-u", "viewer", "-P", "viewer-pw", "-C", "1", "-t", "kelvorn/A1B2C3/out1"},
        false);
    EXPECT_EQ(viewer.Wait(), 0);
    EXPECT_EQ(viewer.Out(), "ON\n");
    // The bridge's user reads back what it owns, and the pings sent to it.
    const auto bridgeReads = [&](const std::string& Topic) {
        return std::make_unique<Process>(
            std::vector<std::string>{"/usr/bin/mosquitto_sub", "-h", "localhost", "-p",
                                     std::to_string(tls), "--cafile", d + "ca.pem", "-u",
                                     "bridge-lab1", "-P", "bridge-lab1-pw", "-C", "1", "-W", "5",
                                     "-t", Topic},
            false);
    };
    for (const auto& [topic, payload] :
         {std::pair{"kelvorn/A1B2C3/out1", "ON\n"},
          {"kelvorn/D4E5F6/bridge", "lab1\n"},
          {"kelvorn/bridge/lab1/boards", R"({"boards":["A1B2C3","D4E5F6"],"heartbeat":2})" "\n"}}) {
        SCOPED_TRACE(topic);
        auto read = bridgeReads(topic);
        EXPECT_EQ(read->Wait(), 0);
        EXPECT_EQ(read->Out(), payload);
    }
    auto pings = bridgeReads("kelvorn/bridge/lab1/ping");
    EXPECT_TRUE(Eventually([&] {
        all.Publish("kelvorn/bridge/lab1/ping", "?");
        std::this_thread::sleep_for(50ms);
        return pings->Out() == "?\n";
    }));

    // From a desk with --mqtt: the user whose lines From your desk names switches; a reader reads,
    // and the command it may not send is refused at once, in the broker's words.
    const std::string script = dir.Write("script", "out 2 on\nexpect in2 low\n");
    struct Desk {
        const char* User;
        std::vector<std::string> Command;
        int Status;
        std::string Out, Err;
    };
    const Desk desks[] = {
        {"viewer", {"list"}, 0, "A1B2C3\nD4E5F6\n", ""},
        {"viewer", {"-s", "D4E5F6", "run", script}, 3, "",
         "kelvorn-io: not allowed to switch D4E5F6: the broker refused (not authorized)"
         " (line 1)\n"},
        {"rig-ci", {"-s", "D4E5F6", "run", script}, 0,
         "ok 2: in2 low\nexpectations: 1 met, 0 failed\n", ""},
    };
    for (const Desk& desk : desks) {
        std::vector<std::string> args{KELVORN_IO, "--mqtt",
                                      "mqtts://" + std::string(desk.User) + "@localhost:" +
                                          std::to_string(tls),
                                      "--cafile", d + "ca.pem", "--password-file",
                                      dir.Write("pw", std::string(desk.User) + "-pw\n")};
        args.insert(args.end(), desk.Command.begin(), desk.Command.end());
        Process io(args);
        SCOPED_TRACE(std::string(desk.User) + " " + desk.Command.front());
        EXPECT_EQ(io.Wait(), desk.Status);
        EXPECT_EQ(io.Out(), desk.Out);
        EXPECT_EQ(io.Err(), desk.Err);
    }

    // A user who may not clear a board's retained topics is told so, not that it is forgotten
    // (forced: the board's bridge is live).
    Process forget({KELVORN_MQTT, "--host", "localhost", "--port", std::to_string(tls), "--cafile",
                    d + "ca.pem", "--username", "rig-ci", "--password-file",
                    dir.Write("pw", "rig-ci-pw\n"), "--forget", "D4E5F6", "--force"});
    EXPECT_EQ(forget.Wait(), 1);
    EXPECT_EQ(forget.Err(),
              "kelvorn-mqtt: the broker did not confirm the cleared topics within 5 s (may this user "
              "publish and subscribe to them?); nothing is sure to be forgotten\n");
    sync();
    EXPECT_EQ(all.Latest()["kelvorn/D4E5F6/availability"], "Online");
}

// The trusted lab network's file as printed: a bridge and an anonymous client from elsewhere on
// its port (here through the loopback), and the client switches an output.
TEST(MosquittoSample, TheLabNetworkFileLetsAnyoneInWhoReachesItsPort) {
    std::stringstream page;
    page << std::ifstream(KELVORN_DOCS "/mqtt.md").rdbuf();
    const int lab = FreePort();
    Broker broker(Put(Block(page.str(), "# /etc/mosquitto/conf.d/kelvorn-lab.conf"),
                      "\nlistener 1883\n", "\nlistener " + std::to_string(lab) + "\n"));
    Client all(broker.Port());
    Process bridge({KELVORN_MQTT, "--sim", "--host", "127.0.0.1", "--port", std::to_string(lab),
                    "--name", "lab1", "--no-discovery"});
    ASSERT_TRUE(all.Await("kelvorn/A1B2C3/out0", "OFF")) << bridge.Err();
    Process pub({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(lab), "-q", "1",
                 "-t", "kelvorn/A1B2C3/out0/set", "-m", "ON"},
                false);
    EXPECT_EQ(pub.Wait(), 0);
    EXPECT_TRUE(all.Await("kelvorn/A1B2C3/out0", "ON"));
}

}  // namespace
}  // namespace mqtt_test
