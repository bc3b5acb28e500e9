// The connection to the broker, kept up by a network thread of its own: it connects, and after
// a failure or a loss connects again after 1 s, doubling the wait up to 30 s and back to 1 s once
// connected. What happens reaches the owner as events; it acts on them on its own thread. The
// bridge and the clients that reach boards through a bridge both talk to the broker through it.
//
// Each attempt tries the addresses the host name has, in the resolver's order, until one takes
// the TCP connection (localhost may be ::1 first with the broker on 127.0.0.1 only); TLS checks
// the certificate against the name, and names it to the server (SNI).
//
// It speaks MQTT 5 where the broker does, for its subscription options. A broker that speaks only
// MQTT 3.1.1 refuses that greeting ("unacceptable protocol version", as 3.1.1 bids it to); the
// connection then speaks 3.1.1 from its next attempt on, made at once, for as long as it lives.
// One that closes a plain connection before any answer (RabbitMQ's) is asked again at once in
// 3.1.1 too; only when that closes as well is the closing reported, and the attempt after starts
// with MQTT 5 again.
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kmqtt {

// Where the broker is and who this program is to it.
struct Broker {
    std::string Host = "localhost";
    int Port = 1883;
    std::string Username;
    std::string Password;
    bool Tls = false;     // also on whenever CaFile is set
    std::string CaFile;   // the CA certificates to trust (PEM); empty: the system's
    std::string ClientId;  // at most 23 bytes, which every broker must accept
    int Keepalive = 60;    // seconds
};

// A client id of at most 23 bytes: Stem (cut to fit) and 8 random hex digits, so that two
// programs with the same stem, on one host or on two, never take each other's connection.
std::string UniqueClientId(const std::string& Stem);

// Why the CA certificates of File cannot be used (a readable file that holds none), as the
// connection says it on each attempt; "" for one they can, or for no File.
std::string CaFileFault(const std::string& File);

class Connection {
public:
    struct Event {
        enum class Kind {
            Up,          // connected: subscriptions and retained state are gone, set them up again
            Down,        // not connected; Text says why, in words
            Message,     // Topic, Text (the payload) and Retained
            Subscribed,  // the broker acknowledged the subscription Subscribe returned Mid for
            Published,   // the broker answered a QoS 1 message Publish gave Mid for; Code is its
                         // reason (MQTT 5: 0 accepted, 128 and up refused, e.g. 135 not
                         // authorized; MQTT 3.1.1 answers 0 for whatever it drops)
        };
        Kind What;
        std::string Topic;
        std::string Text;
        bool Retained = false;
        int Mid = 0;
        int RetrySeconds = 0;  // Down: the wait before the next attempt, in seconds of the backoff
        int Code = 0;          // Published: the broker's reason code
        // Message: when it reached this program. For one read just after the whole process was
        // stopped (SIGSTOP, a suspended machine), when the stop began: it may have waited in the
        // socket all that time, and a command that old is one its sender has given up on.
        std::chrono::steady_clock::time_point At{};
    };

    // WillTopic, unless empty, gets a retained kOffline when the connection breaks without a
    // goodbye. Wake is called on the network thread after each new event, until Stop.
    Connection(const Broker& Opt, const std::string& WillTopic, std::function<void()> Wake);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Start();
    // The events since the last call, oldest first.
    std::vector<Event> Take();
    // Sent by the network thread in the order given. False while not connected: nothing is kept
    // for later, since everything retained is published again on every Up and a command sent
    // late would switch an output nobody asked for any more. A QoS 1 message whose answer has
    // not come when the connection is lost is not sent again either, and gets no Published.
    // Mid, when given, receives the message id whose Published event carries the broker's answer
    // (QoS 1 only). ExpirySeconds > 0 (MQTT 5; ignored under 3.1.1): the broker drops the message
    // rather than deliver it later than that.
    bool Publish(const std::string& Topic, const std::string& Payload, bool Retain, int Qos = 0,
                 int* Mid = nullptr, int ExpirySeconds = 0);
    // QoS 0. The message id whose Subscribed event tells that the broker has it, or 0 when not
    // connected. RetainAsPublished (MQTT 5; ignored under 3.1.1): a message published with the
    // retain flag arrives with it also while the subscription stands, not only as it is made.
    int Subscribe(const std::string& Pattern, bool RetainAsPublished = false);
    // Several patterns in one request, with one acknowledgement: a broker that looks up their
    // retained messages in a store does so in one pass.
    int Subscribe(const std::vector<std::string>& Patterns, bool RetainAsPublished = false);
    // Whether the connection speaks MQTT 5 (else 3.1.1); known for certain from its Up event on.
    bool Mqtt5() const { return mqtt5_; }
    // Sends what was published, then a goodbye, and ends the network thread; Wake is not called
    // any more once it returns. False when the thread did not end within Limit (a host name
    // lookup that hangs); the object must then not be destroyed.
    bool Stop(std::chrono::milliseconds Limit = std::chrono::seconds(2));
    // Stops C and frees it, or, when its thread does not end, leaves it to the thread: for an
    // owner that goes on living after giving up on a broker. C is null afterwards.
    static void Abandon(std::unique_ptr<Connection>& C);

private:
    // Sets the client up for the next attempt, in the protocol mqtt5_ says.
    void Configure();
    void SetUpTls();
    void Run();
    void Push(Event E);
    // Event::At for a message read now, on the network thread.
    std::chrono::steady_clock::time_point Arrival();
    // The words for a failed attempt, for the Down event. Error: errno after Result.
    std::string Why(int Result, int Error) const;
    bool Tls() const { return opt_.Tls || !opt_.CaFile.empty(); }

    const Broker opt_;      // a copy: an abandoned connection outlives its owner
    const std::string willTopic_;
    std::string unusable_;  // why no attempt can succeed (the CA certificates), or empty
    std::function<void()> wake_;
    std::mutex wakeMutex_;   // held while Wake runs
    bool silenced_ = false;  // guarded by wakeMutex_: Stop was called
    mosquitto* mosq_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // Not a deque: taking none, at every sample, then allocates nothing.
    std::vector<Event> events_;
    bool stopping_ = false;  // guarded by mutex_
    bool finished_ = false;  // guarded by mutex_
    std::chrono::steady_clock::time_point stopBy_;
    std::atomic<bool> connected_ = false;  // between a CONNACK that accepts and the loss
    std::atomic<bool> mqtt5_ = true;       // written on the network thread, before its Up
    // Written on the network thread only (its callbacks run there).
    bool up_ = false;
    int refused_ = 0;        // the reason code of a refusing CONNACK
    bool fellBackOnClose_ = false;  // speaking 3.1.1 since an MQTT 5 greeting was closed on
    std::string lastError_;  // libmosquitto's last error message (TLS failures)
    // The errno of the socket call that failed the TLS handshake (0: the connection closed), or
    // -1. Set on the network thread by the TLS context's callback.
    int handshakeErrno_ = -1;
    bool handshaken_ = false;  // the TLS handshake of this attempt is done
    // The network thread's own clock, for Event::At: when the current turn of the loop began,
    // and after a stall, until when messages read count as waiting since it began.
    std::chrono::steady_clock::time_point turnAt_{};
    std::chrono::steady_clock::time_point stalledAt_{};
    std::chrono::steady_clock::time_point stallDrainedBy_{};
    std::set<int> tracked_;  // guarded by mutex_: QoS 1 messages whose answer is wanted
};

}  // namespace kmqtt
