#include "mqtt/Bridge.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "device/Text.h"
#include "mqtt/Discovery.h"

namespace kmqtt {
namespace {

using kelvorn::Printable;
using Clock = std::chrono::steady_clock;
constexpr int kInputs = static_cast<int>(clsVostrel::InputPins.size());
constexpr int kOutputs = static_cast<int>(clsVostrel::OutputPins.size());
// The most of a payload a log line shows: anyone allowed to publish could fill the journal.
constexpr std::size_t kShownBytes = 64;
// How long the bridge waits for the echo of its own Online before it publishes its boards
// without knowing of the other bridges (the broker lets it write, but not read, their topics).
constexpr auto kSyncLimit = std::chrono::seconds(5);
// A command older than this when it would be carried out: its sender has given up on it.
constexpr auto kCommandAge = std::chrono::seconds(1);
// At most one correction a second on a topic: two programs that fight over it cannot storm the
// broker.
constexpr auto kCorrectEvery = std::chrono::seconds(1);
// Someone else's messages on a topic no further apart than this are one episode, logged once.
constexpr auto kEpisode = std::chrono::seconds(10);
// The echoes a topic may wait for (QoS 0 loses some), and the claims of an id it keeps.
constexpr std::size_t kPending = 8;
constexpr std::size_t kClaims = 8;
// The bridges known beside those that claim a board of this one's: anyone may publish names.
constexpr std::size_t kBridges = 256;
// Log lines for commands not carried out: a burst of kIgnoredBurst, then kIgnoredLines a second;
// the rest are counted, and summed up after kSummary.
constexpr double kIgnoredBurst = 10;
constexpr double kIgnoredLines = 5;
constexpr auto kSummary = std::chrono::seconds(10);
constexpr auto kPingBeat = std::chrono::milliseconds(100);
// How long a board's Online may take to come back before the broker is taken to drop it.
constexpr auto kEchoLimit = std::chrono::seconds(5);

bool Bit(std::uint8_t Bits, int N) { return (Bits >> N & 1) != 0; }

// A payload for the log, escaped; of a long one its first bytes and its length.
std::string Shown(std::string_view Payload, bool Quoted) {
    const std::string quote = Quoted ? "'" : "";
    std::string shown = quote + Printable(Payload.substr(0, kShownBytes)) + quote;
    if (Payload.size() > kShownBytes)
        shown += "\u2026 (" + std::to_string(Payload.size()) + " bytes)";
    return shown;
}

// 19950 as "19,950".
std::string Thousands(unsigned long N) {
    const std::string digits = std::to_string(N);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

// Seconds with one decimal, for a log line.
std::string Tenths(Clock::duration D) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(D).count() / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace

Bridge::Bridge(const Options& Opt, d2xx::Driver& Driver, std::ostream& Log)
    : opt_(Opt),
      driver_(Driver),
      log_(Log),
      topics_(Opt.Prefix, Opt.Name),
      wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      connection_(Opt, topics_.Bridge(), [this] {
          const std::uint64_t one = 1;
          [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
      }) {
    if (wake_ < 0) throw std::runtime_error("no eventfd");
}

Bridge::~Bridge() { close(wake_); }

std::ostream& Bridge::Line() { return log_ << "kelvorn-mqtt: "; }

int Bridge::Run() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    const int signals = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) throw std::runtime_error("no signalfd");

    Line() << "broker " << Printable(opt_.Host) << ':' << opt_.Port << ", topics "
           << Printable(opt_.Prefix) << "/..., bridge " << Printable(topics_.Bridge()) << std::endl;
    connection_.Start();
    const auto interval = std::chrono::milliseconds(opt_.Interval);
    const auto rescan = std::chrono::seconds(opt_.Rescan);
    Rescan();
    for (const std::string& serial : opt_.Serials)
        if (!boards_.contains(EscapeId(serial)))
            Line() << "board " << Printable(serial) << " not found; looking again every "
                   << opt_.Rescan << " s" << std::endl;
    Clock::time_point nextSample = Clock::now() + interval;
    nextRescan_ = Clock::now() + rescan;
    for (;;) {
        Clock::time_point due = std::min(nextSample, nextRescan_);
        if (const auto pulse = NextPulseEnd()) due = std::min(due, *pulse);
        if (connected_ && (!synced_ || checking_)) {
            if (online_ || !checkBy_) due = std::min(due, syncBy_);
            if (online_) due = std::min(due, quietFrom_);
            if (settling_.Subscribed()) due = std::min({due, settling_.QuietAt(), settling_.LimitAt()});
            if (checkBy_) due = std::min(due, *checkBy_);
            if (checking_ && check_.Subscribed()) due = std::min({due, check_.QuietAt(), check_.LimitAt()});
        }
        if (connected_ && online_ && opt_.Heartbeat > 0) due = std::min(due, nextBeat_);
        due = NextDue(due);
        const auto left = std::max(due - Clock::now(), Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(ns / 1000000000),
                               static_cast<long>(ns % 1000000000)};
        pollfd fds[2] = {{signals, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (ppoll(fds, 2, &timeout, nullptr) > 0) {
            if (fds[0].revents != 0) break;
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = read(wake_, &count, sizeof count);
        }
        for (const Connection::Event& e : connection_.Take()) Handle(e);
        const Clock::time_point now = Clock::now();
        if (connected_ && checking_ && Check(now)) {
            exit_ = 2;
            break;
        }
        if (connected_ && online_ && !synced_) {
            if (echoed_ && now >= quietFrom_ && (settling_.Quiet(now) || settling_.Expired(now))) {
                Synced();
            } else if (now >= syncBy_) {
                if (!echoed_)
                    Line() << "no echo of " << Printable(topics_.Bridge())
                           << " from the broker (may this bridge write and read it? its ACL): "
                              "the boards are published without looking for other bridges"
                           << std::endl;
                Synced();
            }
        }
        Beat(now);
        EndPulses(now);
        if (now >= nextSample) {
            Sample();
            nextSample += interval;
            if (nextSample <= now) nextSample = now + interval;  // fell behind: no burst
        }
        if (now >= nextRescan_) {
            Rescan();
            nextRescan_ = Clock::now() + rescan;
        }
        Timers(now);
        PublishIndex();
    }
    close(signals);

    if (exit_ != 0) {
        // Nothing published: the other bridge's state stands, and the goodbye leaves no will.
        Line() << "bridge name '" << Printable(opt_.Name)
               << "' is Online on the broker (another kelvorn-mqtt runs under it): give this one "
                  "another --name"
               << std::endl;
        boards_.clear();
        if (!connection_.Stop()) {
            std::fflush(nullptr);
            std::_Exit(exit_);
        }
        return exit_;
    }
    Line() << "stopping" << std::endl;
    stopping_ = true;  // what comes now is its own doing
    Summarize(Clock::now(), true);
    for (auto& [id, b] : boards_)
        for (int n = 0; n < kOutputs && b.Board; ++n)
            if (b.PulseEnd[static_cast<std::size_t>(n)]) EndPulse(id, b, n);
    if (synced_)
        for (auto& [id, b] : boards_)
            if (b.LeftTo.empty()) Publish(topics_.Availability(id), kOffline);
    if (synced_) {
        boards_.clear();  // closes every board: its serial driver takes it back
        PublishIndex();
    }
    if (online_) Publish(topics_.Bridge(), kOffline);
    // The goodbye waits for the echo of that last message: the broker has then read everything
    // before it, and this end has read the echoes of all of it. Closing with echoes unread would
    // reset the connection, and the broker would drop what it had not read yet.
    const auto limit = Clock::now() + kSyncLimit / 5;
    for (bool echoed = !connected_ || !online_; !echoed && Clock::now() < limit;) {
        pollfd fd{wake_, POLLIN, 0};
        poll(&fd, 1, 100);
        for (const Connection::Event& e : connection_.Take())
            echoed = echoed || e.What == Connection::Event::Kind::Down ||
                     (e.What == Connection::Event::Kind::Message && !e.Retained &&
                      e.Topic == topics_.Bridge() && e.Text == kOffline);
    }
    boards_.clear();  // closes every board: its serial driver takes it back
    if (!connection_.Stop()) {
        Line() << "the broker did not answer in time; exiting" << std::endl;
        std::fflush(nullptr);
        std::_Exit(0);  // the network thread is stuck in a connect; nothing of it may be freed
    }
    return 0;
}

void Bridge::Handle(const Connection::Event& E) {
    switch (E.What) {
        case Connection::Event::Kind::Up:
            Connected();
            break;
        case Connection::Event::Kind::Down:
            // One line per change: a broker that stays away is not named at every attempt, but
            // with --verbose.
            if (connected_ || E.Text != down_ || opt_.Verbose)
                Line() << E.Text << "; retrying in " << E.RetrySeconds << " s" << std::endl;
            connected_ = false;
            synced_ = online_ = false;
            down_ = E.Text;
            break;
        case Connection::Event::Kind::Message:
            if (E.Text.empty() && clearing_.erase(E.Topic) != 0) break;  // its own clearing
            if (opt_.Verbose)
                Line() << "< " << Printable(E.Topic) << ' ' << Shown(E.Text, false)
                       << (E.Retained ? " (retained)" : "") << std::endl;
            if (opt_.Discovery && E.Topic == opt_.DiscoveryPrefix + "/status") {
                // Home Assistant's birth message: it has forgotten what was discovered.
                if (E.Text == "online" && synced_)
                    for (const auto& [id, b] : boards_)
                        if (b.LeftTo.empty())
                            for (const Message& m : Discovery(topics_, opt_.DiscoveryPrefix,
                                                              b.Serial, opt_.InputsOnLow))
                                Publish(m.Topic, m.Payload);
                break;
            }
            if (E.Topic == topics_.BridgePing(opt_.Name)) {
                // Anyone may ask, as often as they like: one beat per kPingBeat at most.
                if (online_ && opt_.Heartbeat > 0) pinged_ = true;
                break;
            }
            if (const auto state = ParseState(opt_.Prefix, E.Topic)) {
                // Only the first topics matter to the settling; a flood of names must not grow it.
                if (!synced_) settling_.Heard(E.Topic, Clock::now());
                StateMessage(*state, E);
                break;
            }
            Command(E);
            break;
        case Connection::Event::Kind::Subscribed:
            settling_.Acked(E.Mid, Clock::now());
            check_.Acked(E.Mid, Clock::now());
            break;
        case Connection::Event::Kind::Published:
            break;  // it publishes with QoS 0 only
    }
}

void Bridge::Connected() {
    connected_ = true;
    synced_ = echoed_ = online_ = false;
    settling_.Restart(Clock::now());
    check_.Restart(Clock::now());
    syncBy_ = Clock::now() + kSyncLimit;
    index_.clear();
    nextBeat_ = Clock::now();
    down_.clear();
    claims_.clear();
    claimedBefore_.clear();
    bridges_.clear();
    clearing_.clear();
    guards_.clear();
    pinged_ = false;
    for (auto& [id, b] : boards_) {
        b.Subscribed = b.Discovered = false;
        b.OnlineSent.reset();
    }
    Line() << "connected to the broker"
           << (connection_.Mqtt5() ? ""
                                   : " (it speaks MQTT 3.1.1 only: a command published retained "
                                     "is seen as stale only once it is on the broker)")
           << std::endl;
    if (opt_.Discovery) connection_.Subscribe(opt_.DiscoveryPrefix + "/status");
    // Its heartbeat only on the first connect: a copy that runs under its name beats there.
    checking_ = first_;
    first_ = false;
    std::vector<std::string> patterns = {topics_.BridgeStates(), topics_.BridgeIndexes(),
                                         opt_.Prefix + "/+/bridge", opt_.Prefix + "/+/availability",
                                         topics_.BridgePing(opt_.Name)};
    // Its own topics also by name: a broker may send no retained message to a wildcard
    // (RabbitMQ), and the look for a copy reads what the broker retains of its name.
    if (checking_) patterns.insert(patterns.end(), {topics_.BridgeAlive(opt_.Name), topics_.Bridge()});
    const int mid = connection_.Subscribe(patterns);
    settling_.Expect(mid);
    if (checking_) check_.Expect(mid);
    if (!checking_) GoOnline();
}

void Bridge::GoOnline() {
    checking_ = false;
    checkBy_.reset();
    online_ = true;
    syncBy_ = Clock::now() + kSyncLimit;
    // A quiet time from its Online on, also after the first connect's look: two bridges that
    // start at once then each hear of the other before either publishes its boards.
    quietFrom_ = Clock::now() + Settling::kQuiet;
    Publish(topics_.Bridge(), kOnline);
}

bool Bridge::Check(Clock::time_point Now) {
    if (!checkBy_) {
        // A broker that never acknowledges holds it up no longer than it would the sync.
        if (!check_.Quiet(Now) && !check_.Expired(Now) && Now < syncBy_) return false;
        if (ownOnline_ != true) {
            GoOnline();
            return false;
        }
        // Online under its name: live if it answers a ping within its period and half a second.
        // Without a heartbeat, Online is all there is to go by.
        if (ownHeartbeat_ == 0) return true;
        connection_.Publish(topics_.BridgePing(opt_.Name), "", false);
        aliveMoved_ = false;
        // Anyone may write an index: a period past a minute is no bridge's.
        const int period =
            std::clamp(ownHeartbeat_ > 0 ? ownHeartbeat_ : opt_.Heartbeat > 0 ? opt_.Heartbeat : 2, 1, 60);
        checkBy_ = Now + std::chrono::seconds(period) + std::chrono::milliseconds(500);
        return false;
    }
    if (aliveMoved_) return true;
    if (Now >= *checkBy_) {
        Line() << "bridge name '" << Printable(opt_.Name)
               << "' is Online on the broker but its heartbeat stands still: taken over"
               << std::endl;
        GoOnline();
    }
    return false;
}

void Bridge::Synced() {
    synced_ = true;
    for (auto& [id, b] : boards_) {
        // Held elsewhere since before this bridge went Online: that bridge was first. Claimed
        // since, the two took it at once: the name that sorts first keeps it.
        const std::string holder = HolderElsewhere(id);
        if (!holder.empty() && (holder < opt_.Name || claimedBefore_.contains({id, holder})))
            LeaveAlone(b, holder);
        else if (!b.LeftTo.empty())
            TakeBack(id, b);
        else
            Announce(id, b);
    }
}

std::string Bridge::HolderElsewhere(const std::string& Id) const {
    const auto claims = claims_.find(Id);
    if (claims == claims_.end()) return "";
    std::string holder;
    for (const std::string& name : claims->second) {
        const auto peer = bridges_.find(name);
        if (peer != bridges_.end() && peer->second.Online && peer->second.Ids.contains(Id) &&
            (holder.empty() || name < holder))
            holder = name;
    }
    return holder;
}

void Bridge::StateMessage(const kmqtt::State& S, const Connection::Event& E) {
    const bool bridge = S.What == State::Kind::BridgeAvailability ||
                        S.What == State::Kind::BridgeIndex || S.What == State::Kind::BridgeAlive;
    const bool own = bridge && S.Level == opt_.Name;
    if (checking_ && own) {
        check_.Heard(E.Topic, Clock::now());
        // What the broker holds of its name, and whether its heartbeat moves.
        if (S.What == State::Kind::BridgeAvailability) ownOnline_ = ParseAvailability(E.Text);
        if (S.What == State::Kind::BridgeIndex)
            ownHeartbeat_ = ParseIndex(E.Text) ? ParseIndex(E.Text)->Heartbeat : -1;
        if (S.What == State::Kind::BridgeAlive) {
            if (!ownAlive_ && !checkBy_)
                ownAlive_ = E.Text;
            else if (checkBy_ && E.Text != ownAlive_)
                aliveMoved_ = true;
        }
        return;
    }
    if (own) {
        // Its own Online, come back: it may read what it writes.
        if (S.What == State::Kind::BridgeAvailability && !E.Retained && E.Text == kOnline && online_)
            echoed_ = true;
        Defend(S, E);
        return;
    }
    if (S.What == State::Kind::BridgeAlive) return;  // other bridges' beats are their clients'
    if (bridge) {
        // Kept for a bridge that claims a board known here, or while there are few: anyone may
        // publish under any name.
        const auto known = bridges_.find(S.Level);
        const bool claims = std::any_of(claims_.begin(), claims_.end(), [&](const auto& C) {
            return std::find(C.second.begin(), C.second.end(), S.Level) != C.second.end();
        });
        std::set<std::string> ids;
        const std::optional<Index> index =
            S.What == State::Kind::BridgeIndex ? ParseIndex(E.Text) : std::nullopt;
        if (index)
            for (const std::string& id : index->Ids)
                if (boards_.contains(id)) ids.insert(id);
        if (known == bridges_.end() && !claims && ids.empty() && bridges_.size() >= kBridges) return;
        Peer& peer = bridges_[S.Level];
        if (S.What == State::Kind::BridgeAvailability)
            peer.Online = ParseAvailability(E.Text).value_or(false);
        else
            peer.Ids = std::move(ids);
    } else {
        if (!boards_.contains(S.Level)) return;  // not of this bridge's concern
        if (S.What == State::Kind::HeldBy && !E.Text.empty() && E.Text != opt_.Name) {
            std::deque<std::string>& claims = claims_[S.Level];
            std::erase(claims, E.Text);
            claims.push_back(E.Text);
            if (claims.size() > kClaims) claims.pop_front();
            if (!online_ && claimedBefore_.size() < kClaims * boards_.size())
                claimedBefore_.insert({S.Level, E.Text});
        }
        // A claim that wins is weighed below; one that loses, or does not count, is answered.
        const std::string holder = S.What == State::Kind::HeldBy ? HolderElsewhere(S.Level) : "";
        if (holder.empty() || holder > opt_.Name) Defend(S, E);
    }
    if (synced_) Weigh();  // else weighed all at once when synced
}

void Bridge::Weigh() {
    // Weighed at every message, whichever of the other bridge's claim, index and Online came
    // first.
    for (auto& [id, b] : boards_) {
        const std::string holder = HolderElsewhere(id);
        if (b.LeftTo.empty() && b.Board && !holder.empty()) {
            // Another bridge has taken this id as this one did: the name that sorts first keeps
            // it, and claims it again over the other's claim, once for each claim it answers.
            if (holder < opt_.Name) {
                LeaveAlone(b, holder);
            } else if (b.ReclaimedFrom != holder) {
                b.ReclaimedFrom = holder;
                b.Discovered = false;  // the other's discovery names its own availability
                Announce(id, b);
            }
        } else if (b.LeftTo.empty() && b.Board && holder.empty()) {
            b.ReclaimedFrom.clear();
        } else if (!b.LeftTo.empty() && holder.empty()) {
            TakeBack(id, b);
        } else if (!b.LeftTo.empty() && holder != b.LeftTo) {
            LeaveAlone(b, holder);
        }
    }
}

std::optional<std::string> Bridge::Truth(const kmqtt::State& S) const {
    if (stopping_ || !online_) return std::nullopt;
    if (S.Level == opt_.Name && S.What == State::Kind::BridgeAvailability) return kOnline;
    if (S.Level == opt_.Name && S.What == State::Kind::BridgeIndex)
        return index_.empty() ? std::nullopt : std::optional(index_);
    if (!synced_ || S.What == State::Kind::BridgeAvailability || S.What == State::Kind::BridgeIndex ||
        S.What == State::Kind::BridgeAlive)
        return std::nullopt;
    const auto it = boards_.find(S.Level);
    if (it == boards_.end() || !Holds(it->second)) return std::nullopt;
    const Held& b = it->second;
    switch (S.What) {
        case State::Kind::Availability: return kOnline;
        case State::Kind::HeldBy: return opt_.Name;
        case State::Kind::Input: return InputPayload(Bit(b.Inputs, S.N));
        case State::Kind::Output: return OutputPayload(Bit(b.Commanded, S.N));
        default: return std::nullopt;
    }
}

void Bridge::Defend(const kmqtt::State& S, const Connection::Event& E) {
    const auto guard = guards_.find(E.Topic);
    if (guard != guards_.end()) {
        std::deque<std::string>& pending = guard->second.Pending;
        if (const auto echo = std::find(pending.begin(), pending.end(), E.Text); echo != pending.end()) {
            // Its own, come back; the older ones before it will not come any more.
            pending.erase(pending.begin(), echo + 1);
            if (S.What == State::Kind::Availability && E.Text == kOnline)
                if (const auto b = boards_.find(S.Level); b != boards_.end() && b->second.OnlineSent) {
                    b->second.OnlineSent.reset();
                    Line() << "board " << Printable(b->second.Serial) << " Online as "
                           << Printable(E.Topic) << std::endl;
                }
            return;
        }
    }
    // What a subscription brings as retained is the state from before it published its own.
    if (E.Retained) return;
    const std::optional<std::string> truth = Truth(S);
    if (!truth || *truth == E.Text) return;
    Guard& g = guards_[E.Topic];
    const auto now = Clock::now();
    if (g.ForeignAt == Clock::time_point{} || now - g.ForeignAt > kEpisode)
        Line() << Printable(E.Topic) << " held " << Shown(E.Text, true)
               << " from someone else: published '" << Printable(*truth) << "' again" << std::endl;
    g.ForeignAt = now;
    g.Due = true;
    if (now - g.FixedAt >= kCorrectEvery) Correct(E.Topic, g, now);
}

void Bridge::Correct(const std::string& Topic, Guard& G, Clock::time_point Now) {
    G.Due = false;
    G.FixedAt = Now;
    if (const auto state = ParseState(opt_.Prefix, Topic))
        if (const auto truth = Truth(*state)) Publish(Topic, *truth);
}

void Bridge::LeaveAlone(Held& B, const std::string& Holder) {
    // Kept open with its outputs as they are: it is on this machine and nobody else drives it.
    // It just stops being published and commanded from here.
    B.Discovered = false;  // the other bridge's discovery names its own availability
    B.OnlineSent.reset();
    if (B.LeftTo != Holder)
        Line() << "board " << Printable(B.Serial) << " is held by bridge " << Printable(Holder)
               << ": left alone" << std::endl;
    B.LeftTo = Holder;
}

void Bridge::TakeBack(const std::string& Id, Held& B) {
    B.LeftTo.clear();
    B.ReclaimedFrom.clear();
    if (!B.Board) {
        nextRescan_ = Clock::now();  // the bridge it was left to let it go: take it now
        return;
    }
    const std::uint8_t inputs = B.Board->Device().Inputs();
    if (!B.Board->Device().LastReadOk()) {
        Drop(Id, B);
        return;
    }
    B.Inputs = inputs;
    Line() << "board " << Printable(B.Serial) << " taken" << std::endl;
    Announce(Id, B);
}

std::ostream* Bridge::Ignored(const std::string& Topic, const std::string& Payload) {
    const auto now = Clock::now();
    const std::chrono::duration<double> since = now - ignoredSince_;
    ignoredLines_ = std::min(kIgnoredBurst, ignoredLines_ + since.count() * kIgnoredLines);
    ignoredSince_ = now;
    if (ignoredLines_ >= 1) {
        ignoredLines_ -= 1;
        return &(Line() << "ignored " << Printable(Topic) << ' ' << Shown(Payload, true) << ": ");
    }
    if (unlogged_++ == 0) unloggedSince_ = now;
    return nullptr;
}

void Bridge::Summarize(Clock::time_point Now, bool Stopping) {
    if (unlogged_ == 0 || (!Stopping && Now < unloggedSince_ + kSummary)) return;
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(
        std::min<Clock::duration>(Now - unloggedSince_, kSummary));
    Line() << "... and " << Thousands(unlogged_) << " more ignored commands in the last "
           << std::max<long>(1, static_cast<long>(seconds.count())) << " s" << std::endl;
    unlogged_ = 0;
}

void Bridge::Command(const Connection::Event& E) {
    const std::string& Topic = E.Topic;
    const std::string& Payload = E.Text;
    if (E.Retained) {
        if (Payload.empty()) return;  // a retained command taken off the broker: nothing to do
        if (std::ostream* line = Ignored(Topic, Payload))
            *line << "a retained command is stale, it would switch the output again at every "
                     "reconnect; cleared from the broker"
                  << std::endl;
        clearing_.insert(Topic);
        Publish(Topic, "");
        return;
    }
    const Parsed parsed = ParseCommand(opt_.Prefix, Topic, Payload);
    if (!parsed.Ok) {
        if (std::ostream* line = Ignored(Topic, Payload)) *line << parsed.Why << std::endl;
        return;
    }
    const kmqtt::Command& c = *parsed.Ok;
    const auto it = boards_.find(c.Id);
    if (it != boards_.end() && !it->second.LeftTo.empty())
        return;  // another bridge's to carry out
    if (it == boards_.end() || !it->second.Board) {
        if (std::ostream* line = Ignored(Topic, Payload)) *line << "the board is Offline" << std::endl;
        return;
    }
    Held& b = it->second;
    const auto bit = static_cast<std::uint8_t>(1u << c.Output);
    if (c.What != Command::Kind::Republish) {
        // Counted from its arrival, which the connection dates back over a stop of the whole
        // process; a slow turn of this loop counts in by itself.
        if (const auto age = Clock::now() - E.At; age >= kCommandAge) {
            if (std::ostream* line = Ignored(Topic, Payload))
                *line << "came " << Tenths(age) << " s ago, its sender has given up" << std::endl;
            return;
        }
        b.PulseEnd[static_cast<std::size_t>(c.Output)].reset();  // a set or a new pulse ends one
        const bool was = Bit(b.Commanded, c.Output);
        const bool on = c.What == Command::Kind::On || c.What == Command::Kind::Pulse ||
                        (c.What == Command::Kind::Toggle && !was);
        b.Commanded = static_cast<std::uint8_t>(on ? b.Commanded | bit : b.Commanded & ~bit);
        if (!Write(c.Id, b)) {
            // Not carried out: the board comes back without it, as nobody may want it any more.
            b.Commanded = static_cast<std::uint8_t>(was ? b.Commanded | bit : b.Commanded & ~bit);
            return;
        }
        // The pulse's end is set before anything else may drop the board: dropped, the board
        // then comes back with the output off rather than on with no pulse left to end it.
        if (c.What == Command::Kind::Pulse)
            b.PulseEnd[static_cast<std::size_t>(c.Output)] =
                Clock::now() + std::chrono::milliseconds(c.Millis);
        // The pins read at once: an input the output drives is published before the output's
        // state, so that whoever waits for the state sees the input follow with it.
        if (!Sample(c.Id, b)) return;
    }
    Publish(topics_.Output(c.Id, c.Output), OutputPayload(Bit(b.Commanded, c.Output)));
}

bool Bridge::Write(const std::string& Id, Held& B) {
    B.Board->Device().SetOutputs(B.Commanded);
    if (!B.Board->Failed()) return true;
    Drop(Id, B);
    return false;
}

void Bridge::Drop(const std::string& Id, Held& B) {
    Line() << "board " << Printable(B.Serial) << " stopped answering: Offline" << std::endl;
    B.Board.reset();  // closed: a board unplugged or silent is not held
    B.OnlineSent.reset();
    // A running pulse counts as ended: the board comes back with that output off.
    for (int n = 0; n < kOutputs; ++n)
        if (B.PulseEnd[static_cast<std::size_t>(n)]) {
            B.PulseEnd[static_cast<std::size_t>(n)].reset();
            B.Commanded = static_cast<std::uint8_t>(B.Commanded & ~(1u << n));
        }
    if (online_ && B.LeftTo.empty()) Publish(topics_.Availability(Id), kOffline);
}

void Bridge::EndPulse(const std::string& Id, Held& B, int N) {
    B.PulseEnd[static_cast<std::size_t>(N)].reset();
    B.Commanded = static_cast<std::uint8_t>(B.Commanded & ~(1u << N));
    // As for a set: the inputs the output drives first, then the output. A board left to another
    // bridge still ends its pulse, and says nothing.
    if (!Write(Id, B) || !synced_ || !Holds(B) || !Sample(Id, B)) return;
    Publish(topics_.Output(Id, N), OutputPayload(false));
}

void Bridge::EndPulses(Clock::time_point Now) {
    for (auto& [id, b] : boards_)
        for (int n = 0; n < kOutputs && b.Board; ++n) {
            const auto& end = b.PulseEnd[static_cast<std::size_t>(n)];
            if (end && *end <= Now) EndPulse(id, b, n);
        }
}

std::optional<Bridge::Clock::time_point> Bridge::NextPulseEnd() const {
    std::optional<Clock::time_point> first;
    for (const auto& [id, b] : boards_)
        for (const auto& end : b.PulseEnd)
            if (end && (!first || *end < *first)) first = end;
    return first;
}

void Bridge::Sample() {
    for (auto& [id, b] : boards_)
        if (Holds(b)) Sample(id, b);
}

bool Bridge::Sample(const std::string& Id, Held& B) {
    const std::uint8_t inputs = B.Board->Device().Inputs();  // one pin read
    if (!B.Board->Device().LastReadOk()) {
        Drop(Id, B);
        return false;
    }
    for (int n = 0; n < kInputs && synced_; ++n)  // else all are published once it is
        if (Bit(inputs, n) != Bit(B.Inputs, n))
            Publish(topics_.Input(Id, n), InputPayload(Bit(inputs, n)));
    B.Inputs = inputs;
    return true;
}

void Bridge::Rescan() {
    const bool wanted = opt_.Serials.empty() ||
                        std::any_of(opt_.Serials.begin(), opt_.Serials.end(), [&](const auto& s) {
                            const auto it = boards_.find(EscapeId(s));
                            return it == boards_.end() || !it->second.Board;
                        });
    if (!wanted) return;  // every board asked for is held
    // A board of its own for the scan: the scan closes what it opened. Devices held by other
    // programs, and the boards held here, are passed over without a request.
    kelvorn::Board scanner(driver_, "kelvorn-mqtt");
    std::ostringstream passedOver;
    const std::vector<std::string> found = scanner.Scan(passedOver);
    for (const std::string& serial : found)
        if (opt_.Serials.empty() ||
            std::find(opt_.Serials.begin(), opt_.Serials.end(), serial) != opt_.Serials.end())
            Take(serial);
    if (scanner.Unnamed() != unnamed_ && scanner.Unnamed() > 0)
        Line() << scanner.Unnamed() << " Kelvorn board(s) with an empty serial: left alone, "
               << "a board is opened by its serial" << std::endl;
    unnamed_ = scanner.Unnamed();
    const bool held = std::any_of(boards_.begin(), boards_.end(),
                                  [](const auto& Known) { return Known.second.Board != nullptr; });
    if (opt_.Serials.empty() && found.empty() && unnamed_ == 0 && !held && !noneFound_) {
        Line() << "no Kelvorn board found; looking again every " << opt_.Rescan << " s"
               << std::endl;
        noneFound_ = true;
    }
}

void Bridge::Take(const std::string& Serial) {
    const std::string id = EscapeId(Serial);
    const auto [known, fresh] = boards_.try_emplace(id);
    Held& b = known->second;
    b.Serial = Serial;
    if (const std::string holder = synced_ ? HolderElsewhere(id) : ""; !holder.empty()) {
        LeaveAlone(b, holder);
        return;
    }
    auto board = std::make_unique<kelvorn::Board>(driver_, "kelvorn-mqtt");
    std::ostringstream why;
    if (board->Open(Serial, why) == kelvorn::Board::Opened::Yes) {
        b.Board = std::move(board);
        // Opened with all outputs off; a board found again gets them as last commanded.
        if (b.Commanded != 0) b.Board->Device().SetOutputs(b.Commanded);
        b.Inputs = b.Board->Device().Inputs();
        if (!b.Board->Failed() && b.Board->Device().LastReadOk()) {
            openFailure_.erase(Serial);
            b.LeftTo.clear();
            noneFound_ = false;
            Line() << "board " << Printable(Serial) << " taken" << std::endl;
            Announce(id, b);
            return;
        }
        b.Board.reset();
        why << "kelvorn-mqtt: board " << Printable(Serial) << " does not answer\n";
    }
    if (fresh) boards_.erase(known);
    // Said once, not at every look for boards.
    if (std::string& last = openFailure_[Serial]; last != why.str()) {
        last = why.str();
        log_ << last << std::flush;
    }
}

void Bridge::Publish(const std::string& Topic, const std::string& Payload) {
    if (opt_.Verbose) Line() << "> " << Printable(Topic) << ' ' << Shown(Payload, false) << std::endl;
    if (!connection_.Publish(Topic, Payload, true)) return;
    // Its echo is known as its own when it comes.
    const auto state = ParseState(opt_.Prefix, Topic);
    if (!state || state->What == State::Kind::BridgeAlive) return;
    if (state->What == State::Kind::BridgeAvailability || state->What == State::Kind::BridgeIndex
            ? state->Level != opt_.Name
            : !boards_.contains(state->Level))
        return;
    std::deque<std::string>& pending = guards_[Topic].Pending;
    pending.push_back(Payload);
    if (pending.size() > kPending) pending.pop_front();
}

void Bridge::Announce(const std::string& Id, Held& B) {
    if (!synced_) return;  // all boards are announced when it is
    if (opt_.Discovery && !B.Discovered)
        for (const Message& m : Discovery(topics_, opt_.DiscoveryPrefix, B.Serial, opt_.InputsOnLow))
            Publish(m.Topic, m.Payload);
    B.Discovered = true;
    if (!B.Board) {
        Publish(topics_.Availability(Id), kOffline);
        return;
    }
    if (!B.Subscribed) {
        // Retained as published: a command published retained is seen as one also while the
        // subscription stands.
        connection_.Subscribe(topics_.SetCommands(Id), true);
        connection_.Subscribe(topics_.PulseCommands(Id), true);
        // Its inputs and outputs read back, one by one: a topic under two subscriptions would
        // come twice, and an echo twice is someone else's the second time.
        std::vector<std::string> state;
        for (int n = 0; n < kInputs; ++n) state.push_back(topics_.Input(Id, n));
        for (int n = 0; n < kOutputs; ++n) state.push_back(topics_.Output(Id, n));
        connection_.Subscribe(state);
        B.Subscribed = true;
    }
    Publish(topics_.HeldBy(Id), opt_.Name);  // before Online: a client then knows by whom
    Publish(topics_.Availability(Id), kOnline);
    // Said as it comes back: before that it is no fact that anyone can see it.
    B.OnlineSent = Clock::now();
    for (int n = 0; n < kInputs; ++n) Publish(topics_.Input(Id, n), InputPayload(Bit(B.Inputs, n)));
    for (int n = 0; n < kOutputs; ++n)
        Publish(topics_.Output(Id, n), OutputPayload(Bit(B.Commanded, n)));
}

void Bridge::PublishIndex() {
    if (!connected_ || !synced_) return;
    Index index{{}, opt_.Heartbeat};
    for (const auto& [id, b] : boards_)
        if (Holds(b)) index.Ids.push_back(id);
    std::string payload = IndexPayload(index);
    if (payload == index_) return;
    index_ = std::move(payload);
    Publish(topics_.BridgeIndex(opt_.Name), index_);
}

void Bridge::Beat(Clock::time_point Now) {
    if (!connected_ || !online_ || opt_.Heartbeat <= 0) return;
    const bool asked = pinged_ && Now >= pingBeat_ + kPingBeat;
    if (Now < nextBeat_ && !asked) return;
    // Retained, as all else it publishes: a broker may order a message it stores behind one it
    // only passes on, and aedes then drops the stored one at subscribers that got the later first.
    connection_.Publish(topics_.BridgeAlive(opt_.Name), std::to_string(++beats_), true);
    if (asked) {
        pinged_ = false;
        pingBeat_ = Now;
    }
    if (Now >= nextBeat_) nextBeat_ = Now + std::chrono::seconds(opt_.Heartbeat);
}

Bridge::Clock::time_point Bridge::NextDue(Clock::time_point Due) const {
    if (pinged_ && online_) Due = std::min(Due, pingBeat_ + kPingBeat);
    for (const auto& [topic, g] : guards_)
        if (g.Due) Due = std::min(Due, g.FixedAt + kCorrectEvery);
    for (const auto& [id, b] : boards_)
        if (b.OnlineSent) Due = std::min(Due, *b.OnlineSent + kEchoLimit);
    if (unlogged_ > 0) Due = std::min(Due, unloggedSince_ + kSummary);
    return Due;
}

void Bridge::Timers(Clock::time_point Now) {
    for (auto& [topic, g] : guards_)
        if (g.Due && Now >= g.FixedAt + kCorrectEvery) Correct(topic, g, Now);
    for (auto& [id, b] : boards_)
        if (b.OnlineSent && Now >= *b.OnlineSent + kEchoLimit) {
            b.OnlineSent.reset();
            Line() << "board " << Printable(b.Serial) << ": the broker does not echo "
                   << Printable(topics_.Availability(id)) << " (may bridge " << Printable(opt_.Name)
                   << " write it? its ACL)" << std::endl;
        }
    Summarize(Now, false);
}

int Forget(const Options& Opt, std::ostream& Log) {
    std::mutex mutex;
    std::condition_variable woken;
    bool wake = false;
    Connection connection(Opt, "", [&] {
        {
            const std::lock_guard lock(mutex);
            wake = true;
        }
        woken.notify_one();
    });
    connection.Start();
    const Topics topics(Opt.Prefix, Opt.Name);
    // What each thing to forget owns: a board's topics under its id and its discovery, a
    // bridge's own three.
    struct Forgotten {
        std::string What;  // "board K0001", "bridge lab2"
        std::string Under;  // its topics' common start, or empty
        std::set<std::string> Exact;
        std::string Id;      // a board's
        std::string Bridge;  // a bridge's name
        std::size_t Cleared = 0;
    };
    std::vector<Forgotten> things;
    std::vector<std::string> patterns = {topics.BridgeStates(), topics.BridgeIndexes(),
                                         topics.BridgeAlives()};
    for (const std::string& serial : Opt.Forget) {
        Forgotten f{"board " + Printable(serial), Opt.Prefix + "/" + EscapeId(serial) + "/", {},
                    EscapeId(serial), "", 0};
        for (const Message& m : Discovery(topics, Opt.DiscoveryPrefix, serial, Opt.InputsOnLow)) {
            f.Exact.insert(m.Topic);
            patterns.push_back(m.Topic);
        }
        patterns.push_back(f.Under + "#");
        things.push_back(std::move(f));
    }
    for (const std::string& name : Opt.ForgetBridges)
        things.push_back({"bridge " + Printable(name), "",
                          {topics.BridgeAvailability(name), topics.BridgeIndex(name),
                           topics.BridgeAlive(name)},
                          "",
                          name,
                          0});
    const auto owner = [&](const std::string& Topic) -> Forgotten* {
        for (Forgotten& f : things)
            if (f.Exact.contains(Topic) || (!f.Under.empty() && Topic.starts_with(f.Under)))
                return &f;
        return nullptr;
    };

    Settling settling;
    std::map<std::string, std::string> retained;  // what the broker holds, of what matters here
    std::map<std::string, std::string> alive;     // by bridge: the first count heard
    std::set<std::string> moved;                  // bridges whose count moved since the ping
    std::optional<Clock::time_point> pingedBy;
    std::set<std::string> asked;  // the bridges pinged
    std::string last;             // the last topic cleared: its echo says the broker has it all
    auto limit = Clock::time_point::max();
    bool echoed = false;
    bool decided = false;  // what to clear, once settled and the live bridges known
    const auto fail = [&](const std::string& Why) {
        Log << "kelvorn-mqtt: " << Why << std::endl;
        connection.Stop();
        return 1;
    };
    while (!echoed && Clock::now() < limit) {
        {
            std::unique_lock lock(mutex);
            Clock::time_point until = limit;
            if (pingedBy)
                until = std::min(until, *pingedBy);
            else if (settling.Subscribed() && last.empty())
                until = std::min({until, settling.QuietAt(), settling.LimitAt()});
            woken.wait_until(lock, until, [&] { return wake; });
            wake = false;
        }
        const auto now = Clock::now();
        for (const Connection::Event& e : connection.Take()) {
            if (e.What == Connection::Event::Kind::Down)
                return fail(e.Text + "; nothing forgotten");
            if (e.What == Connection::Event::Kind::Up) {
                settling.Restart(now);
                settling.Expect(connection.Subscribe(patterns));
                limit = now + kSyncLimit + Settling::kLimit;
            } else if (e.What == Connection::Event::Kind::Subscribed) {
                settling.Acked(e.Mid, now);
            } else if (e.What == Connection::Event::Kind::Message) {
                if (!last.empty()) {
                    echoed = e.Topic == last && e.Text.empty() && !e.Retained;
                    continue;
                }
                settling.Heard(e.Topic, now);
                const auto state = ParseState(Opt.Prefix, e.Topic);
                if (state && state->What == State::Kind::BridgeAlive) {
                    if (!alive.contains(state->Level) && !pingedBy)
                        alive[state->Level] = e.Text;
                    else if (pingedBy && alive[state->Level] != e.Text)
                        moved.insert(state->Level);
                }
                if (e.Retained && !e.Text.empty()) retained[e.Topic] = e.Text;
            }
        }
        if (!last.empty() || !settling.Subscribed() ||
            (!settling.Quiet(now) && !settling.Expired(now)))
            continue;
        // Settled: who holds what, and which of those are live.
        const auto value = [&](const std::string& Topic) {
            const auto it = retained.find(Topic);
            return it == retained.end() ? std::string() : it->second;
        };
        const auto online = [&](const std::string& Name) {
            return value(topics.BridgeAvailability(Name)) == kOnline;
        };
        std::vector<std::pair<const Forgotten*, std::string>> held;  // and by which bridge
        for (const Forgotten& f : things) {
            const std::string bridge = f.Id.empty() ? f.Bridge : value(topics.HeldBy(f.Id));
            if (online(bridge) && (f.Id.empty() || value(topics.Availability(f.Id)) == kOnline))
                held.emplace_back(&f, bridge);
        }
        std::set<std::string> live;
        const bool pinging = !pingedBy;
        for (const auto& [f, bridge] : held) {
            const std::optional<Index> index = ParseIndex(value(topics.BridgeIndex(bridge)));
            if ((index && index->Heartbeat == 0) || moved.contains(bridge)) {
                live.insert(bridge);
                continue;
            }
            if (!pinging || !asked.insert(bridge).second) continue;
            connection.Publish(topics.BridgePing(bridge), "", false);
            // Anyone may write an index: a period past a minute is no bridge's.
            const int period = std::clamp(index ? index->Heartbeat : 2, 1, 60);
            pingedBy = std::max(pingedBy.value_or(now),
                                now + std::chrono::seconds(period) + std::chrono::milliseconds(500));
            limit = std::max(limit, *pingedBy + kSyncLimit);
        }
        // The answers have time yet.
        if (pingedBy && now < *pingedBy && held.size() != live.size()) continue;
        bool refused = false;
        for (const auto& [f, bridge] : held)
            if (live.contains(bridge) && !Opt.Force) {
                Log << "kelvorn-mqtt: " << f->What
                    << (f->Id.empty() ? " is Online and live" : " is Online under bridge " +
                                                                   Printable(bridge) + ", which is live")
                    << ": not forgotten (--force clears it all the same)" << std::endl;
                refused = true;
            }
        if (refused) {
            connection.Stop();
            return 2;
        }
        std::vector<std::string> gone;
        for (const auto& [topic, payload] : retained)
            if (Forgotten* f = owner(topic)) {
                gone.push_back(topic);
                ++f->Cleared;
            }
        decided = true;
        if (gone.empty()) break;
        last = gone.back();
        for (const std::string& topic : gone) connection.Publish(topic, "", true);
        limit = Clock::now() + kSyncLimit;
    }
    if (!last.empty() && !echoed) {  // a broker that drops the clearing messages says nothing
        return fail("the broker did not confirm the cleared topics within " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kSyncLimit).count()) +
                    " s (may this user publish and subscribe to them?); nothing is sure to be forgotten");
    }
    if (!decided) return fail("the broker did not answer in time; nothing forgotten");
    for (const Forgotten& f : things)
        Log << "kelvorn-mqtt: " << f.What << " forgotten: " << f.Cleared << " retained topic"
            << (f.Cleared == 1 ? "" : "s") << " cleared" << std::endl;
    return connection.Stop() ? 0 : 1;
}

}  // namespace kmqtt
