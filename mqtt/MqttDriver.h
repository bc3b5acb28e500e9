// The boards behind kelvorn-mqtt bridges, through the broker, behind the driver seam: what the
// programs reach with --mqtt URL. It depends on the topic contract alone (Topics.h), so any
// program that publishes it will do.
//
// - The devices are the boards whose availability is Online, whose bridge is named and Online
//   too and, where it publishes an index, names them there (a retained Online alone is anyone's
//   to publish), and whose bridge answers, in the order of their serials. A bridge whose index promises a heartbeat answers once it is heard
//   alive on this connection, and until a beat is 2 periods and 0.5 s late. Its retained beat may
//   be old (the bridge hung long ago), so it is heard alive only by a beat whose count differs
//   from the first heard: on first hearing such an index the driver publishes to its
//   bridge/<name>/ping (QoS 0, empty), which the bridge answers with its next beat at once. A
//   bridge not heard alive within a period and 0.5 s of its index is late. A
//   board's serial is its id unescaped; ids that no serial gives, and serials an FT232R EEPROM
//   cannot hold (longer than 16 bytes, or with a zero byte), are passed over. Each reads
//   "Kelvorn" as its description.
// - The list (Serials, Open by index) is complete once the broker's retained state has settled
//   (Settling.h), and the boards named in each Online bridge's index have all come: those calls
//   wait for that, at most 3 s after subscribing. OpenEx waits only until that one board's state
//   has come whole (its availability, bridge, inputs and outputs, its bridge's availability) and
//   its bridge is heard alive or late; a board that is not there is not found once the state
//   has settled. A board not heard of then (a broker such as RabbitMQ sends a subscription with a
//   wildcard no retained message) is looked for on its own exact topics, and then its bridge's,
//   each for another quiet time; those are subscribed to again on each connection.
// - Absent says why a board is not found: its or its bridge's state, the one meant when only the
//   case differs, the boards there are (the first 5), an index that names it without its
//   availability, or that nothing came at all (a prefix nothing publishes under, or a broker
//   that sends no retained message to a wildcard).
// - A board is shared: any number of handles, in this program and in others, may hold it, and
//   opening it switches nothing. Shared() says so to the board class's users.
// - GetBitMode answers from the latest state the bridge published (in<N> high: the pin high;
//   out<N> ON: the pin low), without any traffic. It fails with FT_IO_ERROR while the board or
//   its bridge is Offline, the bridge's heartbeat is late, its state is incomplete, or the broker
//   is out of reach.
// - Write publishes out<N>/set ON or OFF (QoS 1, not retained, message expiry 1 s) for each
//   output whose state in the byte differs from the one the board reports and that the caller
//   changed: one whose pin in the byte is as this handle last read or wrote it is someone else's
//   to switch, not switched back to what the caller saw before. It returns once the
//   board reports every one of them, or fails with FT_IO_ERROR after 2 s, 0 bytes written. So an
//   output written is switched at the board when Write returns, and a command a broker held
//   back is dropped rather than switch an output late.
// - Pulse publishes out<N>/pulse (QoS 1, expiry 1 s): the bridge times it, so it ends whatever
//   happens here. It is done once the board reports the output on and then off (a report that
//   comes twice, by overlapping subscriptions, is one).
// - A command the broker refuses (MQTT 5: a reason code of 128 or more, e.g. 135 not authorized)
//   fails its call at once, and from then on Refused names the board ("not allowed to switch
//   K0001: the broker refused (not authorized)") and a Write or Pulse that would switch it fails
//   at once, nothing sent. Under MQTT 5 the first handle opened by serial on a board on each
//   connection probes whether this user may switch it: an empty out0/set (expiry 1 s), which the
//   bridge answers by publishing out0 again, switching nothing. Under MQTT 3.1.1 a broker drops a
//   refused command silently: it fails after the 2 s, and Unconfirmed says what may be the cause.
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
#include <set>
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
    std::string Refused(d2xx::FT_HANDLE Handle) const override;
    // Why the last Write or Pulse on Handle failed, in words ("board K0001 did not confirm the
    // switch within 2 s (...)"), or the refusal; "" when it did not fail, or not for a reason
    // known here (the board or the broker gone).
    std::string Unconfirmed(d2xx::FT_HANDLE Handle) const;
    // How many boards and bridges it keeps the state of. A stranger publishing under the prefix
    // makes it keep at most 1,024 boards that no Online bridge's index names and 256 bridges
    // without an index; the messages of further ones are ignored, told to Log once per connection.
    std::size_t Kept() const;

