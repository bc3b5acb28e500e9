#include "mqtt/Connection.h"

#include <mqtt_protocol.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

#include "device/Text.h"
#include "mqtt/Topics.h"

namespace kmqtt {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFirstWait = 1;  // seconds
constexpr int kLongestWait = 30;
constexpr int kLoopTimeoutMs = 1000;
constexpr int kConnectingTimeoutMs = 100;
// A turn of the network loop that lasts this much past its timeout was stopped; what is read in
// that turn and for this long after counts as having waited since the turn began.
constexpr int kStallMs = 500;
// Where Debian keeps the system's CA certificates, hashed for OpenSSL.
constexpr const char* kSystemCerts = "/etc/ssl/certs";

// How long a second of the backoff lasts: a second, but for the tests, which cannot wait the
// minutes its longest waits take; they set KELVORN_MQTT_TEST_SECOND_MS, in milliseconds. Only a
// test build reads it (KELVORN_TEST_HOOKS, see mqtt/CMakeLists.txt): an installed program whose
// environment held it would retry in a busy loop.
Clock::duration BackoffSecond() {
#ifdef KELVORN_TEST_HOOKS
    const char* ms = std::getenv("KELVORN_MQTT_TEST_SECOND_MS");
    if (const auto value = ms ? kelvorn::Digits(ms, 6) : std::nullopt)
        return std::chrono::milliseconds(*value);
#endif
    return std::chrono::seconds(1);
}

// A refusing CONNACK's reason, in MQTT 3.1.1's codes (below 128) or MQTT 5's.
bool BadCredentials(int Code) {
    return Code == CONNACK_REFUSED_BAD_USERNAME_PASSWORD || Code == CONNACK_REFUSED_NOT_AUTHORIZED ||
           Code == MQTT_RC_BAD_USERNAME_OR_PASSWORD || Code == MQTT_RC_NOT_AUTHORIZED;
}
bool OldProtocol(int Code) {
    return Code == CONNACK_REFUSED_PROTOCOL_VERSION || Code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
}

// The numeric addresses Host resolves to, in getaddrinfo's order of preference, each once.
std::vector<std::string> Addresses(const std::string& Host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<std::string> addresses;
    if (getaddrinfo(Host.c_str(), nullptr, &hints, &found) != 0) return addresses;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) == 0 &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    freeaddrinfo(found);
    return addresses;
}

Connection& Of(void* Self) { return *static_cast<Connection*>(Self); }

