// The bridge between the Kelvorn boards on this machine and the broker: it holds the boards it
// finds, samples their inputs, publishes what changed and carries out the commands for their
// outputs (see Topics.h for the topics).
//
// One thread, the one in Run, makes every board call. The network thread only queues what
// arrives; Run wakes for it, for the next sample, for the end of a pulse and for the next look for
// boards, and sleeps otherwise.
//
// An id is one bridge's at a time. On each connect the bridge reads, before it publishes anything
// of its boards, which bridge holds each id (<prefix>/<id>/bridge and the availability topics,
// retained): it waits until the echo of its own Online has come (it may read what it writes) and
// the retained state has settled (Settling.h), at most 5 s. A board whose id is Online under
// another bridge that is Online itself is left alone, closed, until either of the two goes
// Offline. Two bridges that take one id at once (each settled before the other's claim came)
// leave it to the one whose name sorts first in byte order: the other closes it and publishes
// nothing more of it, and the first claims it again over the other's claim.
//
// Beside the boards it publishes its index, <prefix>/bridge/<name>/boards (the ids it holds
// Online, and its heartbeat period), whenever that changes, and a heartbeat every --heartbeat
// seconds from the thread that makes the board calls: a client that hears none for two periods
// knows the bridge hung or lost its link, long before the broker's keep-alive would tell.
#pragma once

#include <array>
#include <chrono>
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
    // takes it back) and the connection says goodbye. Returns the exit status, 0.
    int Run();

private:
    using Clock = std::chrono::steady_clock;
    // A board this bridge has held, or found and left to another bridge; it stays known, Offline,
    // when it stops answering.
    struct Held {
        std::string Serial;
        std::unique_ptr<kelvorn::Board> Board;  // null while Offline or left alone
        std::string LeftTo;      // the bridge it is left to, as last logged; empty while taken
        bool Subscribed = false;  // to its commands, on this connection
        bool Discovered = false;  // its discovery published on this connection
        std::uint8_t Commanded = 0;  // bit N: output N on, as last commanded
        std::uint8_t Inputs = 0;     // bit N: input N high, as last published
        std::array<std::optional<Clock::time_point>, 3> PulseEnd;
        std::string ReclaimedFrom;  // the losing bridge whose claim this one has answered
    };
    // An id as the broker's retained state tells of it.
    struct Claim {
        std::string Bridge;  // the bridge that holds it
        bool Online = false;
    };

    void Handle(const Connection::Event& E);
    // The ids held Online, published when they changed.
    void PublishIndex();
    void Beat(Clock::time_point Now);
    void Connected();
    void Synced();
    void StateMessage(const kmqtt::State& S, const std::string& Payload);
    void Command(const std::string& Topic, const std::string& Payload, bool Retained);
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
    // The other bridge that holds Id, both Online, as far as the broker has told; else empty.
    std::string HolderElsewhere(const std::string& Id) const;
    void Publish(const std::string& Topic, const std::string& Payload);
    // Everything of one board, retained: discovery once per connection, who holds it, its
    // availability, and while held its inputs and outputs. Only once synced.
    void Announce(const std::string& Id, Held& B);
    std::optional<Clock::time_point> NextPulseEnd() const;
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
    Clock::time_point syncBy_;  // or is taken as come, without the echo (no read access)
    std::string index_;     // as last published on this connection
    Clock::time_point nextBeat_;
    unsigned long beats_ = 0;
    Clock::time_point nextRescan_;
    std::string down_;                    // why the broker is out of reach, as last logged
    std::map<std::string, Held> boards_;  // by id
    std::map<std::string, Claim> claims_;  // by id, of every board on the broker
    std::map<std::string, bool> bridges_;  // by name: Online
    std::set<std::string> clearing_;  // command topics this bridge cleared, until it sees that
    std::map<std::string, std::string> openFailure_;  // by serial, as last logged
    int unnamed_ = 0;  // boards with an empty serial the last scan stepped past
    bool noneFound_ = false;  // "no Kelvorn board found" said since a board was last held
};

// kelvorn-mqtt --forget: clears every retained topic of each board in Opt.Forget on the broker
// (discovery, availability, bridge, inputs, outputs and any command left there). The exit status:
// 0, or 1 when the broker could not be reached (said on Log).
int Forget(const Options& Opt, std::ostream& Log);

}  // namespace kmqtt
