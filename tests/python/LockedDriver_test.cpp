// The lock the Python package puts around a driver made for one thread: two threads of a Python
// program (one switching, one waiting) never run inside such a driver at once; a driver made for
// several threads (the boards behind bridges) is entered by both. Its pulses timed by the driver
// below, and what that driver says of a board not found.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "Forwarding.h"
#include "d2xx/SimDriver.h"
#include "python/src/Core.h"

namespace {

using namespace std::chrono_literals;

// A simulated board whose first pin read stays inside until a second call comes in or 2 s pass,
// and notes whether two calls were ever inside at once.
class Probe final : public d2xx_test::Forwarding {
public:
    explicit Probe(d2xx::SimDriver& Sim) : Forwarding(Sim) {}
    d2xx::FT_STATUS GetBitMode(d2xx::FT_HANDLE H, std::uint8_t* P) override {
        std::unique_lock lock(mutex_);
        if (++inside_ > 1) overlapped = true;
        entered_.notify_all();
        if (calls_++ == 0) entered_.wait_for(lock, 2s, [this] { return overlapped; });
        --inside_;
        return Forwarding::GetBitMode(H, P);
    }
    void AwaitInside() {
        std::unique_lock lock(mutex_);
        entered_.wait(lock, [this] { return inside_ > 0; });
    }
    bool overlapped = false;

private:
    std::mutex mutex_;
    std::condition_variable entered_;
    int inside_ = 0;
    int calls_ = 0;
};

TEST(LockedDriver, LetsOneThreadAtATimeIntoADriverForOneThreadAndBothIntoOneForMany) {
    for (const bool threadSafe : {false, true}) {
        SCOPED_TRACE(threadSafe ? "made for several threads" : "made for one thread");
        d2xx::SimDriver sim;
        sim.Add(kelvorn::WiredSimBoard());
        auto owned = std::make_unique<Probe>(sim);
        Probe& probe = *owned;
        kpy::LockedDriver driver(std::move(owned), threadSafe);
        d2xx::FT_HANDLE handle{};
        ASSERT_EQ(driver.OpenEx("A1B2C3", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_OK);
        std::uint8_t first = 0, second = 0;
        std::thread waiting([&] { driver.GetBitMode(handle, &first); });
        probe.AwaitInside();
        EXPECT_EQ(driver.GetBitMode(handle, &second), d2xx::FT_OK);
        waiting.join();
        EXPECT_EQ(probe.overlapped, threadSafe);
        EXPECT_EQ(first, second);  // both read the board
        driver.Close(handle);
    }
}

// A simulated board shared as one behind a bridge is, whose holder times a pulse: it notes the
// pulse, and answers once Release() is called, or at once when it is told to. Absent() says why.
class Timing final : public d2xx_test::Forwarding {
public:
    explicit Timing(d2xx::SimDriver& Sim, bool Answers) : Forwarding(Sim), answers_(Answers) {}
    bool Shared() const override { return true; }
    d2xx::FT_STATUS Pulse(d2xx::FT_HANDLE, int Output, std::uint32_t Millis) override {
        std::unique_lock lock(mutex_);
        asked = {Output, Millis};
        released_.wait_for(lock, 2s, [this] { return answers_; });
        return d2xx::FT_OK;
    }
    std::string Absent(const std::string& Serial) const override {
        return "board " + Serial + " is Offline";
    }
    bool Asked() {
        const std::lock_guard lock(mutex_);
        return asked.first >= 0;
    }
    void Release() {
        const std::lock_guard lock(mutex_);
        answers_ = true;
        released_.notify_all();
    }
    std::pair<int, std::uint32_t> asked{-1, 0};

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool answers_;
};

TEST(LockedDriver, PassesPulseAndAbsentOnAndFailsOnceDropped) {
    d2xx::SimDriver sim;
    sim.Add(kelvorn::WiredSimBoard());
    auto owned = std::make_unique<Timing>(sim, true);
    Timing& timing = *owned;
    kpy::LockedDriver driver(std::move(owned), true);
    EXPECT_EQ(driver.Absent("A1B2C3"), "board A1B2C3 is Offline");
    d2xx::FT_HANDLE handle{};
    ASSERT_EQ(driver.OpenEx("A1B2C3", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle), d2xx::FT_OK);
    EXPECT_EQ(driver.Pulse(handle, 2, 150), d2xx::FT_OK);
    EXPECT_EQ(timing.asked, std::make_pair(2, std::uint32_t{150}));
    driver.Drop();
    std::uint8_t pins = 0;
    EXPECT_EQ(driver.GetBitMode(handle, &pins), d2xx::FT_IO_ERROR);
    EXPECT_EQ(driver.Absent("A1B2C3"), "");
    EXPECT_TRUE(driver.Shared());
}

TEST(OpenBoard, LeavesAPulseToADriverThatTimesItAndStopsWaitingAtOnce) {
    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "stopped" : "whole");
        d2xx::SimDriver sim;
        sim.Add(kelvorn::WiredSimBoard());
        auto owned = std::make_unique<Timing>(sim, !stopped);
        Timing& timing = *owned;
        auto driver = std::make_shared<kpy::LockedDriver>(std::move(owned), true);
        kpy::OpenBoard::Opened opened = kpy::OpenBoard::Open(driver, "A1B2C3");
        ASSERT_TRUE(opened.Board);
        opened.Board->SetOutputs(0);  // opening a shared board wrote nothing
        // Stopped: Ctrl-C once the driver has the pulse, long before it answers.
        const bool whole = opened.Board->Pulse(1, 0.25, [&] { return stopped && timing.Asked(); });
        EXPECT_EQ(whole, !stopped);
        EXPECT_EQ(timing.asked, std::make_pair(1, std::uint32_t{250}));
        EXPECT_EQ(opened.Board->Outputs(), 0);  // off: never written on by this side
        EXPECT_EQ(sim.Board(sim.Devices().front()).InputLevels & 0x1F, 0x1F);
        timing.Release();
        opened.Board->Close();
    }
}

}  // namespace
