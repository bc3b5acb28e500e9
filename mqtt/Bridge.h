// The bridge between the Kelvorn boards on this machine and the broker: it holds the boards it
// finds, samples their inputs, publishes what changed and carries out the commands for their
// outputs (see Topics.h for the topics).
//
// One thread, the one in Run, makes every board call. The network thread only queues what
// arrives; Run wakes for it, for the next sample, for the end of a pulse and for the next look for
// boards, and sleeps otherwise.
//
// One name, one bridge. On its first connect, before it publishes anything, the bridge reads its
// own availability and heartbeat: when its name is Online and live (a ping answered by a new
// count within the heartbeat period and 0.5 s; with no heartbeat, Online alone), another copy
// runs under it, and this one exits with status 2 and one line, publishing nothing. An Online
// that is not live is one whose bridge died before its will came, and is taken over.
//
// An id is one bridge's at a time. On each connect the bridge reads, before it publishes anything
// of its boards, which bridge holds each id (<prefix>/<id>/bridge and the bridges' availability
// and index, retained): it waits until the echo of its own Online has come (it may read what it
// writes) and the retained state has settled (Settling.h), at most 5 s. A claim of an id by
// another bridge counts only while that bridge is Online and its index names the id; then the
// board is left alone: this bridge stops publishing it and carrying out its commands, but keeps
// it open and its outputs as they are, and publishes it again as it is once the other lets it go.
// Two bridges that take one id at once leave it to the one whose name sorts first in byte order,
// whichever of claim, index and Online came first: the other leaves it, and the first claims it
// again over the other's claim.
//
// The bridge is the one source of what it publishes. It reads back its own availability and
// index, and of each board it holds, its availability, claim, inputs and outputs; a message there
// that is neither its own echo nor the truth (someone else's retained out0 ON, a spoofed Offline)
// is answered by publishing the truth again, retained, at most once a second a topic, with one
// log line a topic while someone keeps at it. It stops as its own stop begins.
//
// A command is carried out only while it is less than 1 s old, counted from its arrival as the
// connection tells it (Event::At): a client has given up on an older one. Commands not carried
// out are logged, a few lines a second at most, and the rest counted in a summary line.
//
// Beside the boards it publishes its index, <prefix>/bridge/<name>/boards (the ids it holds
// Online, and its heartbeat period), whenever that changes, and a heartbeat every --heartbeat
// seconds from the thread that makes the board calls, and at once when pinged: a client that
// hears none for two periods knows the bridge hung or lost its link, long before the broker's
// keep-alive would tell.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "d2xx/d2xx.h"
#include "device/Board.h"
#include "mqtt/Connection.h"
#include "mqtt/Options.h"
#include "mqtt/Settling.h"
#include "mqtt/Topics.h"

namespace kmqtt {

class Bridge {
public:
    // The driver and the log must outlive the bridge. Log gets one line per event.
    Bridge(const Options& Opt, d2xx::Driver& Driver, std::ostream& Log);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Runs until SIGINT or SIGTERM, which the caller has blocked in every thread before the
    // bridge was made. Then every running pulse ends (output off, its state published), every
    // board and the bridge are published Offline, the boards are closed (a board's serial driver
    // takes it back) and the connection says goodbye. Returns the exit status: 0, or 2 when
    // another bridge runs under its name (said on Log).
    int Run();

private:
    using Clock = std::chrono::steady_clock;
    // A board this bridge has held, or found and left to another bridge; it stays known, Offline,
    // when it stops answering.
    struct Held {
        std::string Serial;
        std::unique_ptr<kelvorn::Board> Board;  // null while Offline
        std::string LeftTo;      // the bridge it is left to; empty while this bridge holds it
        bool Subscribed = false;  // to its commands and its state, on this connection
        bool Discovered = false;  // its discovery published on this connection
        std::uint8_t Commanded = 0;  // bit N: output N on, as last commanded
        std::uint8_t Inputs = 0;     // bit N: input N high, as last published
        std::array<std::optional<Clock::time_point>, 3> PulseEnd;
        std::string ReclaimedFrom;  // the losing bridge whose claim this one has answered
        std::optional<Clock::time_point> OnlineSent;  // its Online published, not echoed yet
    };
    // Another bridge, as far as it matters here.
    struct Peer {
        bool Online = false;
        std::set<std::string> Ids;  // of the ids known here, those its index names
    };
    // A topic this bridge owns: what it published there and has not seen back yet, oldest first.
    struct Guard {
        std::deque<std::string> Pending;
        Clock::time_point FixedAt{};    // its last correction
        Clock::time_point ForeignAt{};  // the last message of someone else's
        bool Due = false;               // a correction waits for the rate limit
    };

