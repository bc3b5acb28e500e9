// Cost of one panel tick while the test pattern runs: five pin reads, lamp colours, three writes.
// Against a driver that does nothing, the figure is the tick's own cost; against the simulated
// boards it adds the simulator's.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>

#include "d2xx/SimDriver.h"
#include "panel/frmTest.h"

namespace {

// Answers every call at once: one board, always there, pins alternating so that lamps change.
class IdleDriver final : public d2xx::Driver {
public:
    d2xx::FT_STATUS Open(std::int32_t, d2xx::FT_HANDLE* Handle) override { return Give(Handle); }
    d2xx::FT_STATUS OpenEx(const char*, std::uint32_t, d2xx::FT_HANDLE* Handle) override {
        return Give(Handle);
    }
    d2xx::FT_STATUS Close(d2xx::FT_HANDLE) override { return d2xx::FT_OK; }
    d2xx::FT_STATUS EE_Read(d2xx::FT_HANDLE, d2xx::FT_PROGRAM_DATA*) override {
        return d2xx::FT_OK;
    }
    d2xx::FT_STATUS SetBitMode(d2xx::FT_HANDLE, std::uint8_t, std::uint8_t) override {
        return d2xx::FT_OK;
    }
    d2xx::FT_STATUS SetBaudRate(d2xx::FT_HANDLE, std::uint32_t) override { return d2xx::FT_OK; }
    d2xx::FT_STATUS SetLatencyTimer(d2xx::FT_HANDLE, std::uint8_t) override { return d2xx::FT_OK; }
    d2xx::FT_STATUS Write(d2xx::FT_HANDLE, const void*, std::uint32_t Count,
                          std::uint32_t* Written) override {
        if (Written != nullptr) *Written = Count;
        return d2xx::FT_OK;
    }
    d2xx::FT_STATUS GetBitMode(d2xx::FT_HANDLE, std::uint8_t* Pins) override {
        *Pins = static_cast<std::uint8_t>(++reads_ / 5 % 2 ? 0x00 : 0xFF);
        return d2xx::FT_OK;
    }

private:
    static d2xx::FT_STATUS Give(d2xx::FT_HANDLE* Handle) {
        *Handle = 1;
        return d2xx::FT_OK;
    }
    unsigned reads_ = 0;
};

// Shows the panel, connects it through its buttons and switches the test pattern on. The timer
// is stopped so that only the benchmark ticks.
void StartPattern(frmTest& Panel, const QString& Serial) {
    Panel.show();
    QApplication::processEvents();
    Panel.findChild<QWidget*>("txtSerNo")->setProperty("text", Serial);
    QMetaObject::invokeMethod(Panel.findChild<QObject*>("cmdSerialConnect"), "click");
    QMetaObject::invokeMethod(Panel.findChild<QObject*>("cmdTest"), "click");
    Panel.findChild<QObject*>("tmr")->setProperty("active", false);
}

void TickLoop(benchmark::State& State, frmTest& Panel) {
    if (!Panel.TestMode()) State.SkipWithError("test pattern did not start");
    for (auto _ : State) Panel.Tick();
}

void BM_TickIdleDriver(benchmark::State& State) {
    IdleDriver driver;
    frmTest panel(driver);
    StartPattern(panel, "A1B2C3");
    TickLoop(State, panel);
}
BENCHMARK(BM_TickIdleDriver)->Repetitions(5)->ReportAggregatesOnly(true);

// The tick and the repaint of the lamps it changed, as the event loop does it after each tick.
void BM_TickAndRepaintIdleDriver(benchmark::State& State) {
    IdleDriver driver;
    frmTest panel(driver);
    StartPattern(panel, "A1B2C3");
    for (auto _ : State) {
        panel.Tick();
        QApplication::processEvents();
    }
}
BENCHMARK(BM_TickAndRepaintIdleDriver)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_TickSimulatedBoard(benchmark::State& State) {
    d2xx::SimDriver sim;
    sim.Add({"A1B2C3", "Kelvorn"});
    frmTest panel(sim);
    StartPattern(panel, "A1B2C3");
    TickLoop(State, panel);
}
BENCHMARK(BM_TickSimulatedBoard)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
