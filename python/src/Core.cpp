#include "Core.h"

#include <cmath>
#include <condition_variable>
#include <sstream>
#include <thread>

#include "d2xx/LibftdiDriver.h"
#include "device/Text.h"

namespace kpy {

using namespace d2xx;

FT_STATUS LockedDriver::Open(std::int32_t Index, FT_HANDLE* Handle) {
    return Call([&](Driver& D) { return D.Open(Index, Handle); });
}
FT_STATUS LockedDriver::OpenEx(const char* Arg, std::uint32_t Flags, FT_HANDLE* Handle) {
    return Call([&](Driver& D) { return D.OpenEx(Arg, Flags, Handle); });
}
FT_STATUS LockedDriver::Close(FT_HANDLE Handle) {
    return Call([&](Driver& D) { return D.Close(Handle); });
}
FT_STATUS LockedDriver::EE_Read(FT_HANDLE Handle, FT_PROGRAM_DATA* Data) {
    return Call([&](Driver& D) { return D.EE_Read(Handle, Data); });
}
FT_STATUS LockedDriver::SetBitMode(FT_HANDLE Handle, std::uint8_t Mask, std::uint8_t Mode) {
    return Call([&](Driver& D) { return D.SetBitMode(Handle, Mask, Mode); });
}
FT_STATUS LockedDriver::SetBaudRate(FT_HANDLE Handle, std::uint32_t BaudRate) {
    return Call([&](Driver& D) { return D.SetBaudRate(Handle, BaudRate); });
}
FT_STATUS LockedDriver::SetLatencyTimer(FT_HANDLE Handle, std::uint8_t Timer) {
    return Call([&](Driver& D) { return D.SetLatencyTimer(Handle, Timer); });
}
FT_STATUS LockedDriver::Write(FT_HANDLE Handle, const void* Buffer, std::uint32_t BytesToWrite,
                              std::uint32_t* BytesWritten) {
    return Call([&](Driver& D) { return D.Write(Handle, Buffer, BytesToWrite, BytesWritten); });
}
FT_STATUS LockedDriver::GetBitMode(FT_HANDLE Handle, std::uint8_t* Pins) {
    return Call([&](Driver& D) { return D.GetBitMode(Handle, Pins); });
}
FT_STATUS LockedDriver::Pulse(FT_HANDLE Handle, int Output, std::uint32_t Millis) {
    return Call([&](Driver& D) { return D.Pulse(Handle, Output, Millis); });
}
std::string LockedDriver::Absent(const std::string& Serial) const {
    return Locked([&] { return below_ ? below_->Absent(Serial) : std::string(); });
}

std::string LockedDriver::Refused(d2xx::FT_HANDLE Handle) const {
    return Locked([&] { return below_ ? below_->Refused(Handle) : std::string(); });
}

void LockedDriver::Drop() {
    std::unique_ptr<Driver> gone;
    {
        const std::unique_lock lock(mutex_);
        gone = std::move(below_);
    }
}

std::shared_ptr<LockedDriver> UsbDriver() {
    static const auto usb = std::make_shared<LockedDriver>(std::make_unique<LibftdiDriver>());
    return usb;
}

Bridge::Bridge(const std::string& Url, const std::string& PasswordFile, const std::string& CaFile) {
    auto remote = kmqtt::ParseRemote(Url, PasswordFile, CaFile, "kelvorn-py");
    if (const auto* why = std::get_if<std::string>(&remote)) throw std::invalid_argument(*why);
    driver_ = std::make_shared<LockedDriver>(
        std::make_unique<kmqtt::MqttDriver>(std::get<kmqtt::Remote>(std::move(remote))), true);
}

std::optional<std::string> Bridge::Start() {
    return driver_->With([](d2xx::Driver& D) { return static_cast<kmqtt::MqttDriver&>(D).Start(); });
}

std::optional<std::string> Bridge::BridgeOf(const std::string& Serial) {
    std::string name = driver_->With(
        [&](d2xx::Driver& D) { return static_cast<kmqtt::MqttDriver&>(D).BridgeOf(Serial); });
    if (name.empty()) return std::nullopt;
    return name;
}

std::string Bridge::Unreachable() {
    return driver_->With(
        [](d2xx::Driver& D) { return static_cast<kmqtt::MqttDriver&>(D).Unreachable(); });
}

Simulator::Simulator() {
    auto sim = std::make_unique<SimDriver>();
    sim_ = sim.get();
    driver_ = std::make_shared<LockedDriver>(std::move(sim));
}

SimDriver::DeviceId Simulator::Find(const SimDriver& Sim, const std::string& Serial) const {
    for (const SimDriver::DeviceId id : Sim.Devices())
        if (Sim.Board(id).Serial == Serial) return id;
    throw std::invalid_argument("no simulated board " + kelvorn::Printable(Serial));
}

void Simulator::Add(const std::string& Serial, bool Wired) {
    driver_->With([&](d2xx::Driver&) {
        for (const SimDriver::DeviceId id : sim_->Devices())
            if (sim_->Board(id).Serial == Serial)
                throw std::invalid_argument("a simulated board " + kelvorn::Printable(Serial) +
                                            " was added already");
        sim_->Add(Wired ? kelvorn::WiredSimBoard(Serial) : SimBoard{Serial, "Kelvorn"});
    });
}

void Simulator::SetInput(const std::string& Serial, int Index, bool High) {
    if (Index < 0 || static_cast<std::size_t>(Index) >= clsVostrel::InputPins.size())
        throw std::out_of_range("input index " + std::to_string(Index) + " is not 0 to 4");
    const std::uint8_t mask = clsVostrel::InputPins[static_cast<std::size_t>(Index)].Mask;
    driver_->With([&](d2xx::Driver&) {
        const SimDriver::DeviceId id = Find(*sim_, Serial);
        const std::uint8_t levels = sim_->Board(id).InputLevels;
        sim_->SetInputLevels(id, static_cast<std::uint8_t>(High ? levels | mask : levels & ~mask));
    });
}

void Simulator::Unplug(const std::string& Serial) {
    driver_->With([&](d2xx::Driver&) { sim_->Unplug(Find(*sim_, Serial)); });
}
void Simulator::Plug(const std::string& Serial) {
    driver_->With([&](d2xx::Driver&) { sim_->Plug(Find(*sim_, Serial)); });
}
void Simulator::Hold(const std::string& Serial, bool Held) {
    driver_->With([&](d2xx::Driver&) { sim_->SetBusy(Find(*sim_, Serial), Held); });
}

std::vector<std::string> Scan(LockedDriver& Driver) {
    kelvorn::Board board(Driver, "kelvorn");
    std::ostringstream passedOver;  // not an error: list_boards names the boards it found
    return board.Scan(passedOver);
}

Clock::duration Seconds(double S) {
    constexpr double kCentury = 100.0 * 365 * 24 * 3600;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::isfinite(S) && S < kCentury ? std::max(S, 0.0) : kCentury));
}