private:
    using Clock = std::chrono::steady_clock;
    // What the broker holds of one board, as last heard; nothing = not heard, or cleared.
    struct Board {
        std::optional<bool> Online;
        std::string Bridge;
        std::array<std::optional<bool>, 5> In;   // high
        std::array<std::optional<bool>, 3> Out;  // on
        std::array<unsigned, 3> OutRose{};       // each output's reports of ON after not ON
    };
    // And of one bridge.
    struct BridgeState {
        std::optional<bool> Online;
        std::optional<Index> Holds;
        Clock::time_point AliveAt;             // its last heartbeat
        Clock::time_point IndexAt;             // when an index promising a heartbeat first came
        std::optional<std::string> FirstBeat;  // the first heartbeat heard on this connection
        bool Alive = false;  // a later beat has come: it is no retained message of a hung bridge
        bool Pinged = false;
    };

    void Wake();  // on the network thread
    void Heard(const std::string& Topic, const std::string& Payload, bool Retained);
    // mutex_ held, for all below.
    // Whether a message of S is kept, within the bounds above.
    bool Keep(const State& S, bool OfBridge, bool Cleared, bool Index);
    bool Drop(bool& Warned, std::size_t Bound, const char* What);  // false, said once
    void Named();  // the bridges' indexes or availability changed
    // The exact topics of a board (or of a bridge), added to Patterns.
    void Exact(std::vector<std::string>& Patterns, const std::string& Level, bool Bridge) const;
    // Subscribes to the exact topics of the board with this id while it is not known, else of its
    // bridge while that is not; false when there is nothing more to look for.
    bool LookExactly(std::unique_lock<std::mutex>& Lock, const std::string& Id);
    const BridgeState* BridgeOfBoard(const Board& B) const;
    bool Late(const BridgeState& B, Clock::time_point Now) const;  // its heartbeat is overdue
    // Its index promises a heartbeat, it is not heard alive yet, and not late either.
    bool Unsure(const BridgeState& B, Clock::time_point Now) const;
    bool Answers(const BridgeState& B, Clock::time_point Now) const;
    bool Listed(const std::string& Id, const Board& B, Clock::time_point Now) const;
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
    d2xx::FT_STATUS Opened(std::unique_lock<std::mutex>& Lock, const std::string& Id,
                           d2xx::FT_HANDLE* Handle, bool Probe);
    // Publishes a command for board Id (QoS 1, expiry 1 s), unlocking while it does: its message
    // id, or 0 when not sent.
    int Command(std::unique_lock<std::mutex>& Lock, const std::string& Id, const std::string& Topic,
                const std::string& Payload);
    // The broker's answer to the command Mid (-1: none yet). A refusal is recorded for its board.
    int Answer(int Mid);
    void Forget(const std::vector<int>& Mids);
    std::string Serial(const std::string& Id) const;
    std::string Unanswered(const std::string& Id) const;  // the words of a command timed out
    // For a board not found: the serial meant, when only its case differs from a board's, or
    // the boards there are (the first 5).
    std::string Others(const std::string& Serial) const;

    const Remote where_;
    const Topics topics_;
    std::function<void(const std::string&)> log_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // state, connection or synchronisation changed
    std::map<std::string, Board> boards_;         // by id
    std::map<std::string, BridgeState> bridges_;  // by name
    std::set<std::string> named_;                 // the ids Online bridges' indexes name
    std::size_t strays_ = 0;                      // boards_ not in named_
    std::size_t strayBridges_ = 0;                // bridges_ without an index
    bool warnedBoards_ = false;                   // that messages were dropped, on this connection
    bool warnedBridges_ = false;
    std::set<std::string> exactIds_, exactBridges_;  // looked for by their exact topics
    bool wildHeard_ = false;  // a message came on this connection that only a wildcard brought
    std::map<d2xx::FT_HANDLE, std::string> handles_;  // to ids
    std::map<d2xx::FT_HANDLE, std::string> failed_;   // why its last command failed
    std::map<d2xx::FT_HANDLE, std::uint8_t> seen_;    // the pins it last read or wrote
    std::map<std::string, std::string> refused_;      // board id -> the refusal's words
    std::map<std::string, bool> probed_;              // board ids probed on this connection
    std::map<int, std::string> asked_;  // commands sent, by message id, to their board's id
    std::map<int, int> answers_;        // the broker's answers not taken yet, by message id
    std::vector<int> answerOrder_;      // oldest first: a bound on answers nobody takes
    std::vector<std::string> pings_;    // to publish once the lock is let go
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
