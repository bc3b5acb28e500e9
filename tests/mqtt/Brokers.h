// The brokers the tests run the bridge and its clients on, each started by the test on free ports
// of 127.0.0.1 and stopped with it: Debian's mosquitto; aedes (tests/brokers, from npm); two aedes
// nodes sharing a Redis; two mosquittos linked by docs/mqtt.md's room broker sample; Debian's
// RabbitMQ with its MQTT plugin (MQTT 3.1.1 only, no retained message to a wildcard
// subscription: the few tables that matter run on it beside the others). kelvorn-mqtt
// connects to BridgePort(), the clients (MqttDriver, kelvorn-io --mqtt, the watching Client) to
// ClientPort(): one broker, or the other end of the cluster or link.
#pragma once

#include <array>

#include "Harness.h"

namespace mqtt_test {

enum class Kind { Mosquitto, Aedes, AedesCluster, MosquittoBridged, RabbitMq };
inline constexpr std::array kEveryBroker{Kind::Mosquitto, Kind::Aedes, Kind::AedesCluster,
                                         Kind::MosquittoBridged};

// The test name's last part.
inline std::string KindName(Kind K) {
    switch (K) {
        case Kind::Mosquitto: return "mosquitto";
        case Kind::Aedes: return "aedes";
        case Kind::AedesCluster: return "aedes_redis_cluster";
        case Kind::MosquittoBridged: return "mosquitto_bridged";
        case Kind::RabbitMq: return "rabbitmq";
    }
    return "unknown";
}
inline void PrintTo(Kind K, std::ostream* Out) { *Out << KindName(K); }  // in a failure's report

// The block of docs/mqtt.md that starts with the line First, without its fences.
inline std::string PageBlock(const std::string& First) {
    std::stringstream read;
    read << std::ifstream(KELVORN_MQTT_PAGE).rdbuf();
    const std::string page = read.str();
    const auto start = page.find("```\n" + First + "\n");
    if (start == std::string::npos) throw std::runtime_error("docs/mqtt.md has no block " + First);
    return page.substr(start + 4, page.find("```", start + 4) - start - 4);
}

// The room broker's link of docs/mqtt.md as printed, to the central broker at CentralPort.
inline std::string RoomLink(int CentralPort) {
    std::string conf = PageBlock("# /etc/mosquitto/conf.d/kelvorn-room.conf");
    const std::string central = "address central.lan:1883\n";
    const auto at = conf.find(central);
    if (at == std::string::npos) throw std::runtime_error("the room sample has no " + central);
    return conf.replace(at, central.size(), "address 127.0.0.1:" + std::to_string(CentralPort) + "\n");
}

// One aedes node of tests/brokers/aedes-node.js, alone or on the Redis at RedisPort.
inline std::unique_ptr<Process> AedesNode(int Port, int RedisPort = 0) {
    if (!std::filesystem::exists(KELVORN_SOURCE_DIR "/tests/brokers/node_modules/aedes"))
        throw std::runtime_error("aedes is not installed: run npm ci --prefix tests/brokers");
    std::vector<std::string> args{KELVORN_NODE, KELVORN_SOURCE_DIR "/tests/brokers/aedes-node.js",
                                  "--port", std::to_string(Port)};
    if (RedisPort) args.insert(args.end(), {"--redis-port", std::to_string(RedisPort)});
    auto node = std::make_unique<Process>(args, false);
    if (!Eventually([&] { return node->Out() == "ready\n"; }))
        throw std::runtime_error("aedes did not start: " + node->Err());
    return node;
}

// Debian's RabbitMQ, a node of its own (its name, database, logs and Erlang cookie in a temp dir,
// its own epmd on a free port) with the MQTT plugin on a free port of 127.0.0.1, anonymous
// clients as guest on the default vhost. It takes 5 to 10 s to start: an Erlang VM, its boot
// steps, and the MQTT plugin's wait of 3 to 6 s (random, not configurable in 3.10) for peers to
// join its Raft cluster. So the tables run on it only where it tells something.
class RabbitMq {
public:
    RabbitMq() {
        dir_.Write("enabled_plugins", "[rabbitmq_mqtt].\n");
        dir_.Write("rabbitmq.conf", "listeners.tcp = none\nmqtt.listeners.tcp.default = 127.0.0.1:" +
                                        std::to_string(port_) +
                                        "\nmqtt.allow_anonymous = true\nloopback_users = none\n");
        Start();
    }
    // Starts it (again), empty, on the same ports; returns once it serves MQTT.
    void Start() {
        const std::string d = dir_.Path.string();
        std::filesystem::remove_all(dir_.Path / "mnesia");
        epmd_ = std::make_unique<Process>(
            std::vector<std::string>{KELVORN_EPMD, "-port", std::to_string(epmdPort_)}, false);
        if (!Eventually([&] { return Listening(epmdPort_); }))
            throw std::runtime_error("epmd did not start: " + epmd_->Err());
        // RABBITMQ_ALLOW_INPUT: the script execs the VM instead of minding it from a shell, so
        // that the VM is the process killed with the test (-noinput all the same); -start_epmd
        // false: no epmd of its own, which would outlive the test.
        node_ = std::make_unique<Process>(
            std::vector<std::string>{KELVORN_RABBITMQ_SERVER}, false,
            std::vector<std::string>{
                "HOME=" + d, "RABBITMQ_NODENAME=kelvorn-test-" + std::to_string(port_) + "@localhost",
                "RABBITMQ_MNESIA_BASE=" + d + "/mnesia", "RABBITMQ_LOG_BASE=" + d + "/log",
                "RABBITMQ_LOGS=-", "RABBITMQ_CONFIG_FILE=" + d + "/rabbitmq.conf",
                "RABBITMQ_ENABLED_PLUGINS_FILE=" + d + "/enabled_plugins",
                "RABBITMQ_NODE_PORT=" + std::to_string(FreePort()),
                "RABBITMQ_DIST_PORT=" + std::to_string(FreePort()),
                "ERL_EPMD_PORT=" + std::to_string(epmdPort_), "RABBITMQ_ALLOW_INPUT=1",
                "RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS=-start_epmd false -noinput -mnesia core_dir \"" +
                    d + "\"",
                "ERL_CRASH_DUMP=" + d + "/erl_crash.dump"});  // not in the test's folder
        if (!Eventually([&] { return Log().find("Server startup complete") != std::string::npos; },
                        90s))
            throw std::runtime_error("rabbitmq-server did not start: " + Log() + node_->Err());
    }
    void Kill() {
        node_.reset();
        epmd_.reset();
    }
    void Signal(int Number) const { node_->Signal(Number); }
    std::string Log() const { return node_->Out(); }
    int Port() const { return port_; }

private:
    static bool Listening(int Port) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(Port)), {htonl(INADDR_LOOPBACK)}, {}};
        const bool taken = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        return taken;
    }
    TempDir dir_;
    int port_ = FreePort(), epmdPort_ = FreePort();
    std::unique_ptr<Process> epmd_, node_;
};