// The broker answers a connect, a subscription and a QoS 1 message at once, and a broker with
// Nagle's algorithm on toward its clients (mosquitto's default) holds what it sends next (the
// retained state, the state that answers a command) until that answer has been acknowledged,
// which the kernel delays by up to 40 ms. Called as each answer has been read, this sends the
// acknowledgement now.
void QuickAck(mosquitto* M) {
    const int one = 1;
    setsockopt(mosquitto_socket(M), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

// The longest client id MQTT 3.1.1 obliges a broker to accept.
constexpr std::size_t kClientIdBytes = 23;

}  // namespace

std::string UniqueClientId(const std::string& Stem) {
    std::random_device random;
    char tail[10];
    std::snprintf(tail, sizeof tail, "-%08x", static_cast<unsigned>(random()));
    return Stem.substr(0, kClientIdBytes - std::strlen(tail)) + tail;
}

std::string CaFileFault(const std::string& File) {
    if (File.empty()) return "";
    SSL_CTX* tls = SSL_CTX_new(TLS_client_method());
    const bool loaded = tls != nullptr && SSL_CTX_load_verify_file(tls, File.c_str()) == 1;
    SSL_CTX_free(tls);
    ERR_clear_error();
    return loaded ? "" : "TLS: no CA certificate in " + kelvorn::Printable(File);
}

Connection::Connection(const Broker& Opt, const std::string& WillTopic, std::function<void()> Wake)
    : opt_(Opt), willTopic_(WillTopic), wake_(std::move(Wake)) {
    mosq_ = mosquitto_new(opt_.ClientId.c_str(), true, this);
    if (mosq_ == nullptr) throw std::runtime_error("cannot make an MQTT client");
    Configure();
}

void Connection::Configure() {
    mosquitto_threaded_set(mosq_, true);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                         mqtt5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);  // no Nagle delay on small messages
    if (!willTopic_.empty())
        mosquitto_will_set(mosq_, willTopic_.c_str(), static_cast<int>(std::strlen(kOffline)),
                           kOffline, 0, true);
    // libmosquitto refuses a name that is not UTF-8 and would then connect without any.
    if (!opt_.Username.empty() &&
        mosquitto_username_pw_set(mosq_, opt_.Username.c_str(),
                                  opt_.Password.empty() ? nullptr : opt_.Password.c_str()) !=
            MOSQ_ERR_SUCCESS)
        unusable_ = "the user name is not UTF-8 without control characters: " +
                    kelvorn::Printable(opt_.Username);
    if (Tls()) SetUpTls();
    mosquitto_connect_callback_set(mosq_, [](mosquitto* M, void* Self, int Code) {
        QuickAck(M);
        Connection& c = Of(Self);
        if (Code != 0) {
            c.refused_ = Code;
            return;
        }
        c.up_ = true;
        c.connected_ = true;
        c.Push({Event::Kind::Up, "", "", false, 0});
    });
    mosquitto_publish_v5_callback_set(
        mosq_, [](mosquitto* M, void* Self, int Mid, int Code, const mosquitto_property*) {
            QuickAck(M);
            Connection& c = Of(Self);
            {
                const std::lock_guard lock(c.mutex_);
                if (c.tracked_.erase(Mid) == 0) return;  // QoS 0, or nobody asked
            }
            Event e{Event::Kind::Published, "", "", false, Mid};
            e.Code = Code;
            c.Push(std::move(e));
        });
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto* M, void* Self, int Mid, int, const int*) {
        QuickAck(M);
        Of(Self).Push({Event::Kind::Subscribed, "", "", false, Mid});
    });
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* Self, const mosquitto_message* M) {
        Connection& c = Of(Self);
        Event e{Event::Kind::Message, M->topic,
                std::string(static_cast<const char*>(M->payload),
                            static_cast<std::size_t>(std::max(M->payloadlen, 0))),
                M->retain};
        e.At = c.Arrival();
        c.Push(std::move(e));
    });
    mosquitto_log_callback_set(mosq_, [](mosquitto*, void* Self, int Level, const char* Text) {
        if (Level == MOSQ_LOG_ERR && Text != nullptr) Of(Self).lastError_ = Text;
    });
}

