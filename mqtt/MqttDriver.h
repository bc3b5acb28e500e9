// The boards behind kelvorn-mqtt bridges, through the broker, behind the driver seam: what the
// programs reach with --mqtt URL. It depends on the topic contract alone (Topics.h), so any
// program that publishes it will do.
//
// - The devices are the boards whose availability is Online and whose bridge's is too (a board
//   whose bridge is not named counts on its own availability), and whose bridge's heartbeat, if
//   its index promises one, came within 2 periods and 0.5 s; in the order of their serials. A
//   board's serial is its id unescaped; ids that no serial gives, and serials an FT232R EEPROM
//   cannot hold (longer than 16 bytes, or with a zero byte), are passed over. Each reads
//   "Kelvorn" as its description.
// - The list (Serials, Open by index) is complete once the broker's retained state has settled
//   (Settling.h), and the boards named in each Online bridge's index have all come: those calls
//   wait for that, at most 3 s after subscribing. OpenEx waits only until that one board's state
//   has come whole (its availability, bridge, inputs and outputs, its bridge's availability);
//   a board that is not there is not found once the state has settled.
// - A board is shared: any number of handles, in this program and in others, may hold it, and
//   opening it sends nothing. Shared() says so to the board class's users.
// - GetBitMode answers from the latest state the bridge published (in<N> high: the pin high;
//   out<N> ON: the pin low), without any traffic. It fails with FT_IO_ERROR while the board or
//   its bridge is Offline, the bridge's heartbeat is late, its state is incomplete, or the broker
//   is out of reach.
// - Write publishes out<N>/set ON or OFF (QoS 1, not retained) for each output whose state in
//   the byte differs from the one the board reports, and returns once the board reports every
//   one of them, or fails with FT_IO_ERROR after 2 s, 0 bytes written. So an output written is
//   switched at the board when Write returns.
// - Pulse publishes out<N>/pulse (QoS 1): the bridge times it, so it ends whatever happens here.
// - SetBitMode, SetBaudRate and SetLatencyTimer succeed and send nothing: the bridge owns the
//   chip.
// - A payload outside the contract leaves the last good state, and is told to Log. An empty
//   payload clears a state only as a retained message does: under MQTT 5 the subscriptions keep
//   the retain flag as published, and an empty message published without it is outside the
//   contract; under MQTT 3.1.1, where the flag is lost, every empty payload is taken as cleared.
// - When the broker goes away every read fails; on its return the state comes again with the
//   connection's backoff, and reads work again.
//
// Thread-safe: calls may come from any thread; the network thread updates the state.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "d2xx/d2xx.h"
#include "mqtt/Connection.h"
#include "mqtt/Remote.h"
#include "mqtt/Settling.h"
#include "mqtt/Topics.h"

namespace kmqtt {

class MqttDriver final : public d2xx::Driver {
public:
    // Log, when given, gets one line (without the program's name) for each message outside the
    // contract; it is called on the network thread.
    explicit MqttDriver(Remote Where, std::function<void(const std::string&)> Log = {});
    ~MqttDriver() override;
    MqttDriver(const MqttDriver&) = delete;
    MqttDriver& operator=(const MqttDriver&) = delete;

    // Connects, and returns once the broker has acknowledged the subscriptions; or the one line
    // that says why not (the broker not found, not answering, refusing us, failing TLS) as soon
    // as the first attempt fails, and at the latest after Limit. The connection is kept up
    // either way; a second call only waits again.
    std::optional<std::string> Start(std::chrono::milliseconds Limit = std::chrono::milliseconds(4000));

    // The devices as Open numbers them: their serials, once the state has settled.
    std::vector<std::string> Serials() const;
    // The name of the bridge holding the board with this serial; "" when it is not named.
    std::string BridgeOf(const std::string& Serial) const;
    // Why the broker is out of reach, in the words Start returns; "" while connected.
    std::string Unreachable() const;

