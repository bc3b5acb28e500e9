// kelvorn-mqtt's command line, config file, password file and TLS, against a real broker.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <regex>
#include <set>
#include <sstream>

#include "Harness.h"
#include "mqtt/Connection.h"

namespace mqtt_test {
namespace {

struct Usage {
    std::vector<std::string> Args;
    int Status;
    std::string Out;  // the start of standard output
    std::string Err;  // the one line on standard error, after "kelvorn-mqtt: "
    bool Runs = false;  // the bridge runs, Err among its lines, until SIGTERM ends it (Status)
};

TEST(BridgeCommandLine, AnswersHelpAndVersionAndRefusesWhatItCannotUseWithStatus2) {
    TempDir dir;
    const std::string none = dir.Path / "none", see = " (see kelvorn-mqtt --help)";
    int files = 0;
    const auto config = [&](const std::string& Text) {
        return dir.Write(std::to_string(++files) + ".conf", Text);
    };
    const std::string hots = config("# a comment\n\nhots = broker.lan\n"),
                      zero = config("interval = 0\n"), maybe = config("sim = maybe\n"),
                      bare = config("host\n"), forget = config("forget = A1B2C3\n"),
                      help = config("help = true\n"), named = config("name = file\n"),
                      sims = config("sim-serials = K1,,K2\n"),
                      junk = config(std::string(100, 'x') + " = 1\n"),
                      big = config(std::string(1100000, '#')),
                      wide = config("# " + std::string(140000, 'x') + "\n"),
                      nocert = dir.Write("nocert.pem", "no certificate\n");
    const std::string a64 = std::string(64, 'a') + "...";
    const std::string fifo = dir.Path / "fifo.conf";  // a named pipe nobody writes to
    mkfifo(fifo.c_str(), 0600);
    const std::string port = std::to_string(FreePort()), broker = "127.0.0.1:" + port;
    const std::string refused = "connection refused by " + broker + "; retrying in 1 s";
    const Usage rows[] = {
        {{"--help"}, 0, "Bridges the Kelvorn boards", ""},
        {{"--version"}, 0, "kelvorn-mqtt 0.1.0\n", ""},
        {{"--bogus"}, 2, "", "unknown option --bogus" + see},
        {{"stray"}, 2, "", "unexpected argument stray" + see},
        {{"--host"}, 2, "", "--host needs a value" + see},
        {{"--interval", "0"}, 2, "", "--interval: not a whole number from 1 to 60000: 0" + see},
        {{"--interval", "60001"}, 2, "", "--interval: not a whole number from 1 to 60000: 60001" + see},
        {{"--port", "0"}, 2, "", "--port: not a whole number from 1 to 65535: 0" + see},
        {{"--keepalive", "4"}, 2, "", "--keepalive: not a whole number from 5 to 65535: 4" + see},
        {{"--name", "a/b"}, 2, "", "--name: not usable in a topic: a/b" + see},
        {{"--prefix", "kelvorn/#"}, 2, "", "--prefix: not usable in a topic: kelvorn/#" + see},
        {{"--prefix", "a//b"}, 2, "", "--prefix: not usable in a topic: a//b" + see},
        {{"--prefix", "kelvorn/"}, 2, "", "--prefix: not usable in a topic: kelvorn/" + see},
        {{"--prefix", ""}, 2, "", "--prefix: not usable in a topic" + see},
        {{"--serial", ""}, 2, "", "--serial: an empty serial names no board" + see},
        {{"--forget", ""}, 2, "", "--forget: an empty serial names no board" + see},
        {{"--inputs-on", "sideways"}, 2, "", "--inputs-on: not low or high: sideways" + see},
        {{"--sim-serials", "K1,,K2"}, 2, "", "--sim-serials: an empty serial names no board: K1,,K2" + see},
        {{"--sim-serials", "K1,0123456789ABCDEFG"}, 2, "", "--sim-serials: a serial has 16 bytes at most: 0123456789ABCDEFG" + see},
        {{"--sim-serials", "K1,K2,K1"}, 2, "", "--sim-serials: serial named twice: K1" + see},
        {{"--config", sims}, 2, "", sims + ":1: sim-serials: an empty serial names no board: K1,,K2"},
        {{"--config", hots}, 2, "", hots + ":3: unknown option \"hots\""},
        {{"--config", zero}, 2, "", zero + ":1: interval: not a whole number from 1 to 60000: 0"},
        {{"--config", maybe}, 2, "", maybe + ":1: sim = maybe: not true or false"},
        {{"--config", bare}, 2, "", bare + ":1: host needs a value: host = ..."},
        {{"--config", forget}, 2, "", forget + ":1: forget is for the command line only"},
        {{"--config", help}, 2, "", help + ":1: help is for the command line only"},
        {{"--config", dir.Path / "missing.conf"}, 2, "", "cannot read the config file " + (dir.Path / "missing.conf").string()},
        {{"--prefix", "a\x01" "b"}, 2, "", "--prefix: not usable in a topic: a\\x01b" + see},
        {{"--name", "\xFF"}, 2, "", "--name: not usable in a topic: \\xFF" + see},
        {{"--prefix", std::string(70000, 'a')}, 2, "", "--prefix: not usable in a topic: " + a64 + see},
        {{"--prefix", std::string(65500, 'a')}, 2, "", "--prefix and --name: a topic would be over 65535 bytes"},
        {{"--username", "r\xC3\x28"}, 2, "", "--username: not UTF-8 without control characters: r\\xC3(" + see},
        {{"--config", dir.Path}, 2, "", "cannot read the config file " + dir.Path.string() + ": not a regular file"},
        {{"--config", "/dev/zero"}, 2, "", "cannot read the config file /dev/zero: not a regular file"},
        {{"--config", fifo}, 2, "", "cannot read the config file " + fifo + ": not a regular file"},
        {{"--config", big}, 2, "", "cannot read the config file " + big + ": over 1 MB, not a config file"},
        {{"--config", wide}, 2, "", wide + ":1: a line of over 128 KB"},
        {{"--config", junk}, 2, "", junk + ":1: unknown option \"" + std::string(64, 'x') + "...\""},
        {{"--cafile", nocert}, 3, "", "TLS: no CA certificate in " + nocert},
        {{"--password-file", none}, 2, "", "--password-file needs --username"},
        {{"--username", "u", "--password-file", none}, 2, "",
         "cannot read the password file " + none + ": No such file or directory"},
        {{"--cafile", none}, 2, "", "cannot read the CA file " + none},
        {{"--host", "127.0.0.1", "--port", port, "--config", named, "--name", "cli"}, 0, "",
         "broker " + broker + ", topics kelvorn/..., bridge kelvorn/bridge/cli/availability", true},
        {{"--host", "127.0.0.1", "--port", port, "--serial", "A1B2C3", "--serial", "D4E5F6"}, 0,
         "", "board A1B2C3 taken\nkelvorn-mqtt: board D4E5F6 taken", true},
        {{"--host", "127.0.0.1", "--port", port, "--sim-serials", "K1, K2"}, 0, "",
         "board K1 taken\nkelvorn-mqtt: board K2 taken\nkelvorn-mqtt: " + refused, true},
        {{"--host", "127.0.0.1", "--port", port, "--sim-serials", "K3", "--config", sims}, 0, "",
         "board K3 taken\nkelvorn-mqtt: " + refused, true},
    };
    for (const Usage& row : rows) {
        std::vector<std::string> args{KELVORN_MQTT, "--sim"};
        args.insert(args.end(), row.Args.begin(), row.Args.end());
        Process p(args);
        SCOPED_TRACE(args.back());
        if (row.Runs) {
            EXPECT_TRUE(p.Logged("kelvorn-mqtt: " + row.Err + "\n")) << p.Err();
            p.Signal(SIGTERM);
        }
        EXPECT_EQ(p.Wait(), row.Status);
        EXPECT_TRUE(p.Out().starts_with(row.Out)) << p.Out();
        if (!row.Runs) {
            EXPECT_EQ(p.Err(), row.Err.empty() ? "" : "kelvorn-mqtt: " + row.Err + "\n");
        }
    }
}

TEST(BridgeCommandLine, HelpNamesEachOptionAsTheManualPageDoesAndNothingElse) {
    Process help({KELVORN_MQTT, "--help"});
    EXPECT_EQ(help.Wait(), 0);
    // The manual's option lines: .BI \-\-port " PORT", .B \-\-sim, .BR \-h ", " \-\-help.
    std::ifstream manual(KELVORN_MQTT_MANUAL);
    std::set<std::string> documented, shown;
    bool options = false;
    for (std::string line, before; std::getline(manual, line); before = line) {
        if (line.starts_with(".SH")) options = line == ".SH OPTIONS";
        std::smatch m;
        if (options && before == ".TP" && std::regex_match(line, m, std::regex(R"re(\.B[IR]? (\\-h ", " )?\\-\\-([a-z\\-]+)( " ([A-Z]+)")?)re")))
            documented.insert(std::regex_replace(
                (m[1].matched ? "-h,--" : "--") + m[2].str() + (m[4].matched ? " " + m[4].str() : ""),
                std::regex(R"(\\-)"), "-"));
    }
    const std::string text = help.Out();
    const std::regex option(R"(\n  ((-h,)?--[a-z-]+( [A-Z]+)?) )");
    for (std::sregex_iterator m(text.begin(), text.end(), option), end; m != end; ++m)
        shown.insert((*m)[1]);
    EXPECT_EQ(shown, documented);
    for (const char* artefact : {"TEXT", "INT", "Needs:", "Excludes:", "[1 - ", "REQUIRED", " ..."})
        EXPECT_THAT(text, testing::Not(testing::HasSubstr(artefact)));
}

TEST(BridgeBrokerErrors, AreSaidInPlainWordsOnceAndRetried) {
    const std::string port = std::to_string(FreePort());
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"--host", "broker.invalid"}, "host broker.invalid not found"},
        {{"--host", "127.0.0.1", "--port", port}, "connection refused by 127.0.0.1:" + port},
    };
    for (const auto& [args, why] : rows) {
        std::vector<std::string> command{KELVORN_MQTT, "--sim"};
        command.insert(command.end(), args.begin(), args.end());
        Process bridge(command);
        EXPECT_TRUE(bridge.Logged("kelvorn-mqtt: " + why + "; retrying in 1 s\n", 30s)) << bridge.Err();
        bridge.Signal(SIGTERM);
        EXPECT_EQ(bridge.Wait(), 0);
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
                "username = kelvorn\npassword-file = " + dir.Write("password", Password) +
                "\nserial = D4E5F6\nno-discovery = true\n");
    };
    {
        Process wrong({KELVORN_MQTT, "--sim", "--config", config("wrong\n")});
        EXPECT_TRUE(wrong.Logged("the broker refused the user name or password; retrying in 1 s"));
        std::this_thread::sleep_for(3500ms);  // tried again after 1 s and 2 s more, silently
        std::istringstream log(broker.Log());
        int attempts = 0;
        for (std::string line; std::getline(log, line);)
            attempts += line.find("New connection") != std::string::npos &&
                        line.ends_with("on port " + std::to_string(port) + ".");
        EXPECT_TRUE(attempts == 2 || attempts == 3) << broker.Log();  // at 0, 1 and 3 s
        wrong.Signal(SIGTERM);
        EXPECT_EQ(wrong.Wait(), 0);
        EXPECT_EQ(wrong.Lines(), 4) << wrong.Err();  // and no board said Online
        EXPECT_THAT(wrong.Err(), testing::HasSubstr("kelvorn-mqtt: board D4E5F6 taken\n"));
    }
    for (const char* end : {"\n", "\r\n"}) {  // a file written on Windows works alike
        const std::size_t mark = client.Messages().size();
        Process right({KELVORN_MQTT, "--sim", "--config", config("s3cret" + std::string(end))});
        ASSERT_TRUE(client.Await("kelvorn/D4E5F6/out2", "OFF", mark)) << right.Err();
        EXPECT_EQ(client.Latest()["kelvorn/bridge/cfg/availability"], "Online");
        right.Signal(SIGTERM);
        EXPECT_EQ(right.Wait(), 0);
    }
    for (const Received& m : client.Messages()) {
        EXPECT_EQ(m.Topic.find("A1B2C3"), std::string::npos) << "only the board asked for";
        EXPECT_FALSE(m.Topic.starts_with("homeassistant/"));
    }
}

