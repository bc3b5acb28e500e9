// What the bridge's tests run: the program, a real mosquitto broker on a free loopback port, and
// an MQTT client that keeps every message it sees. A child process is killed when its object
// goes, and when the test process dies (PR_SET_PDEATHSIG); every wait is bounded.
#pragma once

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace mqtt_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls Done every 5 ms until it holds or Limit passes.
inline bool Eventually(const std::function<bool()>& Done, Clock::duration Limit = 10s) {
    for (const auto end = Clock::now() + Limit; !Done(); std::this_thread::sleep_for(5ms))
        if (Clock::now() > end) return Done();
    return true;
}

// A temporary folder, removed with what is in it. Readable by all: mosquitto started as root
// reads its files as the user mosquitto.
struct TempDir {
    std::filesystem::path Path = [] {
        char name[] = "/tmp/kelvorn-mqtt-test-XXXXXX";
        if (mkdtemp(name) == nullptr || chmod(name, 0755) != 0) throw std::runtime_error(name);
        return std::filesystem::path(name);
    }();
    ~TempDir() { std::filesystem::remove_all(Path); }
    std::string Write(const std::string& Name, const std::string& Text) const {
        std::ofstream(Path / Name) << Text;
        return Path / Name;
    }
    std::string Read(const std::string& Name) const {
        std::stringstream text;
        text << std::ifstream(Path / Name).rdbuf();
        return text.str();
    }
};

// A child process with its standard output and error in files, and Env (NAME=value) added to its
// environment.
class Process {
public:
    explicit Process(std::vector<std::string> Args, bool Preload = true,
                     std::vector<std::string> Env = {}) {
        const std::string out = dir_.Write("out", ""), err = dir_.Write("err", "");
        if ((pid_ = fork()) != 0) return;
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(open(out.c_str(), O_WRONLY), 1);
        dup2(open(err.c_str(), O_WRONLY), 2);
        if (!Preload) unsetenv("LD_PRELOAD");  // umockdev's, for the programs under test only
        for (std::string& e : Env) putenv(e.data());
        std::vector<char*> argv;
        for (std::string& a : Args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ~Process() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    }
    void Signal(int Number) const { kill(pid_, Number); }
    pid_t Pid() const { return pid_; }
    // The exit status, or -1 when it did not end within 10 s.
    int Wait() {
        int status = 0;
        if (!Eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) return -1;
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string Out() const { return dir_.Read("out"); }
    std::string Err() const { return dir_.Read("err"); }
    long Lines() const {  // on standard error
        const std::string err = Err();
        return std::count(err.begin(), err.end(), '\n');
    }
    // Whether Text is on standard error, or comes there within Limit.
    bool Logged(const std::string& Text, Clock::duration Limit = 10s) const {
        return Eventually([&] { return Err().find(Text) != std::string::npos; }, Limit);
    }

private:
    TempDir dir_;
    pid_t pid_ = -1;
};

// A port of 127.0.0.1 that nothing listens on.
inline int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t n = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), n);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

// Debian's mosquitto with an open listener on a free port of 127.0.0.1 for the test's clients,
// and Config: after that listener (further listeners, with settings of their own), or with
// Own::Last a whole configuration of its own before it, which must set per_listener_settings true
// for the open listener to stay its own.
class Broker {
public:
    enum class Own { First, Last };
    explicit Broker(const std::string& Config = "", Own Listener = Own::First) : port_(FreePort()) {
        const std::string open = "listener " + PortText() + " 127.0.0.1\nallow_anonymous true\n";
        conf_ = dir.Write("mosquitto.conf",
                          Listener == Own::First
                              ? "per_listener_settings true\npersistence false\n" + open + Config
                              : Config + "\npersistence false\n" + open);
        Start();
    }
    // Starts it (again), on the same port, with nothing retained; returns once it answers.
    void Start() {
        process_ = std::make_unique<Process>(
            std::vector<std::string>{"/usr/sbin/mosquitto", "-c", conf_}, false);
        if (!Eventually([&] { return Log().find(" running") != std::string::npos; }))
            throw std::runtime_error("mosquitto did not start: " + Log());
    }
    void Kill() { process_.reset(); }
    void Signal(int Number) const { process_->Signal(Number); }
    std::string Log() const { return process_->Err(); }
    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    TempDir dir;

private:
    int port_;
    std::string conf_;
    std::unique_ptr<Process> process_;
};