    bool Shared() const override { return true; }
    d2xx::FT_STATUS Open(std::int32_t Index, d2xx::FT_HANDLE* Handle) override;
    d2xx::FT_STATUS OpenEx(const char* Arg, std::uint32_t Flags, d2xx::FT_HANDLE* Handle) override;
    d2xx::FT_STATUS Close(d2xx::FT_HANDLE Handle) override;
    d2xx::FT_STATUS EE_Read(d2xx::FT_HANDLE Handle, d2xx::FT_PROGRAM_DATA* Data) override;
    d2xx::FT_STATUS SetBitMode(d2xx::FT_HANDLE Handle, std::uint8_t Mask, std::uint8_t Mode) override;
    d2xx::FT_STATUS SetBaudRate(d2xx::FT_HANDLE Handle, std::uint32_t BaudRate) override;
    d2xx::FT_STATUS SetLatencyTimer(d2xx::FT_HANDLE Handle, std::uint8_t Timer) override;
    d2xx::FT_STATUS Write(d2xx::FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                          std::uint32_t* BytesWritten) override;
    d2xx::FT_STATUS GetBitMode(d2xx::FT_HANDLE Handle, std::uint8_t* Pins) override;
    d2xx::FT_STATUS Pulse(d2xx::FT_HANDLE Handle, int Output, std::uint32_t Millis) override;
    std::string Absent(const std::string& Serial) const override;

private:
    using Clock = std::chrono::steady_clock;
    // What the broker holds of one board, as last heard; nothing = not heard, or cleared.
    struct Board {
        std::optional<bool> Online;
        std::string Bridge;
        std::array<std::optional<bool>, 5> In;   // high
        std::array<std::optional<bool>, 3> Out;  // on
        std::array<unsigned, 3> OutHeard{};      // reports of each output so far
    };
    // And of one bridge.
    struct BridgeState {
        std::optional<bool> Online;
        std::optional<Index> Holds;
        Clock::time_point AliveAt;  // its last heartbeat, or when its index came
    };

    void Wake();  // on the network thread
    void Heard(const std::string& Topic, const std::string& Payload, bool Retained);
    // mutex_ held, for all below.
    const BridgeState* BridgeOfBoard(const Board& B) const;
    bool Late(const BridgeState& B, Clock::time_point Now) const;  // its heartbeat is overdue
    bool Listed(const Board& B, Clock::time_point Now) const;
    bool Whole(const Board& B) const;  // every topic of it has come
    bool Settled(Clock::time_point Now) const;
    // Waits until Done() or the state has settled (or the broker is gone): Done() then.
    template <class Pred>
    bool Await(std::unique_lock<std::mutex>& Lock, Pred Done) const;
    // Serial and id of each device, sorted; kept while nothing changes for up to 100 ms, so that
    // a scan of a fleet's boards does not sort them again for each.
    const std::vector<std::pair<std::string, std::string>>& Listing() const;
    // The board behind Handle while its state can be read; null otherwise.
    const Board* Readable(d2xx::FT_HANDLE Handle) const;
    d2xx::FT_STATUS Opened(const std::string& Id, d2xx::FT_HANDLE* Handle);

    const Remote where_;
    const Topics topics_;
    std::function<void(const std::string&)> log_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // state, connection or synchronisation changed
    std::map<std::string, Board> boards_;         // by id
    std::map<std::string, BridgeState> bridges_;  // by name
    std::map<d2xx::FT_HANDLE, std::string> handles_;  // to ids
    d2xx::FT_HANDLE lastHandle_ = 0;
    bool started_ = false;
    bool up_ = false;  // connected
    Settling settling_;
    unsigned changes_ = 0;  // of the state: boards, bridges, connection
    mutable std::vector<std::pair<std::string, std::string>> listing_;
    mutable unsigned listedAt_ = ~0u;  // changes_ when listing_ was made
    mutable unsigned settledAt_ = ~0u;  // changes_ when the state was last found settled
    mutable Clock::time_point listedWhen_;
    std::string down_;  // why the last attempt failed
    std::unique_ptr<Connection> connection_;  // last: its thread calls Wake until it stops
};

}  // namespace kmqtt
