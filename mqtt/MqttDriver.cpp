#include "mqtt/MqttDriver.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "d2xx/Handles.h"
#include "device/Text.h"
#include "device/clsVostrel.h"

namespace kmqtt {

using namespace d2xx;

namespace {

constexpr auto kWriteLimit = std::chrono::seconds(2);
// A command older than this is one its sender has given up on: a broker that holds it longer
// drops it rather than have it switch an output late.
constexpr int kCommandExpiry = 1;
// The broker's answers to commands whose call has ended are kept no longer than this many more.
constexpr std::size_t kAnswersKept = 64;
constexpr auto kBeatSlack = std::chrono::milliseconds(500);
// What a stranger publishing under the prefix can make this program keep: boards no Online
// bridge's index names, and bridges without an index. Enough for a lab of bridges from before
// the index; past it, their messages are dropped.
constexpr std::size_t kStrayBoards = 1024;
constexpr std::size_t kStrayBridges = 256;
// Boards (and their bridges) looked for on their exact topics, at most, a connection.
constexpr std::size_t kExact = 64;
constexpr const char* kDescription = "Kelvorn";

// The bytes of Text in a buffer of Capacity bytes, as an EEPROM read leaves them: a zero after
// them if there is room.
void Fill(char* Buffer, std::size_t Capacity, const std::string& Text) {
    if (Buffer == nullptr) return;
    const std::size_t n = std::min(Text.size(), Capacity);
    std::memcpy(Buffer, Text.data(), n);
    if (n < Capacity) Buffer[n] = '\0';
}

}  // namespace

MqttDriver::MqttDriver(Remote Where, std::function<void(const std::string&)> Log)
    : where_(std::move(Where)), topics_(where_.Prefix, ""), log_(std::move(Log)) {
    connection_ = std::make_unique<Connection>(where_, "", [this] { Wake(); });
}

MqttDriver::~MqttDriver() { Connection::Abandon(connection_); }

std::optional<std::string> MqttDriver::Start(std::chrono::milliseconds Limit) {
    std::unique_lock lock(mutex_);
    if (!started_) {
        started_ = true;
        lock.unlock();
        connection_->Start();
        lock.lock();
    }
    if (changed_.wait_for(lock, Limit, [this] {
            return (up_ && settling_.Subscribed()) || !down_.empty();
        }) &&
        up_)
        return std::nullopt;
    if (!down_.empty()) return down_;
    return where_.Host + ":" + std::to_string(where_.Port) + " does not answer";
}

void MqttDriver::Wake() {
    for (const Connection::Event& e : connection_->Take()) {
        switch (e.What) {
            case Connection::Event::Kind::Up: {
                {
                    // A broker back from a restart may have lost what was retained: forget it
                    // all, and let reads fail until it has come again.
                    const std::lock_guard lock(mutex_);
                    boards_.clear();
                    bridges_.clear();
                    named_.clear();
                    strays_ = 0;
                    strayBridges_ = 0;
                    warnedBoards_ = warnedBridges_ = false;
                    wildHeard_ = false;
                    // Message ids and probes are the connection's own.
                    probed_.clear();
                    asked_.clear();
                    answers_.clear();
                    answerOrder_.clear();
                    up_ = true;
                    down_.clear();
                    settling_.Restart(Clock::now());
                }
                // Retained as published (MQTT 5): a cleared state is known from a stranger's
                // empty message. The boards looked for by their exact topics before, again.
                std::vector<std::string> patterns{topics_.BoardStates(), topics_.BridgeStates(),
                                                  topics_.BridgeIndexes(), topics_.BridgeAlives()};
                {
                    const std::lock_guard lock(mutex_);
                    for (const std::string& id : exactIds_) Exact(patterns, id, false);
                    for (const std::string& name : exactBridges_) Exact(patterns, name, true);
                }
                const int mid = connection_->Subscribe(patterns, true);
                const std::lock_guard lock(mutex_);
                settling_.Expect(mid);
                break;
            }
            case Connection::Event::Kind::Down: {
                const std::lock_guard lock(mutex_);
                up_ = false;
                down_ = e.Text;
                break;
            }
            case Connection::Event::Kind::Subscribed: {
                const std::lock_guard lock(mutex_);
                settling_.Acked(e.Mid, Clock::now());
                break;
            }
            case Connection::Event::Kind::Message:
                Heard(e.Topic, e.Text, e.Retained);
                break;
            case Connection::Event::Kind::Published: {
                const std::lock_guard lock(mutex_);
                answers_[e.Mid] = e.Code;
                answerOrder_.push_back(e.Mid);
                if (answerOrder_.size() > kAnswersKept) {
                    answers_.erase(answerOrder_.front());
                    answerOrder_.erase(answerOrder_.begin());
                }
                Answer(e.Mid);
                asked_.erase(e.Mid);
                break;
            }
        }
    }
    std::vector<std::string> pings;
    {
        const std::lock_guard lock(mutex_);
        ++changes_;
        pings.swap(pings_);
    }
    changed_.notify_all();
    // The bridge answers with its next beat at once: a client need not wait a whole period to
    // know that the retained beat it got is not all that is left of a hung bridge.
    for (const std::string& name : pings)
        connection_->Publish(where_.Prefix + "/bridge/" + name + "/ping", "", false);
}

void MqttDriver::Exact(std::vector<std::string>& Patterns, const std::string& Level,
                       bool Bridge) const {
    if (Bridge) {
        for (const std::string& topic : {topics_.BridgeAvailability(Level),
                                         topics_.BridgeIndex(Level), topics_.BridgeAlive(Level)})
            Patterns.push_back(topic);
        return;
    }
    Patterns.push_back(topics_.Availability(Level));
    Patterns.push_back(topics_.HeldBy(Level));
    for (int n = 0; n < 5; ++n) Patterns.push_back(topics_.Input(Level, n));
    for (int n = 0; n < 3; ++n) Patterns.push_back(topics_.Output(Level, n));
}

bool MqttDriver::LookExactly(std::unique_lock<std::mutex>& Lock, const std::string& Id) {
    std::vector<std::string> patterns;
    const auto board = boards_.find(Id);
    if (board == boards_.end()) {
        if (exactIds_.size() >= kExact || !exactIds_.insert(Id).second) return false;
        Exact(patterns, Id, false);
    } else {
        const std::string& name = board->second.Bridge;
        const auto bridge = bridges_.find(name);
        if (name.empty() || (bridge != bridges_.end() && bridge->second.Online) ||
            exactBridges_.size() >= kExact || !exactBridges_.insert(name).second)
            return false;
        Exact(patterns, name, true);
    }
    Lock.unlock();
    const int mid = connection_->Subscribe(patterns, true);
    Lock.lock();
    if (mid == 0) return false;
    settling_.Again(mid, Clock::now());
    ++changes_;  // not settled until its retained messages have come
    return true;
}

int MqttDriver::Answer(int Mid) {
    const auto answer = answers_.find(Mid);
    if (answer == answers_.end()) return -1;
    const auto asked = asked_.find(Mid);
    if (answer->second >= 128 && asked != asked_.end()) {
        std::string why = mosquitto_reason_string(answer->second);
        for (char& c : why) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        refused_[asked->second] = "not allowed to switch " +
                                  kelvorn::Printable(Serial(asked->second)) +
                                  ": the broker refused (" + why + ")";
    }
    return answer->second;
}

void MqttDriver::Forget(const std::vector<int>& Mids) {
    for (const int mid : Mids) {
        asked_.erase(mid);
        answers_.erase(mid);
    }
}

std::string MqttDriver::Serial(const std::string& Id) const { return UnescapeId(Id).value_or(Id); }

int MqttDriver::Command(std::unique_lock<std::mutex>& Lock, const std::string& Id,
                        const std::string& Topic, const std::string& Payload) {
    Lock.unlock();
    int mid = 0;
    const bool sent = connection_->Publish(Topic, Payload, false, 1, &mid, kCommandExpiry);
    Lock.lock();
    if (!sent || mid == 0) return 0;
    // Its answer may have come while the lock was let go.
    asked_[mid] = Id;
    if (Answer(mid) >= 0) asked_.erase(mid);
    return mid;
}

void MqttDriver::Heard(const std::string& Topic, const std::string& Payload, bool Retained) {
    const std::optional<State> state = ParseState(where_.Prefix, Topic);
    if (!state) return;  // a state topic of the future, or one of a program of its own
    const auto ignored = [&](const char* Why) {
        if (log_)
            log_("ignored " + kelvorn::Printable(Topic) + " '" + kelvorn::Printable(Payload) +
                 "': " + Why);
    };
    // An empty payload clears a retained message: what it said is no longer known. One sent
    // live is nobody's state (under 3.1.1 the two cannot be told apart).
    const bool cleared = Payload.empty();
    if (cleared && !Retained && connection_->Mqtt5())
        return ignored("an empty message not retained clears nothing");
    std::optional<bool> word;
    std::optional<Index> index;
    switch (state->What) {
        case State::Kind::BridgeAvailability:
        case State::Kind::Availability: word = ParseAvailability(Payload); break;
        case State::Kind::BridgeIndex: index = ParseIndex(Payload); break;
        case State::Kind::BridgeAlive:
        case State::Kind::HeldBy: break;
        case State::Kind::Input: word = ParseInput(Payload); break;
        case State::Kind::Output: word = ParseOutput(Payload); break;
    }
    const bool free = state->What == State::Kind::HeldBy || state->What == State::Kind::BridgeAlive;
    if (!cleared && !word && !index && !free) return ignored("not a word of the contract");
    const Clock::time_point now = Clock::now();
    const std::lock_guard lock(mutex_);
    const bool ofBridge = state->What == State::Kind::BridgeAvailability ||
                          state->What == State::Kind::BridgeIndex ||
                          state->What == State::Kind::BridgeAlive;
    if (!Keep(*state, ofBridge, cleared, index.has_value())) return;
    if (!(ofBridge ? exactBridges_ : exactIds_).contains(state->Level)) wildHeard_ = true;
    if (state->What != State::Kind::BridgeAlive) settling_.Heard(Topic, now);
    switch (state->What) {
        case State::Kind::BridgeAvailability:
            bridges_[state->Level].Online = word;
            Named();
            return;
        case State::Kind::BridgeIndex: {
            BridgeState& b = bridges_[state->Level];
            b.Holds = index;
            Named();
            if (index && index->Heartbeat > 0 && !b.Pinged) {
                b.Pinged = true;
                b.IndexAt = now;
                pings_.push_back(state->Level);
            }
            return;
        }
        case State::Kind::BridgeAlive: {
            BridgeState& b = bridges_[state->Level];
            if (!b.FirstBeat)
                b.FirstBeat = Payload;
            else if (*b.FirstBeat != Payload)
                b.Alive = true;
            b.AliveAt = now;
            return;
        }
        default: break;
    }
    Board& b = boards_[state->Level];
    switch (state->What) {
        case State::Kind::Availability: b.Online = word; break;
        case State::Kind::HeldBy: b.Bridge = Payload; break;
        case State::Kind::Input: b.In[static_cast<std::size_t>(state->N)] = word; break;
        case State::Kind::Output: {
            const auto n = static_cast<std::size_t>(state->N);
            if (word == true && b.Out[n] != true) ++b.OutRose[n];
            b.Out[n] = word;
            break;
        }
        default: break;
    }
}

bool MqttDriver::Keep(const State& S, bool OfBridge, bool Cleared, bool Index) {
    if (OfBridge) {
        if (bridges_.contains(S.Level)) return true;
        if (Cleared) return false;  // nothing to forget
        if (!Index && strayBridges_ >= kStrayBridges)
            return Drop(warnedBridges_, kStrayBridges, "bridges without an index");
        if (!Index) ++strayBridges_;
        return true;
    }
    if (boards_.contains(S.Level)) return true;
    if (Cleared) return false;
    if (named_.contains(S.Level)) return true;
    if (strays_ >= kStrayBoards)
        return Drop(warnedBoards_, kStrayBoards, "boards that no bridge's index names");
    ++strays_;
    return true;
}

bool MqttDriver::Drop(bool& Warned, std::size_t Bound, const char* What) {
    if (!Warned && log_)
        log_("more than " + std::to_string(Bound) + " " + What + " under prefix '" +
             kelvorn::Printable(where_.Prefix) + "': the messages of further ones are ignored");
    Warned = true;
    return false;
}

void MqttDriver::Named() {
    named_.clear();
    for (const auto& [name, bridge] : bridges_)
        if (bridge.Online == true && bridge.Holds)
            named_.insert(bridge.Holds->Ids.begin(), bridge.Holds->Ids.end());
    strays_ = 0;
    for (const auto& [id, board] : boards_) strays_ += !named_.contains(id);
    strayBridges_ = 0;
    for (const auto& [name, bridge] : bridges_) strayBridges_ += !bridge.Holds;
}

std::size_t MqttDriver::Kept() const {
    const std::lock_guard lock(mutex_);
    return boards_.size() + bridges_.size();
}

const MqttDriver::BridgeState* MqttDriver::BridgeOfBoard(const Board& B) const {
    const auto bridge = bridges_.find(B.Bridge);
    return bridge == bridges_.end() ? nullptr : &bridge->second;
}

bool MqttDriver::Late(const BridgeState& B, Clock::time_point Now) const {
    if (!B.Holds || B.Holds->Heartbeat <= 0) return false;  // it promises none
    const auto period = std::chrono::seconds(B.Holds->Heartbeat);
    if (!B.Alive) return Now - B.IndexAt > period + kBeatSlack;
    return Now - B.AliveAt > 2 * period + kBeatSlack;
}

bool MqttDriver::Unsure(const BridgeState& B, Clock::time_point Now) const {
    return B.Holds && B.Holds->Heartbeat > 0 && !B.Alive && !Late(B, Now);
}

bool MqttDriver::Answers(const BridgeState& B, Clock::time_point Now) const {
    if (!B.Holds || B.Holds->Heartbeat <= 0) return true;
    return B.Alive && !Late(B, Now);
}

bool MqttDriver::Listed(const std::string& Id, const Board& B, Clock::time_point Now) const {
    // A retained Online alone is anyone's to publish: a board is a live bridge's, and a bridge
    // with an index holds the boards it names there and no other.
    if (B.Online != true || B.Bridge.empty()) return false;
    const BridgeState* bridge = BridgeOfBoard(B);
    return bridge != nullptr && bridge->Online == true && Answers(*bridge, Now) &&
           (!bridge->Holds || std::find(bridge->Holds->Ids.begin(), bridge->Holds->Ids.end(),
                                        Id) != bridge->Holds->Ids.end());
}

bool MqttDriver::Whole(const Board& B) const {
    const auto known = [](const auto& States) {
        return std::all_of(States.begin(), States.end(), [](const auto& S) { return S.has_value(); });
    };
    const BridgeState* bridge = BridgeOfBoard(B);
    return B.Online && !B.Bridge.empty() && known(B.In) && known(B.Out) && bridge != nullptr &&
           bridge->Online;
}

bool MqttDriver::Settled(Clock::time_point Now) const {
    if (!up_ || !settling_.Subscribed()) return false;
    // Once settled it stays so until something comes: time only makes it more so.
    if (settledAt_ == changes_) return true;
    if (settling_.Expired(Now)) {
        settledAt_ = changes_;
        return true;
    }
    if (!settling_.Quiet(Now)) return false;
    // Every board an Online bridge says it holds has come whole, and the bridge is heard alive
    // or late.
    for (const auto& [name, bridge] : bridges_) {
        if (bridge.Online != true || !bridge.Holds) continue;
        if (Unsure(bridge, Now)) return false;
        for (const std::string& id : bridge.Holds->Ids) {
            const auto board = boards_.find(id);
            if (board == boards_.end() || !Whole(board->second)) return false;
        }
    }
    settledAt_ = changes_;
    return true;
}

template <class Pred>
bool MqttDriver::Await(std::unique_lock<std::mutex>& Lock, Pred Done) const {
    // Not connected: nothing is coming; connected but not subscribed yet: at most Start's wait.
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(4) + Settling::kLimit;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (Done() || !up_ || Settled(now) || now >= giveUp) return Done();
        Clock::time_point next = giveUp;
        if (settling_.Subscribed())
            next = std::min({next, settling_.QuietAt(), settling_.LimitAt()});
        // A quiet time that has passed while an indexed board is still missing: look again soon.
        if (next <= now) next = now + std::chrono::milliseconds(10);
        changed_.wait_until(Lock, next);
    }
}