TEST(BridgeCredentials, VerifiesTheBrokersCertificateAndHostName) {
    TempDir dir;
    MakeCertificates(dir);
    const int port = FreePort(), nothing = FreePort(), wild = FreePort();
    const std::string d = dir.Path.string() + "/";
    // A certificate for b*.test.lan, which mosquitto_sub refuses for bx.test.lan.
    ASSERT_EQ(std::system(("cd " + d + " && openssl req -new -key server.key -subj /CN=wild -out "
                           "wild.csr && printf 'subjectAltName=DNS:b*.test.lan\n' > wild.san && "
                           "openssl x509 -req -in wild.csr -CA ca.pem -CAkey ca.key -days 2 "
                           "-extfile wild.san -out wild.pem 2>/dev/null").c_str()), 0);
    Broker broker(Listener(port, "allow_anonymous true\ncafile " + d + "ca.pem\ncertfile " + d +
                                     "server.pem\nkeyfile " + d + "server.key\n") +
                  Listener(wild, "allow_anonymous true\ncertfile " + d + "wild.pem\nkeyfile " + d +
                                     "server.key\n"));
    Client client(broker.Port());
    // Names of test.lan resolve in the bridge's own /etc/hosts (a mount namespace of its own):
    // dual.test.lan to ::1 first, where nothing listens, then to 127.0.0.1.
    const std::string hosts =
        dir.Write("hosts", "::1 dual.test.lan\n127.0.0.1 dual.test.lan bx.test.lan\n");
    // Ca "": no TLS.
    const auto bridge = [&](const std::string& Host, int Port, const std::string& Ca) {
        std::vector<std::string> args{KELVORN_MQTT, "--sim",  "--host", Host,
                                      "--port",     std::to_string(Port), "--name", Host};
        if (Host.ends_with(".test.lan"))
            args.insert(args.begin(), {"/usr/bin/unshare", "-m", "sh", "-c",
                                       "mount --bind " + hosts + " /etc/hosts && exec \"$0\" \"$@\""});
        if (!Ca.empty()) args.insert(args.end(), {"--cafile", d + Ca});
        return std::make_unique<Process>(args);
    };
    const std::string untrusted = "TLS: the broker's certificate is not trusted (--cafile)",
                      tls = "localhost:" + std::to_string(port),
                      plain = "localhost:" + broker.PortText(), none = std::to_string(nothing);
    const std::tuple<std::string, int, std::string, std::string> rows[] = {
        {"localhost", port, "other.pem", untrusted},  // a stranger's certificate
        {"127.0.0.1", port, "ca.pem", untrusted},     // not the name asked for
        {"localhost", broker.Port(), "ca.pem", plain + " does not speak TLS (mqtt://?)"},
        {"localhost", port, "", tls + " closed the connection (a TLS port? mqtts://)"},
        {"127.0.0.1", nothing, "ca.pem", "connection refused by 127.0.0.1:" + none},
        {"bx.test.lan", wild, "ca.pem", untrusted},  // a partial wildcard matches nothing
    };
    for (const auto& [host, at, ca, why] : rows) {
        SCOPED_TRACE(host + ":" + std::to_string(at) + " " + ca);
        auto refused = bridge(host, at, ca);
        EXPECT_TRUE(refused->Logged(why + "; retrying in 1 s\n")) << refused->Err();
        std::this_thread::sleep_for(1500ms);  // tried again, silently
        refused->Signal(SIGTERM);
        EXPECT_EQ(refused->Wait(), 0);
        EXPECT_EQ(refused->Lines(), 5) << refused->Err();
    }
    auto dual = bridge("dual.test.lan", broker.Port(), "");  // on 127.0.0.1 only
    EXPECT_TRUE(client.Await("kelvorn/bridge/dual.test.lan/availability", "Online")) << dual->Err();
    auto trusted = bridge("localhost", port, "ca.pem");
    EXPECT_TRUE(client.Await("kelvorn/bridge/localhost/availability", "Online")) << trusted->Err();
    EXPECT_TRUE(client.Await("kelvorn/D4E5F6/out2", "OFF"));
    for (const Received& m : client.Messages())
        EXPECT_EQ(m.Topic.find("kelvorn/bridge/127.0.0.1"), std::string::npos);
    trusted->Signal(SIGTERM);
    EXPECT_EQ(trusted->Wait(), 0);
}

