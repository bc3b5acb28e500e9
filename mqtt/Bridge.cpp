#include "mqtt/Bridge.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "device/Text.h"
#include "mqtt/Discovery.h"

namespace kmqtt {
namespace {

using kelvorn::Printable;
constexpr int kInputs = static_cast<int>(clsVostrel::InputPins.size());
constexpr int kOutputs = static_cast<int>(clsVostrel::OutputPins.size());

bool Bit(std::uint8_t Bits, int N) { return (Bits >> N & 1) != 0; }

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
    Clock::time_point nextRescan = Clock::now() + rescan;
    for (;;) {
        Clock::time_point due = std::min(nextSample, nextRescan);
        if (const auto pulse = NextPulseEnd()) due = std::min(due, *pulse);
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
        EndPulses(now);
        if (now >= nextSample) {
            Sample();
            nextSample += interval;
            if (nextSample <= now) nextSample = now + interval;  // fell behind: no burst
        }
        if (now >= nextRescan) {
            Rescan();
            nextRescan = Clock::now() + rescan;
        }
    }
    close(signals);

    Line() << "stopping" << std::endl;
    for (auto& [id, b] : boards_) Publish(topics_.Availability(id), kOffline);
    Publish(topics_.Bridge(), kOffline);
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
            connected_ = true;
            down_.clear();
            Line() << "connected to the broker" << std::endl;
            if (opt_.Discovery) connection_.Subscribe(opt_.DiscoveryPrefix + "/status");
            Publish(topics_.Bridge(), kOnline);
            for (const auto& [id, b] : boards_) {
                Subscribe(id);
                PublishBoard(id, b, opt_.Discovery);
            }
            break;
        case Connection::Event::Kind::Down:
            // One line per change: a broker that stays away is not named at every attempt.
            if (connected_ || E.Text != down_)
                Line() << E.Text << "; retrying" << std::endl;
            connected_ = false;
            down_ = E.Text;
            break;
        case Connection::Event::Kind::Message:
            if (opt_.Verbose)
                Line() << "< " << Printable(E.Topic) << ' ' << Printable(E.Text)
                       << (E.Retained ? " (retained)" : "") << std::endl;
            if (opt_.Discovery && E.Topic == opt_.DiscoveryPrefix + "/status") {
                // Home Assistant's birth message: it has forgotten what was discovered.
                if (E.Text == "online")
                    for (const auto& [id, b] : boards_)
                        for (const Message& m : Discovery(topics_, opt_.DiscoveryPrefix, b.Serial))
                            Publish(m.Topic, m.Payload);
                break;
            }
            Command(E.Topic, E.Text, E.Retained);
            break;
        case Connection::Event::Kind::Subscribed:
            break;
    }
}

