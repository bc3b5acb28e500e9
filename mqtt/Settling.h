// When a client has heard the retained state the broker holds: the one rule the programs with
// --mqtt and the bridge both follow.
//
// MQTT has no end-of-retained marker, and brokers differ in when a subscription's retained
// messages come: mosquitto sends them before its SUBACK, aedes streams them after it, a clustered
// broker reads them from shared storage later still, and a chain of bridged brokers relays them.
// No order between them and anything else is promised. So the state counts as heard once
//   - every subscription made since connecting is acknowledged, and
//   - for a quiet time nothing new has come: no topic heard for the first time on this
//     connection. The quiet time is 250 ms, or four times the subscriptions' round trip when that
//     is longer, so that a broker slowed by load gets as much more time as it is slower;
//   - or, whatever still comes, 3 s after the subscriptions were acknowledged.
// What the caller knows must be there on top (the boards a bridge's index names) it checks
// itself beside Quiet. Messages on topics already heard (inputs changing) do not hold it up, nor,
// once 16,384 topics have been heard (a fleet's is a few thousand), new ones: a stranger
// publishing topic after topic under the prefix neither grows what is kept nor holds the wait
// up past the limit.
#pragma once

#include <chrono>
#include <set>
#include <string>

namespace kmqtt {

class Settling {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kQuiet{250};
    static constexpr std::chrono::milliseconds kLimit{3000};
    static constexpr std::size_t kTopics = 16384;

    // Connected, before the first subscription: forgets everything of the connection before.
    void Restart(Clock::time_point Now);
    // A subscription sent with this message id (0, not sent: ignored).
    void Expect(int Mid);
    // A subscription made later on the same connection, whose retained messages are to be heard
    // as those of the first: the quiet time counts from its round trip. 0: ignored.
    void Again(int Mid, Clock::time_point Now);
    void Acked(int Mid, Clock::time_point Now);
    // A message on Topic came: news if the topic had not been heard since Restart.
    void Heard(const std::string& Topic, Clock::time_point Now);

    bool Subscribed() const { return started_ && pending_.empty() && ackedAt_ != Clock::time_point{}; }
    // Subscribed, and nothing new for the quiet time.
    bool Quiet(Clock::time_point Now) const { return Subscribed() && Now >= QuietAt(); }
    // Subscribed, and the limit is past.
    bool Expired(Clock::time_point Now) const { return Subscribed() && Now >= ackedAt_ + kLimit; }
    // When Quiet turns true if nothing new comes; when the limit is past. Only while Subscribed.
    Clock::time_point QuietAt() const;
    Clock::time_point LimitAt() const { return ackedAt_ + kLimit; }

private:
    bool started_ = false;
    Clock::time_point sentAt_;   // Restart
    Clock::time_point ackedAt_;  // the last acknowledgement
    Clock::time_point newsAt_;   // the last news
    std::set<int> pending_;
    std::set<std::string> heard_;
};

}  // namespace kmqtt