// The connection to the broker at Port as the programs make it, and the events it gave so far.
struct Connected {
    explicit Connected(int Port, const std::string& User = "", const std::string& Password = "")
        : connection(kmqtt::Broker{"127.0.0.1", Port, User, Password, false, "",
                                   kmqtt::UniqueClientId("test")},
                     "", [] {}) {
        connection.Start();
    }
    // The first event that Match takes, once it came (within 10 s).
    const kmqtt::Connection::Event* Await(const std::function<bool(const kmqtt::Connection::Event&)>& Match) {
        const kmqtt::Connection::Event* found = nullptr;
        Eventually([&] {
            for (kmqtt::Connection::Event& e : connection.Take()) events.push_back(std::move(e));
            for (const auto& e : events)
                if (!found && Match(e)) found = &e;
            return found != nullptr;
        });
        return found;
    }
    using Kind = kmqtt::Connection::Event::Kind;
    kmqtt::Connection connection;
    std::deque<kmqtt::Connection::Event> events;
};

TEST(BrokerConnection, AQos1MessageTheBrokersAclRefusesIsAnsweredWithItsReasonUnderMqtt5) {
    TempDir dir;
    const std::string users = dir.Write("users", "");
    ASSERT_EQ(std::system(("mosquitto_passwd -b " + users + " reader s3cret").c_str()), 0);
    const int port = FreePort();
    Broker broker(Listener(port, "allow_anonymous false\npassword_file " + users + "\nacl_file " +
                                     dir.Write("acl", "user reader\ntopic read kelvorn/#\n") + "\n"));
    Connected reader(port, "reader", "s3cret");
    ASSERT_TRUE(reader.Await([](const auto& E) { return E.What == Connected::Kind::Up; }));
    EXPECT_TRUE(reader.connection.Mqtt5());
    int mid = 0;
    ASSERT_TRUE(reader.connection.Publish("kelvorn/A1B2C3/out0/set", "ON", false, 1, &mid));
    const auto* answer = reader.Await([&](const auto& E) {
        return E.What == Connected::Kind::Published && E.Mid == mid;
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Code, 135);  // not authorized
}

TEST(BrokerConnection, AQos1MessageUnansweredWhenTheConnectionIsLostIsNotSentOnTheNextOne) {
    Broker broker;
    Connected c(broker.Port());
    const auto ups = [&](std::size_t N) {
        return [&, N](const auto&) {
            return std::count_if(c.events.begin(), c.events.end(),
                                 [](const auto& E) { return E.What == Connected::Kind::Up; }) >= long(N);
        };
    };
    ASSERT_TRUE(c.Await(ups(1)));
    broker.Signal(SIGSTOP);  // it reads nothing more, and answers nothing
    int mid = 0;
    ASSERT_TRUE(c.connection.Publish("kelvorn-test/command", "ON", true, 1, &mid));
    std::this_thread::sleep_for(200ms);  // sent into the socket
    broker.Kill();
    broker.Start();
    ASSERT_TRUE(c.Await(ups(2)));
    ASSERT_TRUE(c.connection.Publish("kelvorn-test/mark", "", false, 1, &mid));
    ASSERT_TRUE(c.Await([&](const auto& E) { return E.What == Connected::Kind::Published && E.Mid == mid; }));
    Client late(broker.Port());
    ASSERT_TRUE(late.Settled());
    EXPECT_FALSE(late.Latest().contains("kelvorn-test/command"));
}

// A message that waited in the socket while the whole process was stopped: its At is from before
// the stop, as a command that old is one its sender has given up on. The connection runs in a
// child process, which the test stops.
TEST(BrokerConnection, AMessageReadAfterTheProcessWasStoppedCountsAsComeBeforeTheStop) {
    Broker broker;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    if (child == 0) {
        Connected c(broker.Port());
        const bool ready =
            c.Await([](const auto& E) { return E.What == Connected::Kind::Up; }) &&
            c.connection.Subscribe("kelvorn-test/#") != 0 &&
            c.Await([](const auto& E) { return E.What == Connected::Kind::Subscribed; });
        long waited = -1;
        [[maybe_unused]] ssize_t n = write(report[1], &waited, sizeof waited);  // subscribed
        const auto* m = ready ? c.Await([](const auto& E) { return E.What == Connected::Kind::Message; })
                              : nullptr;
        if (m) waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m->At).count();
        n = write(report[1], &waited, sizeof waited);
        _exit(0);
    }
    close(report[1]);  // a child that dies ends the reads
    long waited = 0;
    ASSERT_EQ(read(report[0], &waited, sizeof waited), static_cast<ssize_t>(sizeof waited));
    kill(child, SIGSTOP);
    Client sender(broker.Port());
    sender.Publish("kelvorn-test/late", "x");
    std::this_thread::sleep_for(2s);  // the stop: the message waits in the child's socket
    kill(child, SIGCONT);
    ASSERT_EQ(read(report[0], &waited, sizeof waited), static_cast<ssize_t>(sizeof waited));
    EXPECT_GE(waited, 1900);
    waitpid(child, nullptr, 0);
    close(report[0]);
}

}  // namespace
}  // namespace mqtt_test
