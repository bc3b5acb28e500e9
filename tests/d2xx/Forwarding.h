// A driver that passes every call on to another, for tests that change one or two calls of a
// simulated board: Fault() is asked first, by the call's name, and a status other than FT_OK is
// returned instead of the call.
#pragma once

#include "d2xx/d2xx.h"

namespace d2xx_test {

class Forwarding : public d2xx::Driver {
public:
    explicit Forwarding(d2xx::Driver& Below) : below_(Below) {}

    bool Shared() const override { return below_.Shared(); }
    // clang-format off
    d2xx::FT_STATUS Open(std::int32_t I, d2xx::FT_HANDLE* H) override {
        return Pass("Open", [&] { return below_.Open(I, H); }); }
    d2xx::FT_STATUS OpenEx(const char* A, std::uint32_t F, d2xx::FT_HANDLE* H) override {
        return Pass("OpenEx", [&] { return below_.OpenEx(A, F, H); }); }
    d2xx::FT_STATUS Close(d2xx::FT_HANDLE H) override {
        return Pass("Close", [&] { return below_.Close(H); }); }
    d2xx::FT_STATUS EE_Read(d2xx::FT_HANDLE H, d2xx::FT_PROGRAM_DATA* D) override {
        return Pass("EE_Read", [&] { return below_.EE_Read(H, D); }); }
    d2xx::FT_STATUS SetBitMode(d2xx::FT_HANDLE H, std::uint8_t M, std::uint8_t Mode) override {
        return Pass("SetBitMode", [&] { return below_.SetBitMode(H, M, Mode); }); }
    d2xx::FT_STATUS SetBaudRate(d2xx::FT_HANDLE H, std::uint32_t B) override {
        return Pass("SetBaudRate", [&] { return below_.SetBaudRate(H, B); }); }
    d2xx::FT_STATUS SetLatencyTimer(d2xx::FT_HANDLE H, std::uint8_t T) override {
        return Pass("SetLatencyTimer", [&] { return below_.SetLatencyTimer(H, T); }); }
    d2xx::FT_STATUS Write(d2xx::FT_HANDLE H, const void* B, std::uint32_t N,
                          std::uint32_t* W) override {
        return Pass("Write", [&] { return below_.Write(H, B, N, W); }); }
    d2xx::FT_STATUS GetBitMode(d2xx::FT_HANDLE H, std::uint8_t* P) override {
        return Pass("GetBitMode", [&] { return below_.GetBitMode(H, P); }); }
    // clang-format on

protected:
    // The status the named call gives instead of passing on; FT_OK passes it on.
    virtual d2xx::FT_STATUS Fault(const char* /*Call*/) { return d2xx::FT_OK; }

private:
    template <typename Call>
    d2xx::FT_STATUS Pass(const char* Name, Call Below) {
        const d2xx::FT_STATUS fault = Fault(Name);
        return fault != d2xx::FT_OK ? fault : Below();
    }
    d2xx::Driver& below_;
};

}  // namespace d2xx_test
