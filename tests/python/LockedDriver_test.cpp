// The lock the Python package puts around a driver made for one thread: two threads of a Python
// program (one switching, one waiting) never run inside such a driver at once; a driver made for
// several threads (the boards behind bridges) is entered by both.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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

}  // namespace
