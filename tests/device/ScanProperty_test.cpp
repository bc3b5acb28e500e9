// Random device lists against a reference model of the scan. Every scan must end, leave nothing
// open and report what the model says. A failure prints the seed; KELVORN_SCAN_SEED=<seed> replays
// it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <stdexcept>
#include <string_view>

#include "d2xx/SimDriver.h"
#include "Forwarding.h"
#include "device/clsVostrel.h"

using d2xx::SimDriver;

namespace {

// Passes every call to the simulation, but throws once a single scan has opened far more devices
// than exist, so that a scan that would never end fails the test instead of hanging it.
class RunawayGuard final : public d2xx_test::Forwarding {
public:
    using Forwarding::Forwarding;
    int opens = 0;
    static constexpr int kBudget = 200;

private:
    d2xx::FT_STATUS Fault(const char* Call) override {
        if (std::string_view(Call) == "Open" && ++opens > kBudget)
            throw std::runtime_error("scan does not end");
        return d2xx::FT_OK;
    }
};

// One attached device as the scan should judge it.
struct ModelDevice {
    std::string serial;
    bool findable;  // free, EEPROM readable, description exactly "Kelvorn"
};

// The scan's contract, stated plainly: the first findable device from the start index to the end
// of the list, else the first from index 0; the next scan starts just after it, or at 0.
struct Model {
    std::vector<ModelDevice> list;  // plugged devices in index order
    int next = 0;

    std::string Scan() {
        const auto from = [&](int start) -> std::optional<int> {
            for (int i = start; i < static_cast<int>(list.size()); ++i)
                if (list[static_cast<std::size_t>(i)].findable) return i;
            return std::nullopt;
        };
        std::optional<int> hit = from(next);
        if (!hit) hit = from(0);
        next = hit ? *hit + 1 : 0;
        return hit ? list[static_cast<std::size_t>(*hit)].serial : "";
    }
};

const char* const kNearMisses[] = {"FT232R USB UART", "kelvorn", "Kelvorn2",
                                   "Kelvorn ",        "",        "\xFF\xFE"};

// Builds one random case and checks a run of scans against the model.
void RunCase(std::mt19937& rng, std::uint32_t seed, int round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", case " + std::to_string(round));
    const auto chance = [&](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(rng) < percent;
    };
    const int devices = std::uniform_int_distribution<int>(0, 8)(rng);
    const int start = std::uniform_int_distribution<int>(0, 8)(rng);

    SimDriver sim;
    RunawayGuard guard(sim);
    clsVostrel dev(guard);

    // Reach the start index with a list of plain boards: each scan steps one further.
    std::vector<SimDriver::DeviceId> ids;
    for (int i = 0; i < std::max(devices, start); ++i)
        ids.push_back(sim.Add({"S" + std::to_string(i), "Kelvorn"}));
    for (int i = 0; i < start; ++i) dev.Identify();

    // Then give every device its part: extra ones leave, the rest turn foreign, busy, unreadable,
    // unplugged, or stay matching boards.
    Model model;
    model.next = start;
    for (int i = 0; i < static_cast<int>(ids.size()); ++i) {
        const auto id = ids[static_cast<std::size_t>(i)];
        if (i >= devices || chance(10)) {
            sim.Unplug(id);
            continue;
        }
        const bool matching = chance(50);
        if (!matching)
            sim.SetDescription(id, kNearMisses[std::uniform_int_distribution<std::size_t>(
                                       0, std::size(kNearMisses) - 1)(rng)]);
        const bool busy = chance(15);
        const bool unreadable = chance(15);
        sim.SetBusy(id, busy);
        sim.SetEepromFails(id, unreadable);
        model.list.push_back({sim.Board(id).Serial, matching && !busy && !unreadable});
    }
    // Sometimes a board is connected when the scan starts: it is closed and the scan begins at 0.
    if (!model.list.empty() && chance(30)) {
        const auto& target =
            model.list[std::uniform_int_distribution<std::size_t>(0, model.list.size() - 1)(rng)];
        if (dev.Connect(target.serial)) model.next = 0;
    }

    std::vector<std::string> found;
    int findable = 0;
    for (const auto& d : model.list) findable += d.findable ? 1 : 0;
    for (int scan = 0; scan < findable + 2; ++scan) {
        guard.opens = 0;
        ASSERT_NO_THROW(dev.Identify()) << "scan " << scan;
        ASSERT_EQ(sim.OpenHandles(), 0) << "scan " << scan;
        const std::string expected = model.Scan();
        ASSERT_EQ(dev.SerialNumber(), expected) << "scan " << scan;
        found.push_back(expected);
    }
    // Successive scans visit every findable board once per round, in index order.
    if (findable > 0) {
        std::vector<std::string> round1(found.begin(), found.begin() + findable);
        std::vector<std::string> inOrder;
        for (const auto& d : model.list)
            if (d.findable) inOrder.push_back(d.serial);
        std::rotate(inOrder.begin(), std::find(inOrder.begin(), inOrder.end(), round1[0]),
                    inOrder.end());
        EXPECT_EQ(round1, inOrder);
    } else {
        EXPECT_EQ(found.back(), "");
    }
}

TEST(ScanProperty, AgreesWithTheModelOnTenThousandRandomDeviceLists) {
    const char* given = std::getenv("KELVORN_SCAN_SEED");
    const std::uint32_t seed = given ? static_cast<std::uint32_t>(std::strtoul(given, nullptr, 10))
                                     : std::random_device{}();
    std::cout << "KELVORN_SCAN_SEED=" << seed << "\n";
    std::mt19937 rng(seed);
    for (int round = 0; round < 10000; ++round) {
        RunCase(rng, seed, round);
        if (testing::Test::HasFailure()) break;
    }
}

}  // namespace
