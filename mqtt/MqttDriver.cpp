#include "mqtt/MqttDriver.h"

#include <algorithm>
#include <cstring>

#include "d2xx/Handles.h"
#include "device/Text.h"
#include "device/clsVostrel.h"

namespace kmqtt {

using namespace d2xx;

namespace {

constexpr auto kWriteLimit = std::chrono::seconds(2);
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
    if (changed_.wait_for(lock, Limit, [this] { return synced_ || !down_.empty(); }) && synced_)
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
                    up_ = true;
                    synced_ = false;
                    down_.clear();
                }
                connection_->Subscribe(topics_.BoardStates());
                connection_->Subscribe(topics_.BridgeStates());
                // The broker answers the subscriptions in order and sends a subscription's
                // retained messages before it acknowledges the next one: once this one, to a
                // topic nobody publishes, is acknowledged, all the state there is has come.
                const int mid = connection_->Subscribe(where_.Prefix + "/bridge/" +
                                                       where_.ClientId + "/sync");
                const std::lock_guard lock(mutex_);
                syncMid_ = mid;
                break;
            }
            case Connection::Event::Kind::Down: {
                const std::lock_guard lock(mutex_);
                up_ = synced_ = false;
                down_ = e.Text;
                break;
            }
            case Connection::Event::Kind::Subscribed: {
                const std::lock_guard lock(mutex_);
                if (e.Mid == syncMid_ && up_) synced_ = true;
                break;
            }
            case Connection::Event::Kind::Message:
                Heard(e.Topic, e.Text);
                break;
        }
    }
    changed_.notify_all();
}

void MqttDriver::Heard(const std::string& Topic, const std::string& Payload) {
    const std::optional<State> state = ParseState(where_.Prefix, Topic);
    if (!state) return;  // a state topic of the future, or one of a program of its own
    std::optional<bool> word;
    switch (state->What) {
        case State::Kind::BridgeAvailability:
        case State::Kind::Availability: word = ParseAvailability(Payload); break;
        case State::Kind::HeldBy: break;
        case State::Kind::Input: word = ParseInput(Payload); break;
        case State::Kind::Output: word = ParseOutput(Payload); break;
    }
    // An empty payload clears a retained message: what it said is no longer known.
    const bool cleared = Payload.empty();
    if (!cleared && !word && state->What != State::Kind::HeldBy) {
        if (log_)
            log_("ignored " + kelvorn::Printable(Topic) + " '" + kelvorn::Printable(Payload) +
                 "': not a word of the contract");
        return;
    }
    const std::lock_guard lock(mutex_);
    if (state->What == State::Kind::BridgeAvailability) {
        if (cleared)
            bridges_.erase(state->Level);
        else
            bridges_[state->Level] = *word;
        return;
    }
    Board& b = boards_[state->Level];
    switch (state->What) {
        case State::Kind::BridgeAvailability: break;
        case State::Kind::Availability: b.Online = word; break;
        case State::Kind::HeldBy: b.Bridge = Payload; break;
        case State::Kind::Input: b.In[static_cast<std::size_t>(state->N)] = word; break;
        case State::Kind::Output: b.Out[static_cast<std::size_t>(state->N)] = word; break;
    }
}

bool MqttDriver::Listed(const Board& B) const {
    if (B.Online != true) return false;
    if (B.Bridge.empty()) return true;
    const auto bridge = bridges_.find(B.Bridge);
    return bridge != bridges_.end() && bridge->second;
}

std::vector<std::pair<std::string, std::string>> MqttDriver::Listing() const {
    std::vector<std::pair<std::string, std::string>> list;
    if (!synced_) return list;  // out of reach, or not all heard yet
    for (const auto& [id, b] : boards_) {
        if (!Listed(b)) continue;
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
    const std::lock_guard lock(mutex_);
    std::vector<std::string> serials;
    for (const auto& [serial, id] : Listing()) serials.push_back(serial);
    return serials;
}

std::string MqttDriver::BridgeOf(const std::string& Serial) const {
    const std::lock_guard lock(mutex_);
    const auto it = boards_.find(EscapeId(Serial));
    return it == boards_.end() ? "" : it->second.Bridge;
}

FT_STATUS MqttDriver::Opened(const std::string& Id, FT_HANDLE* Handle) {
    lastHandle_ = NextFreeHandle(lastHandle_, handles_);
    handles_[lastHandle_] = Id;
    *Handle = lastHandle_;
    return FT_OK;
}

FT_STATUS MqttDriver::Open(std::int32_t Index, FT_HANDLE* Handle) {
    if (Handle == nullptr) return FT_INVALID_PARAMETER;
    const std::lock_guard lock(mutex_);
    const auto list = Listing();
    if (Index < 0 || static_cast<std::size_t>(Index) >= list.size()) return FT_DEVICE_NOT_FOUND;
    return Opened(list[static_cast<std::size_t>(Index)].second, Handle);
}

FT_STATUS MqttDriver::OpenEx(const char* Arg, std::uint32_t Flags, FT_HANDLE* Handle) {
    if (Arg == nullptr || Handle == nullptr || Flags != FT_OPEN_BY_SERIAL_NUMBER)
        return FT_INVALID_PARAMETER;
    const std::lock_guard lock(mutex_);
    for (const auto& [serial, id] : Listing())
        if (serial == Arg) return Opened(id, Handle);
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS MqttDriver::Close(FT_HANDLE Handle) {
    const std::lock_guard lock(mutex_);
    return handles_.erase(Handle) != 0 ? FT_OK : FT_INVALID_HANDLE;
}

const MqttDriver::Board* MqttDriver::Readable(FT_HANDLE Handle) const {
    const auto handle = handles_.find(Handle);
    if (handle == handles_.end() || !synced_) return nullptr;
    const auto board = boards_.find(handle->second);
    if (board == boards_.end() || !Listed(board->second)) return nullptr;
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
    return FT_OK;
}

FT_STATUS MqttDriver::Write(FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                            std::uint32_t* BytesWritten) {
    if (BytesWritten) *BytesWritten = 0;
    if (Buffer == nullptr) return FT_INVALID_PARAMETER;
    std::unique_lock lock(mutex_);
    if (!handles_.contains(Handle)) return FT_INVALID_HANDLE;
    if (BytesToWrite == 0) return FT_OK;
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
    std::vector<std::size_t> switched;
    for (std::size_t n = 0; n < wanted.size(); ++n)
        if (!reported(n)) switched.push_back(n);
    // Published outside the lock: the network thread takes it to deliver what comes back.
    lock.unlock();
    for (const std::size_t n : switched)
        if (!connection_->Publish(topics_.Set(id, static_cast<int>(n)),
                                  OutputPayload(wanted[n]), false, 1))
            return FT_IO_ERROR;
    lock.lock();
    const bool done = changed_.wait_for(lock, kWriteLimit, [&] {
        return Readable(Handle) == nullptr ||
               std::all_of(switched.begin(), switched.end(), reported);
    });
    if (!done || Readable(Handle) == nullptr) return FT_IO_ERROR;
    if (BytesWritten) *BytesWritten = BytesToWrite;
    return FT_OK;
}

std::string MqttDriver::Unreachable() const {
    const std::lock_guard lock(mutex_);
    return up_ ? "" : down_;
}

FT_STATUS MqttDriver::Pulse(FT_HANDLE, int, std::uint32_t) { return FT_NOT_SUPPORTED; }

std::string MqttDriver::Absent(const std::string&) const { return {}; }

}  // namespace kmqtt