void Bridge::Command(const std::string& Topic, const std::string& Payload, bool Retained) {
    const auto ignored = [&]() -> std::ostream& {
        return Line() << "ignored " << Printable(Topic) << " '" << Printable(Payload) << "': ";
    };
    if (Retained) {
        ignored() << "a retained command is stale, it would switch the output again at every "
                     "reconnect"
                  << std::endl;
        return;
    }
    const Parsed parsed = ParseCommand(opt_.Prefix, Topic, Payload);
    if (!parsed.Ok) {
        ignored() << parsed.Why << std::endl;
        return;
    }
    const kmqtt::Command& c = *parsed.Ok;
    const auto it = boards_.find(c.Id);
    if (it == boards_.end() || !it->second.Board) {
        ignored() << "the board is Offline" << std::endl;
        return;
    }
    Held& b = it->second;
    const auto bit = static_cast<std::uint8_t>(1u << c.Output);
    if (c.What != Command::Kind::Republish) {
        b.PulseEnd[static_cast<std::size_t>(c.Output)].reset();  // a set or a new pulse ends one
        const bool on = c.What == Command::Kind::On || c.What == Command::Kind::Pulse ||
                        (c.What == Command::Kind::Toggle && !Bit(b.Commanded, c.Output));
        b.Commanded = static_cast<std::uint8_t>(on ? b.Commanded | bit : b.Commanded & ~bit);
        // The pins read at once: an input the output drives is published before the output's
        // state, so that whoever waits for the state sees the input follow with it.
        if (!Write(c.Id, b) || !Sample(c.Id, b)) return;
        if (c.What == Command::Kind::Pulse)
            b.PulseEnd[static_cast<std::size_t>(c.Output)] =
                Clock::now() + std::chrono::milliseconds(c.Millis);
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

void Bridge::EndPulses(Clock::time_point Now) {
    for (auto& [id, b] : boards_)
        for (int n = 0; n < kOutputs && b.Board; ++n) {
            auto& end = b.PulseEnd[static_cast<std::size_t>(n)];
            if (!end || *end > Now) continue;
            end.reset();
            b.Commanded = static_cast<std::uint8_t>(b.Commanded & ~(1u << n));
            if (Write(id, b)) Publish(topics_.Output(id, n), OutputPayload(false));
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
    for (int n = 0; n < kInputs; ++n)
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
    for (const std::string& serial : scanner.Scan(passedOver))
        if (opt_.Serials.empty() ||
            std::find(opt_.Serials.begin(), opt_.Serials.end(), serial) != opt_.Serials.end())
            Take(serial);
    if (scanner.Unnamed() != unnamed_ && scanner.Unnamed() > 0)
        Line() << scanner.Unnamed() << " Kelvorn board(s) with an empty serial: left alone, "
               << "a board is opened by its serial" << std::endl;
    unnamed_ = scanner.Unnamed();
}

void Bridge::Take(const std::string& Serial) {
    const std::string id = EscapeId(Serial);
    auto board = std::make_unique<kelvorn::Board>(driver_, "kelvorn-mqtt");
    std::ostringstream why;
    const auto opened = board->Open(Serial, why);
    const auto [known, fresh] = boards_.try_emplace(id);
    Held& b = known->second;
    if (opened == kelvorn::Board::Opened::Yes) {
        b.Serial = Serial;
        b.Board = std::move(board);
        // Opened with all outputs off; a board found again gets them as last commanded.
        if (b.Commanded != 0) b.Board->Device().SetOutputs(b.Commanded);
        b.Inputs = b.Board->Device().Inputs();
        if (!b.Board->Failed() && b.Board->Device().LastReadOk()) {
            openFailure_.erase(Serial);
            Line() << "board " << Printable(Serial) << " Online as "
                   << Printable(topics_.Availability(id)) << std::endl;
            if (connected_) {
                if (fresh) Subscribe(id);
                PublishBoard(id, b, fresh && opt_.Discovery);
            }
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
    if (opt_.Verbose) Line() << "> " << Printable(Topic) << ' ' << Printable(Payload) << std::endl;
    connection_.Publish(Topic, Payload, true);
}

void Bridge::PublishBoard(const std::string& Id, const Held& B, bool WithDiscovery) {
    if (WithDiscovery)
        for (const Message& m : Discovery(topics_, opt_.DiscoveryPrefix, B.Serial))
            Publish(m.Topic, m.Payload);
    if (B.Board) Publish(topics_.HeldBy(Id), opt_.Name);  // before Online: a client then knows
    Publish(topics_.Availability(Id), B.Board ? kOnline : kOffline);
    if (!B.Board) return;
    for (int n = 0; n < kInputs; ++n) Publish(topics_.Input(Id, n), InputPayload(Bit(B.Inputs, n)));
    for (int n = 0; n < kOutputs; ++n)
        Publish(topics_.Output(Id, n), OutputPayload(Bit(B.Commanded, n)));
}

void Bridge::Subscribe(const std::string& Id) {
    connection_.Subscribe(topics_.SetCommands(Id));
    connection_.Subscribe(topics_.PulseCommands(Id));
}

}  // namespace kmqtt