const std::vector<std::pair<std::string, std::string>>& MqttDriver::Listing() const {
    const Clock::time_point now = Clock::now();
    // A heartbeat overdue changes the list without a message: it is looked at every 100 ms.
    if (listedAt_ == changes_ && now - listedWhen_ < std::chrono::milliseconds(100)) return listing_;
    listedAt_ = changes_;
    listedWhen_ = now;
    auto& list = listing_;
    list.clear();
    if (!up_) return list;  // out of reach
    for (const auto& [id, b] : boards_) {
        if (!Listed(id, b, now)) continue;
        const std::optional<std::string> serial = UnescapeId(id);
        if (!serial || serial->empty() || serial->size() >= kSerialNumberSize ||
            serial->find('\0') != std::string::npos)
            continue;
        list.emplace_back(*serial, id);
    }
    std::sort(list.begin(), list.end());
    return list;
}

std::vector<std::string> MqttDriver::Serials() const {
    std::unique_lock lock(mutex_);
    Await(lock, [] { return false; });
    std::vector<std::string> serials;
    for (const auto& [serial, id] : Listing()) serials.push_back(serial);
    return serials;
}

std::string MqttDriver::BridgeOf(const std::string& Serial) const {
    const std::lock_guard lock(mutex_);
    const auto it = boards_.find(EscapeId(Serial));
    return it == boards_.end() ? "" : it->second.Bridge;
}