OpenBoard::Opened OpenBoard::Open(std::shared_ptr<LockedDriver> Driver, const std::string& Serial) {
    Opened result;
    auto board = std::make_unique<OpenBoard>(std::move(Driver));
    auto held = std::make_unique<kelvorn::Board>(*board->driver_, "kelvorn");
    std::ostringstream err;
    const kelvorn::Board::Opened how = held->Open(Serial, err);
    result.Status = held->LastStatus();
    result.Ambiguous = how == kelvorn::Board::Opened::Ambiguous;
    result.Found = held->Found();
    result.PassedOver = held->PassedOver();
    std::istringstream lines(err.str());
    for (std::string line; std::getline(lines, line);)
        result.Lines.push_back(line.rfind("kelvorn: ", 0) == 0 ? line.substr(9) : line);
    if (how == kelvorn::Board::Opened::Yes) {
        board->serial_ = held->Serial();
        board->board_ = std::move(held);
        result.Board = std::move(board);
    }
    return result;
}

OpenBoard::OpenBoard(std::shared_ptr<LockedDriver> Driver) : driver_(std::move(Driver)) {}

OpenBoard::~OpenBoard() { Close(); }

void OpenBoard::Close() {
    const std::lock_guard lock(mutex_);
    board_.reset();
}

kelvorn::Board& OpenBoard::Live() {
    if (board_) return *board_;
    if (lost_) throw Disconnected("board " + kelvorn::Printable(serial_) + " stopped answering");
    throw kpy::Closed();
}

void OpenBoard::Lose() {
    lost_ = true;
    board_.reset();
    throw Disconnected("board " + kelvorn::Printable(serial_) + " stopped answering");
}

kelvorn::Board& OpenBoard::Switchable() {
    kelvorn::Board& board = Live();
    if (std::string why = driver_->Refused(board.Device().Handle()); !why.empty())
        throw NotAllowed(why);
    return board;
}

void OpenBoard::Unswitched() {
    Switchable();
    Lose();
}

std::uint8_t OpenBoard::ReadLocked() {
    clsVostrel& device = Live().Device();
    const std::uint8_t inputs = device.Inputs();
    if (!device.LastReadOk()) Lose();
    return inputs;
}

std::uint8_t OpenBoard::Read() {
    const std::lock_guard lock(mutex_);
    return ReadLocked();
}

std::uint8_t OpenBoard::Outputs() {
    const std::lock_guard lock(mutex_);
    clsVostrel& device = Live().Device();
    if (driver_->Shared()) {
        const std::optional<std::uint8_t> reported = device.TakeOutputs([] {});
        if (!reported) Lose();
        return *reported;
    }
    std::uint8_t on = 0;
    for (std::int16_t i = 0; i < static_cast<std::int16_t>(clsVostrel::OutputPins.size()); ++i)
        if (device.BitOut(i)) on = static_cast<std::uint8_t>(on | 1u << i);
    return on;
}

void OpenBoard::SetOutput(int Index, bool On) {
    const std::lock_guard lock(mutex_);
    kelvorn::Board& board = Switchable();
    board.Device().BitOut(static_cast<std::int16_t>(Index), On);
    if (board.Failed()) Unswitched();
}