class Site {
public:
    explicit Site(Kind K) : kind_(K) {
        if (kind_ == Kind::Mosquitto || kind_ == Kind::MosquittoBridged)
            central_ = std::make_unique<Broker>();
        if (kind_ == Kind::MosquittoBridged)
            // The link also carries the harness's probe, to know when it is up.
            room_ = std::make_unique<Broker>(RoomLink(central_->Port()) +
                                             "topic kelvorn-link/# both 1\n");
        if (kind_ == Kind::Aedes || kind_ == Kind::AedesCluster) nodePort_[0] = FreePort();
        if (kind_ == Kind::AedesCluster) nodePort_[1] = FreePort(), redisPort_ = FreePort();
        if (kind_ == Kind::RabbitMq) rabbit_ = std::make_unique<RabbitMq>();
        if (!central_ && !rabbit_) Start();
        Linked();
    }
    Kind What() const { return kind_; }
    // Whether the bridge's broker speaks MQTT 5 (aedes 1 speaks 3.1.1 only).
    bool Mqtt5() const { return central_ != nullptr; }
    // Whether a subscription with a wildcard brings the retained messages it matches (RabbitMQ
    // sends them to exact subscriptions only).
    bool RetainedToWildcards() const { return kind_ != Kind::RabbitMq; }
    int BridgePort() const {
        return central_ ? central_->Port() : rabbit_ ? rabbit_->Port() : nodePort_[0];
    }
    int ClientPort() const {
        return room_ ? room_->Port() : nodePort_[1] ? nodePort_[1] : BridgePort();
    }
    std::string BridgePortText() const { return std::to_string(BridgePort()); }
    std::string ClientPortText() const { return std::to_string(ClientPort()); }
    // The bridge's broker's log (mosquitto's) or standard error (aedes's).
    std::string Log() const {
        return central_ ? central_->Log() : rabbit_ ? rabbit_->Log() : nodes_[0]->Err();
    }

