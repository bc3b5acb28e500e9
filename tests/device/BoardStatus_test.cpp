// What a failed Board::Open leaves for callers that report it in their own words: the status, the
// serials found and the devices passed over, beside the line it writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "Forwarding.h"
#include "d2xx/SimDriver.h"
#include "device/Board.h"

namespace {

using d2xx::SimDriver;

// Fails every call of one name with a status; passes the rest on.
class Failing final : public d2xx_test::Forwarding {
public:
    using Forwarding::Forwarding;
    std::string Call;
    d2xx::FT_STATUS Status = d2xx::FT_OK;
    bool NoHandle = false;     // OpenEx says FT_OK but hands out no handle
    bool SharedBoards = false;  // as boards behind a bridge

    bool Shared() const override { return SharedBoards; }
    d2xx::FT_STATUS OpenEx(const char* A, std::uint32_t F, d2xx::FT_HANDLE* H) override {
        return NoHandle ? d2xx::FT_OK : Forwarding::OpenEx(A, F, H);
    }

private:
    d2xx::FT_STATUS Fault(const char* Name) override { return Call == Name ? Status : d2xx::FT_OK; }
};

struct Case {
    const char* Name;
    std::function<void(SimDriver&, Failing&)> Setup;
    std::string Serial;
    kelvorn::Board::Opened Opened;
    d2xx::FT_STATUS Status;
    std::vector<std::string> Found;
    std::size_t PassedOver;
    std::string Err;
};

class BoardStatus : public testing::TestWithParam<Case> {};

TEST_P(BoardStatus, SaysWhyAsTheLineDoes) {
    const Case& c = GetParam();
    SimDriver sim;
    Failing driver(sim);
    c.Setup(sim, driver);
    kelvorn::Board board(driver, "p");
    std::ostringstream err;
    EXPECT_EQ(board.Open(c.Serial, err), c.Opened);
    EXPECT_EQ(board.LastStatus(), c.Status);
    EXPECT_EQ(board.Found(), c.Found);
    EXPECT_EQ(board.PassedOver(), c.PassedOver);
    EXPECT_EQ(err.str(), c.Err);
}

using O = kelvorn::Board::Opened;
void One(SimDriver& S, Failing&) { S.Add(kelvorn::WiredSimBoard()); }
void Two(SimDriver& S, Failing&) {
    S.Add(kelvorn::WiredSimBoard());
    S.Add(kelvorn::WiredSimBoard("D4E5F6"));
}
void HeldAndOne(SimDriver& S, Failing&) {
    S.SetBusy(S.Add({"X", "Kelvorn"}), true);
    S.Add(kelvorn::WiredSimBoard());
}
void Foreign(SimDriver& S, Failing&) { S.Add({"FT1", "FT232R USB UART"}); }
auto OpenExSays(d2xx::FT_STATUS Status) {
    return [=](SimDriver& S, Failing& F) {
        One(S, F);
        F.Call = "OpenEx";
        F.Status = Status;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Table, BoardStatus,
    testing::Values(
        Case{"opened", One, "", O::Yes, d2xx::FT_OK, {"A1B2C3"}, 0, ""},
        Case{"opened_by_serial_beside_a_held_device", HeldAndOne, "A1B2C3", O::Yes, d2xx::FT_OK,
             {"A1B2C3"}, 1, "p: FTDI device 0 is held by another program: passed over\n"},
        Case{"none", [](SimDriver&, Failing&) {}, "", O::No, d2xx::FT_DEVICE_NOT_FOUND, {}, 0,
             "p: no Kelvorn board found\n"},
        Case{"absent_serial", One, "NOPE", O::No, d2xx::FT_DEVICE_NOT_FOUND, {"A1B2C3"}, 0,
             "p: board NOPE not found\n"},
        Case{"absent_serial_beside_a_held_device", HeldAndOne, "NOPE", O::No,
             d2xx::FT_DEVICE_NOT_FOUND, {"A1B2C3"}, 1,
             "p: FTDI device 0 is held by another program: passed over\n"
             "p: board NOPE not found\n"},
        Case{"someone_elses_device", Foreign, "FT1", O::No, d2xx::FT_DEVICE_NOT_FOUND, {}, 0,
             "p: FTDI device FT1 is not a Kelvorn board (its description is \"FT232R USB "
             "UART\"): left alone\n"},
        Case{"two_boards", Two, "", O::Ambiguous, d2xx::FT_OK, {"A1B2C3", "D4E5F6"}, 0,
             "p: 2 Kelvorn boards attached, pick one with --serial: A1B2C3 D4E5F6\n"},
        Case{"held_when_opened", OpenExSays(d2xx::FT_DEVICE_NOT_OPENED), "", O::No,
             d2xx::FT_DEVICE_NOT_OPENED, {"A1B2C3"}, 0,
             "p: board A1B2C3 is held by another program\n"},
        Case{"gone_when_opened", OpenExSays(d2xx::FT_DEVICE_NOT_FOUND), "A1B2C3", O::No,
             d2xx::FT_DEVICE_NOT_FOUND, {"A1B2C3"}, 0, "p: board A1B2C3 not found\n"},
        Case{"silent_when_opened", OpenExSays(d2xx::FT_IO_ERROR), "", O::No, d2xx::FT_IO_ERROR,
             {"A1B2C3"}, 0, "p: board A1B2C3 cannot be opened\n"},
        Case{"no_handle_when_opened",
             [](SimDriver& S, Failing& F) {
                 One(S, F);
                 F.NoHandle = true;
             },
             "", O::No, d2xx::FT_DEVICE_NOT_OPENED, {"A1B2C3"}, 0,
             "p: board A1B2C3 cannot be opened\n"},
        Case{"silent_on_the_all_off_write",
             [](SimDriver& S, Failing& F) {
                 One(S, F);
                 F.Call = "Write";
                 F.Status = d2xx::FT_IO_ERROR;
             },
             "", O::No, d2xx::FT_IO_ERROR, {"A1B2C3"}, 0, "p: board A1B2C3 does not answer\n"},
        Case{"shared_and_silent_when_its_outputs_are_taken",
             [](SimDriver& S, Failing& F) {
                 One(S, F);
                 F.SharedBoards = true;
                 F.Call = "GetBitMode";
                 F.Status = d2xx::FT_IO_ERROR;
             },
             "", O::No, d2xx::FT_IO_ERROR, {"A1B2C3"}, 0, "p: board A1B2C3 does not answer\n"}),
    [](const testing::TestParamInfo<Case>& I) { return std::string(I.param.Name); });

}  // namespace