// A TLS context of our own rather than libmosquitto's, for its info callback: a handshake whose
// socket call fails (the TCP connection refused or cut) is tried again by libmosquitto on every
// turn of the loop, without end, and that call's errno is gone by the time the loop returns. The
// callback keeps it, and Run then ends the attempt. (libmosquitto's settings cannot be applied to
// a context of ours: its check of the host name then fails every certificate.)
void Connection::SetUpTls() {
    SSL_CTX* tls = SSL_CTX_new(TLS_client_method());
    if (tls == nullptr) throw std::runtime_error("cannot make a TLS context");
    SSL_CTX_set_options(tls, SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_min_proto_version(tls, TLS1_2_VERSION);
    // The server's certificate is verified against the CA, or the system's CAs, and its name (or
    // address) against the host asked for.
    const bool trusted = opt_.CaFile.empty()
                             ? SSL_CTX_set_default_verify_paths(tls) == 1 &&
                                   SSL_CTX_load_verify_dir(tls, kSystemCerts) == 1
                             : SSL_CTX_load_verify_file(tls, opt_.CaFile.c_str()) == 1;
    ERR_clear_error();
    if (!trusted && opt_.CaFile.empty())
        unusable_ = "TLS: cannot use the system's CA certificates in " + std::string(kSystemCerts);
    else if (!trusted)
        unusable_ = "TLS: no CA certificate in " + kelvorn::Printable(opt_.CaFile);
    SSL_CTX_set_verify(tls, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* check = SSL_CTX_get0_param(tls);
    // As mosquitto_sub: a name like b*.test.lan is no wildcard a CA should have signed.
    X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_ip_asc(check, opt_.Host.c_str()) != 1)
        X509_VERIFY_PARAM_set1_host(check, opt_.Host.c_str(), 0);
    SSL_CTX_set_app_data(tls, this);
    SSL_CTX_set_info_callback(tls, [](const SSL* S, int Where, int Ret) {
        const int error = errno;  // first: that of the socket call that failed, if one did
        auto& c = *static_cast<Connection*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(S)));
        // libmosquitto names the address it was given as the server (SNI); the broker knows
        // itself by the name asked for. Set before the ClientHello is made.
        if ((Where & SSL_CB_HANDSHAKE_START) != 0 && !c.handshaken_)
            SSL_set_tlsext_host_name(const_cast<SSL*>(S), c.opt_.Host.c_str());
        if ((Where & SSL_CB_HANDSHAKE_DONE) != 0) c.handshaken_ = true;
        if (c.handshaken_ || (Where & SSL_CB_EXIT) == 0 || Ret > 0 ||
            SSL_get_error(S, Ret) != SSL_ERROR_SYSCALL)
            return;
        if (c.handshakeErrno_ < 0) c.handshakeErrno_ = error;
    });
    const int taken = mosquitto_opts_set(mosq_, MOSQ_OPT_SSL_CTX, tls);
    SSL_CTX_free(tls);  // libmosquitto holds a reference of its own
    if (taken != MOSQ_ERR_SUCCESS ||
        mosquitto_int_option(mosq_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("cannot set up TLS");
}

Connection::~Connection() {
    if (Stop())
        mosquitto_destroy(mosq_);
    else
        thread_.detach();  // only as the process ends: the thread may still use the client
}

void Connection::Abandon(std::unique_ptr<Connection>& C) {
    if (!C) return;
    if (C->Stop(std::chrono::seconds(1))) {
        C.reset();
        return;
    }
    // Stuck in a host name lookup: the thread may only touch what is its own, so that is left to
    // it, and Wake is no longer called.
    C->thread_.detach();
    [[maybe_unused]] Connection* left = C.release();
}

void Connection::Start() {
    thread_ = std::thread([this] { Run(); });
}

std::vector<Connection::Event> Connection::Take() {
    const std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
}

void Connection::Push(Event E) {
    {
        const std::lock_guard lock(mutex_);
        events_.push_back(std::move(E));
    }
    const std::lock_guard lock(wakeMutex_);
    if (!silenced_) wake_();
}

bool Connection::Publish(const std::string& Topic, const std::string& Payload, bool Retain,
                         int Qos, int* Mid, int ExpirySeconds) {
    if (Mid) *Mid = 0;
    // Held across the call: the broker's answer may come on the network thread before it returns,
    // and the network thread remakes the client after a loss only while it holds it.
    const std::lock_guard lock(mutex_);
    if (!connected_) return false;
    mosquitto_property* props = nullptr;
    if (mqtt5_ && ExpirySeconds > 0)
        mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL,
                                     static_cast<std::uint32_t>(ExpirySeconds));
    int mid = 0;
    const int result = mosquitto_publish_v5(mosq_, &mid, Topic.c_str(),
                                            static_cast<int>(Payload.size()), Payload.data(), Qos,
                                            Retain, props);
    mosquitto_property_free_all(&props);
    if (result != MOSQ_ERR_SUCCESS) return false;
    if (Mid && Qos > 0) {
        tracked_.insert(mid);
        *Mid = mid;
    }
    return true;
}

Clock::time_point Connection::Arrival() {
    const Clock::time_point now = Clock::now();
    // A turn of the loop lasts its timeout and a little work; one that has lasted far longer was
    // stopped meanwhile, with this message perhaps in the socket from the start.
    if (turnAt_ != Clock::time_point{} &&
        now - turnAt_ > std::chrono::milliseconds(kLoopTimeoutMs + kStallMs)) {
        stalledAt_ = turnAt_;
        stallDrainedBy_ = now + std::chrono::milliseconds(kStallMs);
    }
    return now < stallDrainedBy_ ? stalledAt_ : now;
}

int Connection::Subscribe(const std::string& Pattern, bool RetainAsPublished) {
    return Subscribe(std::vector<std::string>{Pattern}, RetainAsPublished);
}

