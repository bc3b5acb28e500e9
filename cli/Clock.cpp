#include <poll.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "cli/KelvornIo.h"

namespace kio {
namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

// The mask for a wait: the one found at start, with the stop signals let through.
sigset_t Waking(const sigset_t& Found) {
    sigset_t waking = Found;
    sigdelset(&waking, SIGINT);
    sigdelset(&waking, SIGTERM);
    return waking;
}

}  // namespace

struct SystemClock::Saved {
    sigset_t Mask;
    struct sigaction Int;
    struct sigaction Term;
};

SystemClock::SystemClock() : saved_(std::make_unique<Saved>()) {
    gStop = 0;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &saved_->Int);
    sigaction(SIGTERM, &action, &saved_->Term);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &saved_->Mask);
}

SystemClock::~SystemClock() {
    // Unblocked while our handler is still in place: a stop that came late is dropped here.
    sigprocmask(SIG_SETMASK, &saved_->Mask, nullptr);
    sigaction(SIGINT, &saved_->Int, nullptr);
    sigaction(SIGTERM, &saved_->Term, nullptr);
}

Micros SystemClock::Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<Micros>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

bool SystemClock::Sleep(Micros Duration) {
    const sigset_t waking = Waking(saved_->Mask);
    // A century at the most, which keeps the end time from overflowing.
    constexpr Micros kCentury = Micros{100} * 365 * 24 * 3600 * 1000000;
    const Micros end = Now() + (Duration < kCentury ? Duration : kCentury);
    // Zero still lets a pending stop signal through.
    for (Micros left = Duration; gStop == 0; left = end - Now()) {
        if (left < 0) left = 0;
        const timespec t{static_cast<time_t>(left / 1000000),
                         static_cast<long>(left % 1000000) * 1000};
        // The stop signals get through only here, atomically with the wait.
        if (ppoll(nullptr, 0, &t, &waking) == 0 || left == 0) break;
    }
    return gStop == 0;
}

bool SystemClock::StopAsked() { return !Sleep(0); }

bool SystemClock::Readable(int Fd) {
    const sigset_t waking = Waking(saved_->Mask);
    pollfd in{Fd, POLLIN, 0};
    while (gStop == 0 && ppoll(&in, 1, nullptr, &waking) < 0 && errno == EINTR) {
    }
    return gStop == 0;
}

}  // namespace kio
