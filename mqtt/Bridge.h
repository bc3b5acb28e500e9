// The bridge between the Kelvorn boards on this machine and the broker: it holds the boards it
// finds, samples their inputs, publishes what changed and carries out the commands for their
// outputs (see Topics.h for the topics).
//
// One thread, the one in Run, makes every board call. The network thread only queues what
// arrives; Run wakes for it, for the next sample, for the end of a pulse and for the next look for
// boards, and sleeps otherwise.
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
    // bridge was made. Then every board and the bridge are published Offline, the boards are
    // closed (a board's serial driver takes it back) and the connection says goodbye. Returns
    // the exit status, 0.
    int Run();

private:
    using Clock = std::chrono::steady_clock;
    // A board this bridge has held; it stays known, Offline, when it stops answering.
    struct Held {
        std::string Serial;
        std::unique_ptr<kelvorn::Board> Board;  // null while Offline
        std::uint8_t Commanded = 0;             // bit N: output N on, as last commanded
        std::uint8_t Inputs = 0;                // bit N: input N high, as last published
        std::array<std::optional<Clock::time_point>, 3> PulseEnd;
    };

    void Handle(const Connection::Event& E);
    void Command(const std::string& Topic, const std::string& Payload, bool Retained);
    void Rescan();
    void Take(const std::string& Serial);
    void Sample();
    // One pin read of one board, its inputs published where they changed; false (and the board
    // dropped) when it does not answer.
    bool Sample(const std::string& Id, Held& B);
    void EndPulses(Clock::time_point Now);
    // Writes the latch from Commanded; false (and the board dropped) when it does not answer.
    bool Write(const std::string& Id, Held& B);
    void Drop(const std::string& Id, Held& B);
    void Publish(const std::string& Topic, const std::string& Payload);
    void PublishBoard(const std::string& Id, const Held& B, bool Discovery);
    void Subscribe(const std::string& Id);
    std::optional<Clock::time_point> NextPulseEnd() const;
    std::ostream& Line();

    const Options& opt_;
    d2xx::Driver& driver_;
    std::ostream& log_;
    Topics topics_;
    int wake_ = -1;  // eventfd the network thread signals
    Connection connection_;
    bool connected_ = false;
    std::string down_;                    // why the broker is out of reach, as last logged
    std::map<std::string, Held> boards_;  // by id
    std::map<std::string, std::string> openFailure_;  // by serial, as last logged
    int unnamed_ = 0;  // boards with an empty serial the last scan stepped past
};

}  // namespace kmqtt