FT_STATUS MqttDriver::Opened(std::unique_lock<std::mutex>& Lock, const std::string& Id,
                             FT_HANDLE* Handle, bool Probe) {
    lastHandle_ = NextFreeHandle(lastHandle_, handles_);
    handles_[lastHandle_] = Id;
    *Handle = lastHandle_;
    // Whether this user may switch it, known before anyone tries: an empty set switches nothing
    // (the bridge publishes the output again), and a broker that refuses it says so under MQTT 5.
    // Not for a scan, which opens every board only to read its serial.
    if (Probe && up_ && connection_->Mqtt5() && !refused_.contains(Id) && !probed_[Id]) {
        probed_[Id] = true;
        Command(Lock, Id, topics_.Set(Id, 0), "");
    }
    return FT_OK;
}

FT_STATUS MqttDriver::Open(std::int32_t Index, FT_HANDLE* Handle) {
    if (Handle == nullptr) return FT_INVALID_PARAMETER;
    std::unique_lock lock(mutex_);
    Await(lock, [] { return false; });
    const auto& list = Listing();
    if (Index < 0 || static_cast<std::size_t>(Index) >= list.size()) return FT_DEVICE_NOT_FOUND;
    return Opened(lock, list[static_cast<std::size_t>(Index)].second, Handle, false);
}