void OpenBoard::SetOutputs(std::uint8_t On) {
    const std::lock_guard lock(mutex_);
    kelvorn::Board& board = Switchable();
    board.Device().SetOutputs(On);
    if (board.Failed()) Unswitched();
}

void OpenBoard::Toggle(int Index) {
    const std::lock_guard lock(mutex_);
    kelvorn::Board& board = Switchable();
    clsVostrel& device = board.Device();
    if (driver_->Shared() && !device.TakeOutputs([] {})) Lose();  // the latch: what it reports
    const auto index = static_cast<std::int16_t>(Index);
    device.BitOut(index, !device.BitOut(index));
    if (board.Failed()) Unswitched();
}

bool OpenBoard::Alive() {
    const std::lock_guard lock(mutex_);
    if (!board_) return false;
    clsVostrel& device = board_->Device();
    device.Inputs();
    if (device.LastReadOk()) return true;
    lost_ = true;
    board_.reset();
    return false;
}

bool OpenBoard::Pause(Clock::time_point Until, const Interrupted& Stop) {
    std::this_thread::sleep_until(std::min(Until, Clock::now() + kPoll));
    return !Stop();
}

std::optional<bool> OpenBoard::TimedPulse(int Index, std::uint32_t Millis, const Interrupted& Stop) {
    FT_HANDLE handle = 0;
    {
        const std::lock_guard lock(mutex_);
        handle = Switchable().Device().Handle();
    }
    // The worker holds what the driver's call needs (the driver, a handle of it) and the answer;
    // it may outlive this call, and this board, when Stop ends the wait: the driver ends the
    // pulse anyway.
    struct Answer {
        std::mutex Mutex;
        std::condition_variable Came;
        std::optional<FT_STATUS> Status;
    };
    const auto answer = std::make_shared<Answer>();
    std::thread([driver = driver_, handle, Index, Millis, answer] {
        const FT_STATUS status = driver->Pulse(handle, Index, Millis);
        const std::lock_guard lock(answer->Mutex);
        answer->Status = status;
        answer->Came.notify_all();
    }).detach();
    for (;;) {
        {
            std::unique_lock lock(answer->Mutex);
            if (answer->Came.wait_for(lock, kPoll, [&] { return answer->Status.has_value(); }))
                break;
        }
        if (Stop()) {
            SetOutput(Index, false);  // off at once, as a pulse stopped early is (its timer, too)
            return false;
        }
    }
    const FT_STATUS status = *answer->Status;
    if (status == FT_NOT_SUPPORTED) return std::nullopt;
    const std::lock_guard lock(mutex_);
    clsVostrel& device = Live().Device();
    if (status != FT_OK) Unswitched();
    // The latch takes what the board reports now, the pulse's output off among it.
    if (!device.TakeOutputs([] {})) Lose();
    return true;
}

bool OpenBoard::Pulse(int Index, double Length, const Interrupted& Stop) {
    const double millis = std::round(Length * 1000.0);
    if (driver_->Shared() && millis >= 1 && millis <= kLongestTimed)
        if (const std::optional<bool> whole =
                TimedPulse(Index, static_cast<std::uint32_t>(millis), Stop))
            return *whole;
    SetOutput(Index, true);
    const Clock::time_point end = Clock::now() + Seconds(Length);
    bool whole = true;
    while (Clock::now() < end)
        if (!Pause(end, Stop)) {
            whole = false;
            break;
        }
    SetOutput(Index, false);
    return whole;
}

OpenBoard::Waited OpenBoard::WaitFor(int Index, bool High, double Timeout,
                                     const Interrupted& Stop) {
    if (Index < 0 || static_cast<std::size_t>(Index) >= clsVostrel::InputPins.size())
        throw std::out_of_range("input index " + std::to_string(Index) + " is not 0 to 4");
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + Seconds(Timeout);
    Clock::time_point next = start;
    for (;;) {
        if (((Read() >> Index & 1) != 0) == High) return Waited::Met;
        const Clock::time_point now = Clock::now();
        if (now >= end) return Waited::TimedOut;
        next += kPoll;
        if (next < now) next = now;  // fell behind: no burst of reads to catch up
        if (!Pause(std::min(next, end), Stop)) return Waited::Stopped;
    }
}

std::optional<OpenBoard::Sample> OpenBoard::NextChange(std::uint8_t Last, double Timeout,
                                                       const Interrupted& Stop, bool* Stopped) {
    *Stopped = false;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + Seconds(Timeout);
    Clock::time_point next = start;
    for (;;) {
        const Clock::time_point at = Clock::now();
        const std::uint8_t inputs = Read();
        if (inputs != Last)
            return Sample{std::chrono::duration<double>(at.time_since_epoch()).count(), inputs};
        const Clock::time_point now = Clock::now();
        if (now >= end) return std::nullopt;
        next += kPoll;
        if (next < now) next = now;
        if (!Pause(std::min(next, end), Stop)) {
            *Stopped = true;
            return std::nullopt;
        }
    }
}

}  // namespace kpy
