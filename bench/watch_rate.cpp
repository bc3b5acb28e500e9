// The sample rate `kelvorn-io watch --interval 1` keeps on the simulated board: the program's
// own code with the system clock, run in-process so that the board's pin reads can be counted.
// Usage: watch_rate [seconds]   (default 5)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "cli/KelvornIo.h"
#include "device/Board.h"

int main(int argc, char** argv) {
    const std::string seconds = argc > 1 ? argv[1] : "5";
    d2xx::SimDriver sim;
    const auto board = sim.Add(kelvorn::WiredSimBoard());
    kio::SystemClock clock;
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    kio::Io io{in, out, err, clock, [&](bool) -> d2xx::Driver& { return sim; }};
    const char* args[] = {"kelvorn-io", "--sim",      "watch",        "--interval",
                          "1",          "--duration", seconds.c_str()};
    const auto start = std::chrono::steady_clock::now();
    const int status = kio::Main(7, args, io);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != 0) {
        std::fprintf(stderr, "watch_rate: kelvorn-io exited with %d: %s", status,
                     err.str().c_str());
        return 1;
    }
    const auto reads = sim.PinReads(board);
    std::printf("watch --interval 1: %llu pin reads in %.3f s: %.1f samples/s (1000 wanted)\n",
                static_cast<unsigned long long>(reads), elapsed,
                static_cast<double>(reads) / elapsed);
    return 0;
}