// Makes a certificate authority, ca.pem, and another, other.pem, in Dir, and with ca.pem's key
// the broker's certificate server.pem for the name localhost, with its key server.key.
inline void MakeCertificates(const TempDir& Dir) {
    const std::string script = Dir.Write("make-ca.sh", R"(set -e
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
for ca in ca other; do
  key $ca.key
  openssl req -x509 -new -key $ca.key -subj /CN=$ca -days 2 -out $ca.pem
done
key server.key
openssl req -new -key server.key -subj /CN=localhost -out server.csr
printf 'subjectAltName=DNS:localhost\n' > san
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile san -out server.pem 2>/dev/null
chmod 644 server.key  # mosquitto reads it as its own user
)");
    if (std::system(("cd " + Dir.Path.string() + " && sh make-ca.sh").c_str()) != 0)
        throw std::runtime_error("openssl could not make the certificates");
}

struct Received {
    std::string Topic;
    std::string Payload;
    bool Retained;
    Clock::time_point At;
};

// An MQTT client subscribed to every topic (or to Patterns), keeping every message it receives
// with the time it came. Nagle's algorithm is off, as in the bridge, so that a message is sent at
// once.
class Client {
public:
    explicit Client(int Port, std::vector<std::string> Patterns = {"#"})
        : patterns_(std::move(Patterns)),
          mosq_((mosquitto_lib_init(), mosquitto_new(nullptr, true, this))) {
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* Self, const mosquitto_message* M) {
                auto& c = *static_cast<Client*>(Self);
                const auto at = Clock::now();
                {
                    const std::lock_guard lock(c.mutex_);
                    c.messages_.push_back({M->topic,
                                           {static_cast<const char*>(M->payload),
                                            static_cast<std::size_t>(M->payloadlen)},
                                           M->retain,
                                           at});
                }
                c.arrived_.notify_all();
            });
        mosquitto_connect_callback_set(mosq_, [](mosquitto* M, void* Self, int) {
            for (const std::string& p : static_cast<Client*>(Self)->patterns_)
                mosquitto_subscribe(M, nullptr, p.c_str(), 0);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* Self, int, int, const int*) {
            ++static_cast<Client*>(Self)->subscribed_;
        });
        mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
        if (mosquitto_connect(mosq_, "127.0.0.1", Port, 60) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("cannot connect to the broker");
    }
    ~Client() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    void Publish(const std::string& Topic, const std::string& Payload, bool Retain = false,
                 int Qos = 1) {
        mosquitto_publish(mosq_, nullptr, Topic.c_str(), static_cast<int>(Payload.size()),
                          Payload.data(), Qos, Retain);
    }
    std::vector<Received> Messages() const {
        const std::lock_guard lock(mutex_);
        return messages_;
    }
    // The index of the first message from From on with this topic and payload, once it came.
    std::optional<std::size_t> Await(const std::string& Topic, const std::string& Payload,
                                     std::size_t From = 0, Clock::duration Limit = 10s) const {
        std::unique_lock lock(mutex_);
        std::size_t next = From;
        std::optional<std::size_t> found;
        arrived_.wait_for(lock, Limit, [&] {
            for (; next < messages_.size() && !found; ++next)
                if (messages_[next].Topic == Topic && messages_[next].Payload == Payload)
                    found = next;
            return found.has_value();
        });
        return found;
    }
    // Whether the broker has acknowledged every subscription, or does within 10 s.
    bool Subscribed() const {
        return Eventually([&] { return subscribed_ >= patterns_.size(); });
    }
    // For a client subscribed to "#": waits until everything retained when it subscribed has come.
    // mosquitto sends a client what it subscribed to before what that client published after, so
    // there all of it is there once a message of its own comes back; aedes streams the retained
    // messages from its store after that: so, until then nothing new has come for 300 ms.
    bool Settled() {
        if (!Subscribed()) return false;
        const std::string mark = std::to_string(++marks_);
        Publish("kelvorn-test/settled", mark, false, 0);
        if (!Await("kelvorn-test/settled", mark)) return false;
        for (std::size_t seen = 0; seen != Messages().size();) {
            seen = Messages().size();
            std::this_thread::sleep_for(300ms);
        }
        return true;
    }
    // The last payload of each topic, as a subscriber arriving now would get it.
    std::map<std::string, std::string> Latest() const {
        std::map<std::string, std::string> latest;
        for (const Received& m : Messages()) latest[m.Topic] = m.Payload;
        return latest;
    }

private:
    std::vector<std::string> patterns_;
    std::atomic<std::size_t> subscribed_ = 0;
    int marks_ = 0;
    mosquitto* mosq_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Received> messages_;
};