FT_STATUS MqttDriver::OpenEx(const char* Arg, std::uint32_t Flags, FT_HANDLE* Handle) {
    if (Arg == nullptr || Handle == nullptr || Flags != FT_OPEN_BY_SERIAL_NUMBER)
        return FT_INVALID_PARAMETER;
    const std::string id = EscapeId(Arg);
    std::unique_lock lock(mutex_);
    // That board's whole state, and no more; or, for a board that is not there, the settled state.
    const auto whole = [&] {
        const auto board = boards_.find(id);
        if (board == boards_.end() || !Whole(board->second)) return false;
        // Its bridge's index tells whether it promises a heartbeat, to be heard alive first; a
        // bridge that publishes none is known by the state having settled.
        const BridgeState* bridge = BridgeOfBoard(board->second);
        return bridge != nullptr && bridge->Holds && !Unsure(*bridge, Clock::now());
    };
    // A broker that sends no retained message to a wildcard subscription (RabbitMQ) sends them
    // to exact ones: the board's topics, then its bridge's.
    for (int look = 0; !Await(lock, whole) && up_ && look < 2 && LookExactly(lock, id); ++look) {
    }
    for (const auto& [serial, listed] : Listing())
        if (serial == Arg) {
            const std::string found = listed;
            return Opened(lock, found, Handle, true);
        }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS MqttDriver::Close(FT_HANDLE Handle) {
    const std::lock_guard lock(mutex_);
    failed_.erase(Handle);
    seen_.erase(Handle);
    return handles_.erase(Handle) != 0 ? FT_OK : FT_INVALID_HANDLE;
}

const MqttDriver::Board* MqttDriver::Readable(FT_HANDLE Handle) const {
    const auto handle = handles_.find(Handle);
    if (handle == handles_.end() || !up_) return nullptr;
    const auto board = boards_.find(handle->second);
    if (board == boards_.end() || !Listed(board->first, board->second, Clock::now())) return nullptr;
    const Board& b = board->second;
    const auto known = [](const auto& States) {
        return std::all_of(States.begin(), States.end(), [](const auto& S) { return S.has_value(); });
    };
    return known(b.In) && known(b.Out) ? &b : nullptr;
}

FT_STATUS MqttDriver::EE_Read(FT_HANDLE Handle, FT_PROGRAM_DATA* Data) {
    const std::lock_guard lock(mutex_);
    const auto handle = handles_.find(Handle);
    if (handle == handles_.end()) return FT_INVALID_HANDLE;
    if (Data == nullptr) return FT_INVALID_PARAMETER;
    const std::optional<std::string> serial = UnescapeId(handle->second);
    Fill(Data->Description, kDescriptionSize, kDescription);
    Fill(Data->SerialNumber, kSerialNumberSize, serial.value_or(""));
    return FT_OK;
}

FT_STATUS MqttDriver::SetBitMode(FT_HANDLE Handle, std::uint8_t, std::uint8_t) {
    const std::lock_guard lock(mutex_);
    return handles_.contains(Handle) ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS MqttDriver::SetBaudRate(FT_HANDLE Handle, std::uint32_t) {
    const std::lock_guard lock(mutex_);
    return handles_.contains(Handle) ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS MqttDriver::SetLatencyTimer(FT_HANDLE Handle, std::uint8_t) {
    const std::lock_guard lock(mutex_);
    return handles_.contains(Handle) ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS MqttDriver::GetBitMode(FT_HANDLE Handle, std::uint8_t* Pins) {
    if (Pins == nullptr) return FT_INVALID_PARAMETER;
    const std::lock_guard lock(mutex_);
    const Board* b = Readable(Handle);
    if (b == nullptr) return handles_.contains(Handle) ? FT_IO_ERROR : FT_INVALID_HANDLE;
    std::uint8_t pins = 0;
    for (std::size_t n = 0; n < b->In.size(); ++n)
        if (*b->In[n]) pins |= clsVostrel::InputPins[n].Mask;
    for (std::size_t n = 0; n < b->Out.size(); ++n)
        if (!*b->Out[n]) pins |= clsVostrel::OutputPins[n].Mask;  // on = driven low
    *Pins = pins;
    seen_[Handle] = pins;
    return FT_OK;
}

FT_STATUS MqttDriver::Write(FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                            std::uint32_t* BytesWritten) {
    if (BytesWritten) *BytesWritten = 0;
    if (Buffer == nullptr) return FT_INVALID_PARAMETER;
    std::unique_lock lock(mutex_);
    if (!handles_.contains(Handle)) return FT_INVALID_HANDLE;
    if (BytesToWrite == 0) return FT_OK;
    failed_.erase(Handle);
    // The pins take one byte after another; the last is what stays on them.
    const std::uint8_t byte = static_cast<const std::uint8_t*>(Buffer)[BytesToWrite - 1];
    std::array<bool, 3> wanted{};
    for (std::size_t n = 0; n < wanted.size(); ++n)
        wanted[n] = (byte & clsVostrel::OutputPins[n].Mask) == 0;
    const std::string id = handles_[Handle];
    const auto reported = [&](std::size_t N) {
        const Board* b = Readable(Handle);
        return b != nullptr && *b->Out[N] == wanted[N];
    };
    if (Readable(Handle) == nullptr) return FT_IO_ERROR;
    const auto seen = seen_.find(Handle);
    const auto changed = [&](std::size_t N) {
        return seen == seen_.end() || ((seen->second ^ byte) & clsVostrel::OutputPins[N].Mask) != 0;
    };
    std::vector<std::size_t> switched;
    for (std::size_t n = 0; n < wanted.size(); ++n)
        if (changed(n) && !reported(n)) switched.push_back(n);
    if (switched.empty()) {
        seen_[Handle] = byte;
        if (BytesWritten) *BytesWritten = BytesToWrite;
        return FT_OK;
    }
    if (refused_.contains(id)) return FT_IO_ERROR;
    std::vector<int> mids;
    const auto refused = [&] {
        return std::any_of(mids.begin(), mids.end(), [&](int Mid) { return Answer(Mid) >= 128; });
    };
    for (const std::size_t n : switched) {
        const int mid =
            Command(lock, id, topics_.Set(id, static_cast<int>(n)), OutputPayload(wanted[n]));
        if (mid != 0) mids.push_back(mid);
        if (mid == 0 || refused()) {  // and no further command sent
            Forget(mids);
            return FT_IO_ERROR;
        }
    }
    const bool done = changed_.wait_for(lock, kWriteLimit, [&] {
        return Readable(Handle) == nullptr || refused() ||
               std::all_of(switched.begin(), switched.end(), reported);
    });
    const bool no = refused();
    Forget(mids);
    if (no || Readable(Handle) == nullptr) return FT_IO_ERROR;
    if (!done) {
        failed_[Handle] = Unanswered(id);
        return FT_IO_ERROR;
    }
    seen_[Handle] = byte;  // not after a failure: the same byte again is tried again
    if (BytesWritten) *BytesWritten = BytesToWrite;
    return FT_OK;
}

std::string MqttDriver::Unreachable() const {
    const std::lock_guard lock(mutex_);
    return up_ ? "" : down_;
}

FT_STATUS MqttDriver::Pulse(FT_HANDLE Handle, int Output, std::uint32_t Millis) {
    if (Output < 0 || Output >= static_cast<int>(clsVostrel::OutputPins.size()) || Millis < 1 ||
        Millis > 60000)
        return FT_INVALID_PARAMETER;
    const auto n = static_cast<std::size_t>(Output);
    std::unique_lock lock(mutex_);
    if (!handles_.contains(Handle)) return FT_INVALID_HANDLE;
    failed_.erase(Handle);
    const Board* b = Readable(Handle);
    if (b == nullptr) return FT_IO_ERROR;
    const std::string id = handles_[Handle];
    if (refused_.contains(id)) return FT_IO_ERROR;
    const unsigned rose = b->OutRose[n];
    const bool wasOn = *b->Out[n];
    const int mid =
        Command(lock, id, topics_.Output(id, Output) + "/pulse", std::to_string(Millis));
    if (mid == 0) return FT_IO_ERROR;
    // The caller now knows the output on: switching it off, say to end the pulse early, is a
    // change of its own.
    if (const auto seen = seen_.find(Handle); seen != seen_.end())
        seen->second = static_cast<std::uint8_t>(seen->second & ~clsVostrel::OutputPins[n].Mask);
    // The bridge reports the output ON as the pulse starts and OFF as it ends: the states, not
    // how many reports came, since a report may come twice.
    const auto failing = [&] { return Readable(Handle) == nullptr || Answer(mid) >= 128; };
    const auto started = [&] {
        const Board* now = Readable(Handle);
        return now != nullptr && (wasOn || now->OutRose[n] != rose);
    };
    const auto ended = [&] { return started() && !*Readable(Handle)->Out[n]; };
    const bool on = changed_.wait_for(lock, kWriteLimit, [&] { return failing() || started(); });
    const bool off = on && !failing() &&
                     changed_.wait_for(lock, std::chrono::milliseconds(Millis) + kWriteLimit,
                                       [&] { return failing() || ended(); });
    const bool failed = failing();
    Forget({mid});
    if (failed) return FT_IO_ERROR;
    if (!off) {
        failed_[Handle] = Unanswered(id);
        return FT_IO_ERROR;
    }
    return FT_OK;
}

std::string MqttDriver::Unanswered(const std::string& Id) const {
    return "board " + kelvorn::Printable(Serial(Id)) +
           " did not confirm the switch within 2 s (its bridge may hang, or the broker may not let "
           "this user switch it)";
}

std::string MqttDriver::Refused(FT_HANDLE Handle) const {
    const std::lock_guard lock(mutex_);
    const auto handle = handles_.find(Handle);
    if (handle == handles_.end()) return "";
    const auto refused = refused_.find(handle->second);
    return refused == refused_.end() ? "" : refused->second;
}

std::string MqttDriver::Unconfirmed(FT_HANDLE Handle) const {
    if (std::string refused = Refused(Handle); !refused.empty()) return refused;
    const std::lock_guard lock(mutex_);
    const auto failed = failed_.find(Handle);
    return failed == failed_.end() ? "" : failed->second;
}

std::string MqttDriver::Others(const std::string& Serial) const {
    const auto& list = Listing();
    const auto lower = [](std::string Text) {
        for (char& c : Text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return Text;
    };
    for (const auto& [serial, id] : list)
        if (lower(serial) == lower(Serial))
            return " (did you mean " + kelvorn::Printable(serial) + "?)";
    if (list.empty()) return "";
    constexpr std::size_t kNamed = 5;
    std::string named;
    for (std::size_t n = 0; n < list.size() && n < kNamed; ++n)
        named += (n ? ", " : "") + kelvorn::Printable(list[n].first);
    if (list.size() > kNamed) named += " and " + std::to_string(list.size() - kNamed) + " more";
    return " (boards here: " + named + ")";
}

std::string MqttDriver::Absent(const std::string& Serial) const {
    const std::lock_guard lock(mutex_);
    if (!up_) return down_;
    const std::string board = "board " + kelvorn::Printable(Serial);
    // Where a serial was named already, the way round the broker's limit is not worth saying.
    const std::string none = "no bridge publishes under prefix '" +
                             kelvorn::Printable(where_.Prefix) + "' on " +
                             kelvorn::Printable(where_.Host) +
                             " (or the broker sends no retained messages to wildcard "
                             "subscriptions, as RabbitMQ does" +
                             (Serial.empty() ? ": open a board by its serial, -s)" : ")");
    if ((boards_.empty() && bridges_.empty()) ||
        (!wildHeard_ && !Serial.empty() && !boards_.contains(EscapeId(Serial))))
        return Serial.empty() ? none : board + " not found: " + none;
    if (Serial.empty()) {
        // No board listed: a bridge that has gone silent is why, where one has.
        std::string silent;
        for (const auto& [name, bridge] : bridges_)
            if (bridge.Online == true && Late(bridge, Clock::now()))
                silent += (silent.empty() ? "" : ", ") + kelvorn::Printable(name);
        return silent.empty() ? ""
                              : "no Kelvorn board answers (bridge " + silent + " has gone silent)";
    }
    const std::string id = EscapeId(Serial);
    const auto it = boards_.find(id);
    if (it == boards_.end() || !it->second.Online) {
        // An index that names it without its availability: a bridge the broker does not let
        // publish its state, most likely.
        for (const auto& [name, bridge] : bridges_)
            if (bridge.Online == true && bridge.Holds &&
                std::find(bridge.Holds->Ids.begin(), bridge.Holds->Ids.end(), id) !=
                    bridge.Holds->Ids.end()) {
                const std::string its = kelvorn::Printable(name);
                return board + " not found: its bridge " + its +
                       " names it but publishes no availability for it (may bridge " + its +
                       " write " + kelvorn::Printable(where_.Prefix + "/" + id) + "/...? its ACL)";
            }
        return board + " not found" + Others(Serial);
    }
    const Board& b = it->second;
    const BridgeState* bridge = BridgeOfBoard(b);
    const std::string its = "its bridge " + kelvorn::Printable(b.Bridge);
    if (b.Bridge.empty())
        return *b.Online ? board + " not found (no bridge claims it)" : board + " is Offline";
    if (bridge == nullptr || !bridge->Online) return *b.Online ? "" : board + " is Offline";
    if (!*bridge->Online) return board + " is Offline (" + its + " is Offline)";
    if (!*b.Online) return board + " is Offline (" + its + " does not reach it)";
    if (Late(*bridge, Clock::now())) return board + " does not answer (" + its + " has gone silent)";
    if (bridge->Holds && std::find(bridge->Holds->Ids.begin(), bridge->Holds->Ids.end(), id) ==
                             bridge->Holds->Ids.end())
        return board + " not found (" + its + " does not hold it)";
    return "";
}

}  // namespace kmqtt
