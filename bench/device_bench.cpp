// The board class on simulated boards: what a Read, a connect and one output switch cost the panel.
#include "d2xx/SimDriver.h"
#include "device/clsVostrel.h"

#include <benchmark/benchmark.h>

namespace {

// Eight attached devices with the Kelvorn board last: every scan walks the whole list.
void BM_ScanOfEightDevices(benchmark::State& state) {
    d2xx::SimDriver sim;
    for (int i = 0; i < 7; ++i) sim.Add({"FT" + std::to_string(i), "FT232R USB UART"});
    sim.Add({"A1B2C3", "Kelvorn"});
    clsVostrel dev(sim);
    for (auto _ : state) {
        dev.Identify();
        benchmark::DoNotOptimize(dev.SerialNumber());
    }
}
BENCHMARK(BM_ScanOfEightDevices);

void BM_Connect(benchmark::State& state) {
    d2xx::SimDriver sim;
    sim.Add({"A1B2C3", "Kelvorn"});
    sim.Add({"B2C3D4", "Kelvorn"});
    clsVostrel dev(sim);
    const std::string serials[2] = {"A1B2C3", "B2C3D4"};
    int next = 0;
    for (auto _ : state) {  // alternate, so each connect opens a free board and closes the other
        benchmark::DoNotOptimize(dev.Connect(serials[next]));
        next ^= 1;
    }
}
BENCHMARK(BM_Connect);

void BM_BitOutWrite(benchmark::State& state) {
    d2xx::SimDriver sim;
    const auto board = sim.Add({"A1B2C3", "Kelvorn"});
    clsVostrel dev(sim);
    dev.Connect("A1B2C3");
    std::int16_t index = 0;
    for (auto _ : state) {
        dev.BitOut(index, (index & 1) != 0);
        index = static_cast<std::int16_t>((index + 1) % 3);
        if (sim.Written(board).size() > 4096) sim.ClearWritten(board);  // keep the log small
    }
}
BENCHMARK(BM_BitOutWrite);

}  // namespace
