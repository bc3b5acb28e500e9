// The contract every driver behind the seam keeps, run on the libftdi driver and emulated boards.
#include <stdexcept>
#include <vector>

#include "EmulatedFt232r.h"
#include "d2xx/LibftdiDriver.h"
#include "tests/d2xx/DriverContract.h"

namespace {

class LibftdiRig : public contract::Rig {
public:
    d2xx::Driver& Driver() override { return driver_; }

    // The FT232R's EEPROM holds about a hundred bytes of strings: a description too long for
    // it is cut until it fits, as a programming tool would have to.
    int Add(const std::string& Serial, const std::string& Description) override {
        std::string description = Description;
        for (;;) {
            try {
                ft232r::ProgrammedEeprom("FTDI", description, Serial);
                break;
            } catch (const std::invalid_argument&) {
                if (description.empty()) throw;
                description.pop_back();
            }
        }
        boards_.push_back(&bed_.Add({.Serial = Serial, .Description = description}));
        return static_cast<int>(boards_.size()) - 1;
    }
    void Unplug(int Id) override { Board(Id).Unplug(); }
    void SetBusy(int Id, bool Busy) override { Board(Id).SetBusy(Busy); }
    void SetEepromFails(int Id) override {
        ft232r::EepromWords blank;
        blank.fill(0xFFFF);
        Board(Id).WriteEeprom(blank);
    }
    void SetInputLevels(int Id, std::uint8_t Levels) override { Board(Id).SetInputs(Levels); }
    std::uint8_t OutputLatch(int Id) override { return Board(Id).Latch(); }

private:
    ft232r::EmulatedFt232r& Board(int Id) { return *boards_.at(static_cast<std::size_t>(Id)); }

    ft232r::Testbed bed_;  // outlives the driver, which closes its handles first
    d2xx::LibftdiDriver driver_;
    std::vector<ft232r::EmulatedFt232r*> boards_;
};

std::unique_ptr<contract::Rig> MakeLibftdiRig() { return std::make_unique<LibftdiRig>(); }

}  // namespace

namespace contract {
INSTANTIATE_TEST_SUITE_P(Libftdi, DriverContract, testing::Values(&MakeLibftdiRig),
                         [](const auto&) { return std::string("EmulatedFt232r"); });
}  // namespace contract