int Connection::Subscribe(const std::vector<std::string>& Patterns, bool RetainAsPublished) {
    int mid = 0;
    const std::lock_guard lock(mutex_);  // see Publish
    if (!connected_) return 0;
    // Under 3.1.1 the options byte is the QoS alone: no option may be sent.
    const int options = mqtt5_ && RetainAsPublished ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0;
    std::vector<char*> patterns;
    for (const std::string& p : Patterns) patterns.push_back(const_cast<char*>(p.c_str()));
    if (mosquitto_subscribe_multiple(mosq_, &mid, static_cast<int>(patterns.size()),
                                     patterns.data(), 0, options, nullptr) != MOSQ_ERR_SUCCESS)
        return 0;
    return mid;
}

std::string Connection::Why(int Result, int Error) const {
    const std::string where = kelvorn::Printable(opt_.Host) + ":" + std::to_string(opt_.Port);
    if (!unusable_.empty()) return unusable_;
    if (BadCredentials(refused_) && opt_.Username.empty())
        return "the broker refused a client without a user name";
    if (BadCredentials(refused_) && opt_.Password.empty())
        return "the broker refused user " + kelvorn::Printable(opt_.Username) +
               ": no password was given (--password-file)";
    if (BadCredentials(refused_)) return "the broker refused the user name or password";
    if (refused_ != 0)
        return "the broker refused the connection: " +
               std::string(refused_ < 128 ? mosquitto_connack_string(refused_)
                                          : mosquitto_reason_string(refused_));
    if (lastError_.find("certificate verify failed") != std::string::npos)
        return "TLS: the broker's certificate is not trusted (--cafile)";
    // A ClientHello that a plain MQTT port takes for a malformed packet: the port closes the
    // connection, or answers in bytes that are no TLS record.
    const bool notTls =
        Tls() && !handshaken_ &&
        (lastError_.find("unexpected eof while reading") != std::string::npos ||
         lastError_.find("wrong version number") != std::string::npos ||
         (handshakeErrno_ >= 0 && (Error == 0 || Error == ECONNRESET || Error == EPIPE)));
    if (notTls) return where + " does not speak TLS (mqtt://?)";
    if (!lastError_.empty()) return "TLS: " + kelvorn::Printable(lastError_);
    if (Result == MOSQ_ERR_EAI) return "host " + kelvorn::Printable(opt_.Host) + " not found";
    if (Result == MOSQ_ERR_ERRNO && Error == ECONNREFUSED) return "connection refused by " + where;
    // Closed before it answered the CONNECT: a TLS port closes on the first byte that is no TLS.
    if (Result == MOSQ_ERR_CONN_LOST)
        return where + " closed the connection" + (Tls() ? "" : " (a TLS port? mqtts://)");
    if (Result == MOSQ_ERR_ERRNO && (Error == ETIMEDOUT || Error == EHOSTUNREACH ||
                                     Error == ENETUNREACH))
        return where + " does not answer: " + std::strerror(Error);
    if (Result == MOSQ_ERR_ERRNO) return where + ": " + std::strerror(Error);
    if (Result == MOSQ_ERR_PROTOCOL) return where + " does not speak MQTT";
    return where + ": " + mosquitto_strerror(Result);
}