    // Every process of it ended: nothing it retained is left.
    void Kill() {
        if (room_) room_->Kill();
        if (central_) central_->Kill();
        if (rabbit_) rabbit_->Kill();
        nodes_[1].reset();
        nodes_[0].reset();
        redis_.reset();
    }
    // The bridge's broker stopped (SIGSTOP) or going on: while it is stopped nothing the bridge
    // publishes reaches the clients, and their connection, where it is the same broker, hangs.
    void Hang(bool Stopped) const {
        const int signal = Stopped ? SIGSTOP : SIGCONT;
        central_ ? central_->Signal(signal) : rabbit_ ? rabbit_->Signal(signal) : nodes_[0]->Signal(signal);
    }
    // Started again, empty, on the same ports; returns once it serves, its link or cluster too.
    void Start() {
        if (central_) central_->Start();
        if (rabbit_) rabbit_->Start();
        if (room_) room_->Start();
        if (redisPort_) {
            redis_ = std::make_unique<Process>(
                std::vector<std::string>{KELVORN_REDIS_SERVER, "--port",
                                         std::to_string(redisPort_), "--bind", "127.0.0.1",
                                         "--save", "", "--appendonly", "no", "--dir", "/tmp"},
                false);
            if (!Eventually([&] { return redis_->Out().find("Ready to accept") != std::string::npos; }))
                throw std::runtime_error("redis-server did not start: " + redis_->Out());
        }
        for (int n = 0; n < 2; ++n)
            if (nodePort_[n]) nodes_[n] = AedesNode(nodePort_[n], redisPort_);
        if (central_) Linked();
    }

    // Returns once all that From published so far is on every broker of the site: a message
    // From sends after it has come at either end. That message is retained (and cleared after):
    // aedes on Redis stores a retained message before it passes it on, and a subscriber that gets
    // a message published later without retain on the same node first drops the retained one
    // (aedes-persistence-redis 11.2.2, aedes 1.2.0).
    void Everywhere(Client& From) const {
        Client bridgeEnd(BridgePort(), {"kelvorn-link/#"}), clientEnd(ClientPort(), {"kelvorn-link/#"});
        if (!bridgeEnd.Subscribed() || !clientEnd.Subscribed())
            throw std::runtime_error("the brokers do not acknowledge a subscription");
        const std::string mark = std::to_string(++marks_);
        for (const std::string& payload : {mark, std::string()}) {
            From.Publish("kelvorn-link/mark", payload, true);
            if (!bridgeEnd.Await("kelvorn-link/mark", payload) ||
                !clientEnd.Await("kelvorn-link/mark", payload))
                throw std::runtime_error("a message did not reach both ends of the " +
                                         KindName(kind_));
        }
    }

private:
    // Returns once a message sent at either end comes at the other.
    void Linked() const {
        Client bridgeEnd(BridgePort(), {"kelvorn-link/#"}), clientEnd(ClientPort(), {"kelvorn-link/#"});
        for (auto [from, to] : {std::pair{&bridgeEnd, &clientEnd}, {&clientEnd, &bridgeEnd}}) {
            bool came = false;
            for (const auto end = Clock::now() + 10s; !came && Clock::now() < end;) {
                const std::string mark = std::to_string(++marks_);
                from->Publish("kelvorn-link/probe", mark);
                came = to->Await("kelvorn-link/probe", mark, 0, 100ms).has_value();
            }
            if (!came) throw std::runtime_error("the " + KindName(kind_) + " does not carry a message");
        }
    }

    Kind kind_;
    std::unique_ptr<Broker> central_, room_;                 // mosquitto
    std::unique_ptr<Process> redis_, nodes_[2];              // aedes
    std::unique_ptr<RabbitMq> rabbit_;
    int nodePort_[2] = {0, 0}, redisPort_ = 0;
    mutable int marks_ = 0;
};

}  // namespace mqtt_test
