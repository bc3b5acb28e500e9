// The connection to the broker, kept up by a network thread of its own: it connects, and after
// a failure or a loss connects again after 1 s, doubling the wait up to 30 s and back to 1 s once
// connected. What happens reaches the owner as events; it acts on them on its own thread.
#pragma once

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/Options.h"

namespace kmqtt {

class Connection {
public:
    struct Event {
        enum class Kind {
            Up,       // connected: subscriptions and retained state are gone, set them up again
            Down,     // not connected; Text says why, in words
            Message,  // Topic, Text (the payload) and Retained
        };
        Kind What;
        std::string Topic;
        std::string Text;
        bool Retained = false;
    };

    // WillTopic gets a retained kOffline when the connection breaks without a goodbye. Wake is
    // called on the network thread after each new event.
    Connection(const Options& Opt, const std::string& WillTopic, std::function<void()> Wake);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Start();
    // The events since the last call, oldest first.
    std::vector<Event> Take();
    // QoS 0, sent by the network thread in the order given. False while not connected: nothing
    // is kept for later, since everything retained is published again on every Up.
    bool Publish(const std::string& Topic, const std::string& Payload, bool Retain);
    bool Subscribe(const std::string& Pattern);
    // Sends what was published, then a goodbye, and ends the network thread. False when the
    // thread did not end within about two seconds (a connect that hangs); the object must then
    // not be destroyed.
    bool Stop();

private:
    void Run();
    void Push(Event E);
    std::string Why(int Result, int Error) const;  // Error: errno after Result

    const Options& opt_;
    std::function<void()> wake_;
    mosquitto* mosq_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // Not a deque: taking none, at every sample, then allocates nothing.
    std::vector<Event> events_;
    bool stopping_ = false;  // guarded by mutex_
    bool finished_ = false;  // guarded by mutex_
    std::chrono::steady_clock::time_point stopBy_;
    // Written on the network thread only (its callbacks run there).
    bool up_ = false;
    std::string refused_;    // the broker's reason from a refusing CONNACK
    std::string lastError_;  // libmosquitto's last error message (TLS failures)
};

}  // namespace kmqtt
