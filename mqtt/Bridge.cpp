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

bool Bit(std::uint8_t Bits, int N) { return (Bits >> N & 1) != 0; }

// A payload for the log, escaped; of a long one its first bytes and its length.
std::string Shown(std::string_view Payload, bool Quoted) {
    const std::string quote = Quoted ? "'" : "";
    std::string shown = quote + Printable(Payload.substr(0, kShownBytes)) + quote;
    if (Payload.size() > kShownBytes)
        shown += "\u2026 (" + std::to_string(Payload.size()) + " bytes)";
    return shown;
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
        if (connected_ && !synced_) {
            due = std::min(due, syncBy_);
            if (settling_.Subscribed()) due = std::min({due, settling_.QuietAt(), settling_.LimitAt()});
        }
        if (connected_ && opt_.Heartbeat > 0) due = std::min(due, nextBeat_);
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
        if (connected_ && !synced_) {
            if (echoed_ && (settling_.Quiet(now) || settling_.Expired(now))) {
                Synced();
            } else if (now >= syncBy_) {
                if (!echoed_)
                    Line() << "no echo of " << Printable(topics_.Bridge())
                           << " from the broker (may this bridge read it?): the boards are "
                              "published without looking for other bridges"
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
        PublishIndex();
    }
    close(signals);

    Line() << "stopping" << std::endl;
    for (auto& [id, b] : boards_)
        for (int n = 0; n < kOutputs && b.Board; ++n)
            if (b.PulseEnd[static_cast<std::size_t>(n)]) EndPulse(id, b, n);
    if (synced_)
        for (auto& [id, b] : boards_)
            if (b.Board || HolderElsewhere(id).empty()) Publish(topics_.Availability(id), kOffline);
    if (synced_) {
        boards_.clear();  // closes every board: its serial driver takes it back
        PublishIndex();
    }
    Publish(topics_.Bridge(), kOffline);
    // The goodbye waits for the echo of that last message: the broker has then read everything
    // before it, and this end has read the echoes of all of it. Closing with echoes unread would
    // reset the connection, and the broker would drop what it had not read yet.
    const auto limit = Clock::now() + kSyncLimit / 5;
    for (bool echoed = !connected_; !echoed && Clock::now() < limit;) {
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
            synced_ = false;
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
                        if (b.Board || HolderElsewhere(id).empty())
                            for (const Message& m : Discovery(topics_, opt_.DiscoveryPrefix,
                                                              b.Serial, opt_.InputsOnLow))
                                Publish(m.Topic, m.Payload);
                break;
            }
            if (const auto state = ParseState(opt_.Prefix, E.Topic)) {
                settling_.Heard(E.Topic, Clock::now());
                if (state->What == State::Kind::BridgeAvailability && state->Level == opt_.Name) {
                    // Its own Online, come back: it may read what it writes.
                    if (!E.Retained && E.Text == kOnline) echoed_ = true;
                } else {
                    StateMessage(*state, E.Text);
                }
                break;
            }
            Command(E.Topic, E.Text, E.Retained);
            break;
        case Connection::Event::Kind::Subscribed:
            settling_.Acked(E.Mid, Clock::now());
            break;
        case Connection::Event::Kind::Published:
            break;  // it publishes with QoS 0 only
    }
}

void Bridge::Connected() {
    connected_ = true;
    synced_ = echoed_ = false;
    settling_.Restart(Clock::now());
    syncBy_ = Clock::now() + kSyncLimit;
    index_.clear();
    nextBeat_ = Clock::now();
    down_.clear();
    claims_.clear();
    bridges_.clear();
    clearing_.clear();
    for (auto& [id, b] : boards_) b.Subscribed = b.Discovered = false;
    Line() << "connected to the broker"
           << (connection_.Mqtt5() ? ""
                                   : " (it speaks MQTT 3.1.1 only: a command published retained "
                                     "is seen as stale only once it is on the broker)")
           << std::endl;
    if (opt_.Discovery) connection_.Subscribe(opt_.DiscoveryPrefix + "/status");
    settling_.Expect(connection_.Subscribe(topics_.BridgeStates()));
    settling_.Expect(connection_.Subscribe(opt_.Prefix + "/+/bridge"));
    settling_.Expect(connection_.Subscribe(opt_.Prefix + "/+/availability"));
    Publish(topics_.Bridge(), kOnline);
}