void Connection::Run() {
    const Clock::duration second = BackoffSecond();
    int wait = kFirstWait;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        // Each address the name has, in turn, until one takes the TCP connection: libmosquitto
        // would keep the first whose connect merely starts (::1 for localhost, where the broker
        // may listen on 127.0.0.1 only). Only this lookup blocks.
        const std::vector<std::string> addresses =
            unusable_.empty() ? Addresses(opt_.Host) : std::vector<std::string>{};
        int result = !unusable_.empty() ? MOSQ_ERR_TLS
                     : addresses.empty() ? MOSQ_ERR_EAI
                                         : MOSQ_ERR_SUCCESS;
        int error = 0;
        for (std::size_t next = 0; result == MOSQ_ERR_SUCCESS && next < addresses.size(); ++next) {
            up_ = false;
            refused_ = 0;
            lastError_.clear();
            handshakeErrno_ = -1;
            handshaken_ = false;
            // Connected in the loop, so that a host that does not answer holds no call for
            // longer than a loop's turn: a stop is seen in time.
            result = mosquitto_connect_async(mosq_, addresses[next].c_str(), opt_.Port,
                                             opt_.Keepalive);
            while (result == MOSQ_ERR_SUCCESS && handshakeErrno_ < 0 &&
                   ((turnAt_ = Clock::now()),
                    (result = mosquitto_loop(mosq_, up_ ? kLoopTimeoutMs : kConnectingTimeoutMs,
                                             1)) == MOSQ_ERR_SUCCESS)) {
                lock.lock();
                const bool late = stopping_ && (!up_ || Clock::now() > stopBy_);
                lock.unlock();
                if (late) break;
            }
            error = errno;
            if (handshakeErrno_ >= 0) {  // the next connect closes the socket
                result = MOSQ_ERR_ERRNO;
                error = handshakeErrno_;
            }
            const bool notTaken = result == MOSQ_ERR_ERRNO && !up_ && handshakeErrno_ < 0 &&
                                  (error == ECONNREFUSED || error == ENETUNREACH ||
                                   error == EHOSTUNREACH || error == ETIMEDOUT ||
                                   error == EADDRNOTAVAIL || error == EAFNOSUPPORT);
            lock.lock();
            const bool stop = stopping_;
            lock.unlock();
            if (notTaken && !stop && next + 1 < addresses.size()) result = MOSQ_ERR_SUCCESS;
        }
        lock.lock();
        connected_ = false;
        // libmosquitto sends a QoS 1 message the broker has not answered again on the next
        // connection, maybe a minute later: a command nobody stands by any more. The client is
        // made anew instead, with nothing in flight.
        if (up_ && !stopping_) {
            mosquitto_reinitialise(mosq_, opt_.ClientId.c_str(), true, this);
            tracked_.clear();
            Configure();
        }
        lock.unlock();
        // Closed before any answer, on a plain port: RabbitMQ's MQTT plugin drops an MQTT 5
        // greeting so, without the refusal a 3.1.1 broker owes it.
        const bool closed = !up_ && refused_ == 0 && !Tls() && result == MOSQ_ERR_CONN_LOST;
        if (!up_ && mqtt5_ && (OldProtocol(refused_) || closed)) {
            // A broker of MQTT 3.1.1 has answered: ask again at once, in its protocol.
            mqtt5_ = false;
            fellBackOnClose_ = closed;
            mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
            lock.lock();
            continue;
        }
        if (closed && fellBackOnClose_) {
            // Closed in 3.1.1 too: not the protocol. The next attempt starts with MQTT 5 again.
            mqtt5_ = true;
            fellBackOnClose_ = false;
            mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        }
        if (up_) {
            wait = kFirstWait;
            fellBackOnClose_ = false;
        }
        const std::string why = up_ ? "connection to " + kelvorn::Printable(opt_.Host) + ":" +
                                          std::to_string(opt_.Port) + " lost"
                                    : Why(result, error);
        lock.lock();
        if (stopping_) break;
        lock.unlock();
        Push({Event::Kind::Down, "", why, false, 0, wait});
        lock.lock();
        changed_.wait_for(lock, second * wait, [this] { return stopping_; });
        wait = std::min(wait * 2, kLongestWait);
    }
    finished_ = true;
    changed_.notify_all();
}

bool Connection::Stop(std::chrono::milliseconds Limit) {
    {
        const std::lock_guard lock(wakeMutex_);  // waits for a Wake that runs now
        silenced_ = true;
    }
    std::unique_lock lock(mutex_);
    if (!thread_.joinable()) return true;
    if (!stopping_) {
        stopping_ = true;
        stopBy_ = Clock::now() + std::chrono::seconds(1);
        lock.unlock();
        mosquitto_disconnect(mosq_);  // after what is queued; the loop then ends
        lock.lock();
        changed_.notify_all();
    }
    if (!changed_.wait_for(lock, Limit, [this] { return finished_; }))
        return false;
    lock.unlock();
    thread_.join();
    return true;
}

}  // namespace kmqtt