// kelvorn-mqtt as a child process on the broker at Port, named Name, simulating the boards Serials
// (--sim-serials); returns once Watcher, a client of that broker, has the last of their retained
// state.
inline std::unique_ptr<Process> SimBridge(const Client& Watcher, int Port, const std::string& Name,
                                          std::vector<std::string> Serials = {"A1B2C3",
                                                                              "D4E5F6"}) {
    std::string serials;
    for (const std::string& s : Serials) serials += (serials.empty() ? "" : ",") + s;
    std::vector<std::string> args{KELVORN_MQTT, "--sim-serials", serials, "--host", "127.0.0.1",
                                  "--port", std::to_string(Port), "--name", Name, "--no-discovery"};
    const std::size_t mark = Watcher.Messages().size();
    auto bridge = std::make_unique<Process>(args);
    for (const std::string& s : Serials)
        if (!Watcher.Await("kelvorn/" + s + "/out2", "OFF", mark))
            throw std::runtime_error("kelvorn-mqtt did not start: " + bridge->Err());
    return bridge;
}

// A broker that speaks only MQTT 3.1.1, as a client sees it: the broker on BrokerPort behind a
// gate on a port of its own, which answers an MQTT 5 CONNECT as a 3.1.1 broker must (CONNACK
// 0x01, unacceptable protocol level, and the connection closed) and relays every other
// connection to the broker as it is.
class Mqtt311Gate {
public:
    explicit Mqtt311Gate(int BrokerPort) : broker_(BrokerPort) {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t n = sizeof a;
        if (pipe(stop_) != 0 || bind(listen_, reinterpret_cast<sockaddr*>(&a), n) != 0 ||
            listen(listen_, 8) != 0 || getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n) != 0)
            throw std::runtime_error("no gate");
        port_ = ntohs(a.sin_port);
        accepting_ = std::thread([this] {
            for (int client; Wait(listen_) && (client = accept(listen_, nullptr, nullptr)) >= 0;)
                relays_.emplace_back([this, client] { Serve(client); });
        });
    }
    ~Mqtt311Gate() {
        close(stop_[1]);  // every thread's poll sees it
        accepting_.join();
        for (std::thread& t : relays_) t.join();
        close(listen_);
        close(stop_[0]);
    }
    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    int Refused() const { return refused_; }  // MQTT 5 CONNECTs answered so far

private:
    // Whether Fd has something to read (or has closed) before the gate closes.
    bool Wait(int Fd) const {
        pollfd fds[2] = {{Fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        return poll(fds, 2, -1) > 0 && fds[1].revents == 0;
    }
    void Serve(int Client) {
        // CONNECT: 0x10, the remaining length in 1 to 4 bytes, "\0\4MQTT", the protocol level.
        std::string head;
        char byte = 0;
        std::size_t level = 0;
        while (level == 0 || head.size() <= level) {
            if (!Wait(Client) || read(Client, &byte, 1) != 1) return (void)close(Client);
            head += byte;
            if (level == 0 && head.size() >= 2 && (head.back() & 0x80) == 0)
                level = head.size() + 6;
        }
        if (head[level] == 5) {
            ++refused_;
            const char connack[] = {0x20, 0x02, 0x00, 0x01};
            [[maybe_unused]] const ssize_t n = write(Client, connack, sizeof connack);
            return (void)close(Client);
        }
        const int upstream = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(broker_)),
                      {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(upstream, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            write(upstream, head.data(), head.size()) == static_cast<ssize_t>(head.size()))
            for (char buffer[4096];;) {
                pollfd fds[3] = {{Client, POLLIN, 0}, {upstream, POLLIN, 0}, {stop_[0], POLLIN, 0}};
                if (poll(fds, 3, -1) <= 0 || fds[2].revents != 0) break;
                const int from = fds[0].revents != 0 ? Client : upstream;
                const ssize_t got = read(from, buffer, sizeof buffer);
                if (got <= 0 || write(from == Client ? upstream : Client, buffer,
                                      static_cast<std::size_t>(got)) != got)
                    break;
            }
        close(upstream);
        close(Client);
    }

    int broker_;
    int port_ = 0;
    int listen_ = socket(AF_INET, SOCK_STREAM, 0);
    int stop_[2] = {-1, -1};
    std::atomic<int> refused_ = 0;
    std::thread accepting_;
    std::vector<std::thread> relays_;  // touched by accepting_ alone until it has ended
};

}  // namespace mqtt_test