    bool Holds(const Held& B) const { return B.Board && B.LeftTo.empty(); }
    void Handle(const Connection::Event& E);
    // The ids held Online, published when they changed.
    void PublishIndex();
    void Beat(Clock::time_point Now);
    void Connected();
    // Its own Online, once no other bridge runs under its name.
    void GoOnline();
    // The first connect's look for another bridge of its name; true when one runs.
    bool Check(Clock::time_point Now);
    void Synced();
    void StateMessage(const kmqtt::State& S, const Connection::Event& E);
    // What this bridge holds true on a topic of its own, or nothing where it has no say.
    std::optional<std::string> Truth(const kmqtt::State& S) const;
    // A message on a topic of its own: its echo, or someone else's, answered with the truth.
    void Defend(const kmqtt::State& S, const Connection::Event& E);
    void Correct(const std::string& Topic, Guard& G, Clock::time_point Now);
    void Weigh();
    void Command(const Connection::Event& E);
    // A log line for a command not carried out, or null beyond a few a second.
    std::ostream* Ignored(const std::string& Topic, const std::string& Payload);
    void Summarize(Clock::time_point Now, bool Stopping);
    void Rescan();
    void Take(const std::string& Serial);
    void Sample();
    // One pin read of one board, its inputs published where they changed; false (and the board
    // dropped) when it does not answer.
    bool Sample(const std::string& Id, Held& B);
    void EndPulses(Clock::time_point Now);
    void EndPulse(const std::string& Id, Held& B, int N);
    // Writes the latch from Commanded; false (and the board dropped) when it does not answer.
    bool Write(const std::string& Id, Held& B);
    void Drop(const std::string& Id, Held& B);
    void LeaveAlone(Held& B, const std::string& Holder);
    // Held again after another bridge let it go: published as it is.
    void TakeBack(const std::string& Id, Held& B);
    // The other bridge that holds Id by its claim, Online and naming Id in its index (of several,
    // the name that sorts first); else empty.
    std::string HolderElsewhere(const std::string& Id) const;
    void Publish(const std::string& Topic, const std::string& Payload);
    // Everything of one board, retained: discovery once per connection, who holds it, its
    // availability, and while held its inputs and outputs. Only once synced.
    void Announce(const std::string& Id, Held& B);
    std::optional<Clock::time_point> NextPulseEnd() const;
    // The next time something waits for: a correction, a missing echo, a summary, a ping.
    Clock::time_point NextDue(Clock::time_point Due) const;
    void Timers(Clock::time_point Now);
    std::ostream& Line();

    const Options& opt_;
    d2xx::Driver& driver_;
    std::ostream& log_;
    Topics topics_;
    int wake_ = -1;  // eventfd the network thread signals
    Connection connection_;
    bool connected_ = false;
    bool synced_ = false;  // the broker's retained state has come since the last connect
    bool echoed_ = false;  // its own Online has come back since the last connect
    Settling settling_;
    Settling check_;  // of its own name's topics alone, for the first connect's look
    Clock::time_point syncBy_;  // or is taken as come, without the echo (no read access)
    Clock::time_point quietFrom_;  // no sooner than this
    std::string index_;     // as last published on this connection
    Clock::time_point nextBeat_;
    unsigned long beats_ = 0;
    Clock::time_point nextRescan_;
    std::string down_;                    // why the broker is out of reach, as last logged
    std::map<std::string, Held> boards_;  // by id
    // By id, of the boards known here only: the other bridges that claimed it, latest last.
    std::map<std::string, std::deque<std::string>> claims_;
    // (id, bridge): the claims there before its own Online on this connection.
    std::set<std::pair<std::string, std::string>> claimedBefore_;
    // By name: the bridges that claim a board known here, and others up to a bound.
    std::map<std::string, Peer> bridges_;
    std::map<std::string, Guard> guards_;  // by topic, the topics it owns
    bool first_ = true;     // no connect yet
    bool checking_ = false;  // the first connect's look for another bridge of its name
    bool online_ = false;   // its Online published on this connection
    bool stopping_ = false;
    int exit_ = 0;
    std::optional<bool> ownOnline_;  // its name's availability as the broker held it
    int ownHeartbeat_ = -1;          // its name's index's heartbeat, -1 unknown
    std::optional<std::string> ownAlive_;  // the first count heard
    bool aliveMoved_ = false;  // a count other than the first came since the ping
    std::optional<Clock::time_point> checkBy_;  // the ping sent: the answer's deadline
    bool pinged_ = false;   // a ping waits for its beat
    Clock::time_point pingBeat_{};  // the last beat a ping asked for
    double ignoredLines_ = 10;  // the lines it may log now for ignored commands
    Clock::time_point ignoredSince_{};  // when that was counted
    unsigned long unlogged_ = 0;  // ignored commands not logged since unloggedSince_
    Clock::time_point unloggedSince_{};
    std::set<std::string> clearing_;  // command topics this bridge cleared, until it sees that
    std::map<std::string, std::string> openFailure_;  // by serial, as last logged
    int unnamed_ = 0;  // boards with an empty serial the last scan stepped past
    bool noneFound_ = false;  // "no Kelvorn board found" said since a board was last held
};

// kelvorn-mqtt --forget, --forget-bridge: clears the retained topics the broker holds of each board
// in Opt.Forget (discovery, availability, bridge, inputs, outputs and any command left there) and
// of each bridge in Opt.ForgetBridges (its availability, index and heartbeat), and says how many
// of each it found and cleared. Unless Opt.Force it clears nothing when one of them is held by a
// live bridge (a board Online under a bridge that is Online and answers a ping, as at a bridge's
// start) and says which. The exit status: 0; 2 refused; 1 when the broker could not be reached
// or did not confirm (said on Log).
int Forget(const Options& Opt, std::ostream& Log);

}  // namespace kmqtt