void Bridge::Synced() {
    synced_ = true;
    for (auto& [id, b] : boards_) {
        // Held elsewhere since before this bridge connected: that bridge was first.
        if (const std::string holder = HolderElsewhere(id); !holder.empty())
            LeaveAlone(b, holder);
        else
            Announce(id, b);
    }
}

std::string Bridge::HolderElsewhere(const std::string& Id) const {
    const auto claim = claims_.find(Id);
    if (claim == claims_.end() || !claim->second.Online || claim->second.Bridge.empty() ||
        claim->second.Bridge == opt_.Name)
        return "";
    const auto bridge = bridges_.find(claim->second.Bridge);
    return bridge != bridges_.end() && bridge->second ? claim->second.Bridge : "";
}

void Bridge::StateMessage(const kmqtt::State& S, const std::string& Payload) {
    if (S.What == State::Kind::BridgeAvailability) {
        bridges_[S.Level] = ParseAvailability(Payload).value_or(false);
    } else if (S.What == State::Kind::Availability) {
        claims_[S.Level].Online = ParseAvailability(Payload).value_or(false);
    } else if (S.What == State::Kind::HeldBy) {
        claims_[S.Level].Bridge = Payload;
    }
    if (!synced_) return;  // weighed all at once when synced
    // Weighed at every message, whichever of the other bridge's claim and its Online came first.
    for (auto& [id, b] : boards_) {
        const std::string holder = HolderElsewhere(id);
        if (b.Board && !holder.empty()) {
            // Another bridge has taken this id as this one did: the name that sorts first keeps
            // it, and claims it again over the other's claim, once for each claim it answers.
            if (holder < opt_.Name) {
                LeaveAlone(b, holder);
            } else if (b.ReclaimedFrom != holder) {
                b.ReclaimedFrom = holder;
                b.Discovered = false;  // the other's discovery names its own availability
                Announce(id, b);
            }
        } else if (b.Board && holder.empty()) {
            b.ReclaimedFrom.clear();
        } else if (!b.Board && !b.LeftTo.empty() && holder.empty()) {
            b.LeftTo.clear();
            nextRescan_ = Clock::now();  // the bridge it was left to let it go: take it now
        }
    }
}

void Bridge::LeaveAlone(Held& B, const std::string& Holder) {
    B.Board.reset();
    for (auto& end : B.PulseEnd) end.reset();  // closed; taken again with all outputs off
    B.Commanded = 0;
    B.Discovered = false;  // the other bridge's discovery names its own availability
    if (B.LeftTo != Holder)
        Line() << "board " << Printable(B.Serial) << " is held by bridge " << Printable(Holder)
               << ": left alone" << std::endl;
    B.LeftTo = Holder;
}

void Bridge::Command(const std::string& Topic, const std::string& Payload, bool Retained) {
    const auto ignored = [&]() -> std::ostream& {
        return Line() << "ignored " << Printable(Topic) << ' ' << Shown(Payload, true) << ": ";
    };
    if (Retained) {
        if (Payload.empty()) return;  // a retained command taken off the broker: nothing to do
        ignored() << "a retained command is stale, it would switch the output again at every "
                     "reconnect; cleared from the broker"
                  << std::endl;
        clearing_.insert(Topic);
        Publish(Topic, "");
        return;
    }
    const Parsed parsed = ParseCommand(opt_.Prefix, Topic, Payload);
    if (!parsed.Ok) {
        ignored() << parsed.Why << std::endl;
        return;
    }
    const kmqtt::Command& c = *parsed.Ok;
    const auto it = boards_.find(c.Id);
    if (it != boards_.end() && !it->second.Board && !it->second.LeftTo.empty())
        return;  // another bridge's to carry out
    if (it == boards_.end() || !it->second.Board) {
        ignored() << "the board is Offline" << std::endl;
        return;
    }
    Held& b = it->second;
    const auto bit = static_cast<std::uint8_t>(1u << c.Output);
    if (c.What != Command::Kind::Republish) {
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
    // A running pulse counts as ended: the board comes back with that output off.
    for (int n = 0; n < kOutputs; ++n)
        if (B.PulseEnd[static_cast<std::size_t>(n)]) {
            B.PulseEnd[static_cast<std::size_t>(n)].reset();
            B.Commanded = static_cast<std::uint8_t>(B.Commanded & ~(1u << n));
        }
    Publish(topics_.Availability(Id), kOffline);
}

void Bridge::EndPulse(const std::string& Id, Held& B, int N) {
    B.PulseEnd[static_cast<std::size_t>(N)].reset();
    B.Commanded = static_cast<std::uint8_t>(B.Commanded & ~(1u << N));
    if (Write(Id, B) && synced_) Publish(topics_.Output(Id, N), OutputPayload(false));
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
        if (b.Board) Sample(id, b);
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
    connection_.Publish(Topic, Payload, true);
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
        B.Subscribed = true;
    }
    Publish(topics_.HeldBy(Id), opt_.Name);  // before Online: a client then knows by whom
    Publish(topics_.Availability(Id), kOnline);
    Line() << "board " << Printable(B.Serial) << " Online as "
           << Printable(topics_.Availability(Id)) << std::endl;
    for (int n = 0; n < kInputs; ++n) Publish(topics_.Input(Id, n), InputPayload(Bit(B.Inputs, n)));
    for (int n = 0; n < kOutputs; ++n)
        Publish(topics_.Output(Id, n), OutputPayload(Bit(B.Commanded, n)));
}

