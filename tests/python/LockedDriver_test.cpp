// The lock the Python package puts around a driver made for one thread: two threads of a Python
// program (one switching, one waiting) never run inside such a driver at once; a driver made for
// several threads (the boards behind bridges) is entered by both. And a switch the holder refuses.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string_view>
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

// A holder that refuses this user a switch: the write that meets the refusal fails, and from
// then on the holder says why.
class Refusing final : public d2xx_test::Forwarding {
public:
    using Forwarding::Forwarding;
    std::string Refused(d2xx::FT_HANDLE) const override {
        return said ? "not allowed to switch A1B2C3: the broker refused (not authorized)" : "";
    }
    bool refuse = false, said = false;
    int writes = 0;

protected:
    d2xx::FT_STATUS Fault(const char* Call) override {
        if (std::string_view(Call) != "Write") return d2xx::FT_OK;
        ++writes;
        said = said || refuse;
        return refuse ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
    }
};

TEST(OpenBoard, ASwitchRefusedSaysWhyAndSendsNothingMoreButTheBoardStillReads) {
    d2xx::SimDriver sim;
    sim.Add(kelvorn::WiredSimBoard());
    auto owned = std::make_unique<Refusing>(sim);
    Refusing& holder = *owned;
    auto opened = kpy::OpenBoard::Open(std::make_shared<kpy::LockedDriver>(std::move(owned)), "");
    ASSERT_TRUE(opened.Board);
    kpy::OpenBoard& board = *opened.Board;
    board.SetOutput(0, true);
    holder.refuse = true;
    const std::function<void()> switches[] = {
        [&] { board.SetOutput(1, true); },  // the write that meets the refusal
        [&] { board.SetOutputs(0); },
        [&] { board.Toggle(0); },
        [&] { board.Pulse(2, 0.01, [] { return false; }); },
    };
    int writes = 0;
    for (const auto& call : switches) {
        try {
            call();
            ADD_FAILURE() << "a refused switch went through";
        } catch (const kpy::NotAllowed& e) {
            EXPECT_STREQ(e.what(),
                         "not allowed to switch A1B2C3: the broker refused (not authorized)");
        }
        if (writes == 0) writes = holder.writes;
        EXPECT_EQ(holder.writes, writes);  // after the first, nothing more is sent
    }
    EXPECT_EQ(board.Read() & 1, 0);  // output 0 still on, pulling input 0 low
    EXPECT_TRUE(board.Alive());
}

}  // namespace