void Bridge::PublishIndex() {
    if (!connected_ || !synced_) return;
    Index index{{}, opt_.Heartbeat};
    for (const auto& [id, b] : boards_)
        if (b.Board) index.Ids.push_back(id);
    std::string payload = IndexPayload(index);
    if (payload == index_) return;
    index_ = std::move(payload);
    Publish(topics_.BridgeIndex(opt_.Name), index_);
}

void Bridge::Beat(Clock::time_point Now) {
    if (!connected_ || opt_.Heartbeat <= 0 || Now < nextBeat_) return;
    // Retained, as all else it publishes: a broker may order a message it stores behind one it
    // only passes on, and aedes then drops the stored one at subscribers that got the later first.
    connection_.Publish(topics_.BridgeAlive(opt_.Name), std::to_string(++beats_), true);
    nextBeat_ = Now + std::chrono::seconds(opt_.Heartbeat);
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
    // The last topic cleared: its echo tells that the broker has read all the rest before it.
    std::string last;
    std::size_t each = 0;  // topics a board
    auto limit = Clock::time_point::max();
    bool echoed = false;
    while (!echoed && Clock::now() < limit) {
        {
            std::unique_lock lock(mutex);
            if (last.empty())
                woken.wait(lock, [&] { return wake; });
            else
                woken.wait_until(lock, limit, [&] { return wake; });
            wake = false;
        }
        for (const Connection::Event& e : connection.Take()) {
            if (e.What == Connection::Event::Kind::Down) {
                Log << "kelvorn-mqtt: " << e.Text << "; nothing forgotten" << std::endl;
                connection.Stop();
                return 1;
            }
            echoed = echoed || (e.What == Connection::Event::Kind::Message && e.Topic == last &&
                                e.Text.empty() && !e.Retained);
            if (e.What != Connection::Event::Kind::Up) continue;
            std::vector<std::string> gone;
            for (const std::string& serial : Opt.Forget) {
                const std::string id = EscapeId(serial);
                for (const Message& m : Discovery(topics, Opt.DiscoveryPrefix, serial, Opt.InputsOnLow))
                    gone.push_back(m.Topic);
                for (int n = 0; n < kInputs; ++n) gone.push_back(topics.Input(id, n));
                for (int n = 0; n < kOutputs; ++n)
                    for (const char* level : {"", "/set", "/pulse"})
                        gone.push_back(topics.Output(id, n) + level);
                gone.push_back(topics.HeldBy(id));
                gone.push_back(topics.Availability(id));
            }
            last = gone.back();
            each = gone.size() / Opt.Forget.size();
            connection.Subscribe(last);
            for (const std::string& topic : gone) connection.Publish(topic, "", true);
            limit = Clock::now() + kSyncLimit;
        }
    }
    if (!echoed) {  // a broker that drops the clearing messages (its access control) says nothing
        Log << "kelvorn-mqtt: the broker did not confirm the cleared topics within "
            << std::chrono::duration_cast<std::chrono::seconds>(kSyncLimit).count()
            << " s (may this user publish and subscribe to them?); nothing is sure to be forgotten"
            << std::endl;
        connection.Stop();
        return 1;
    }
    for (const std::string& serial : Opt.Forget)
        Log << "kelvorn-mqtt: board " << Printable(serial) << " forgotten: " << each
            << " retained topics cleared" << std::endl;
    return connection.Stop() ? 0 : 1;
}

}  // namespace kmqtt
