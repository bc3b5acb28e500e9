// kelvorn-io: the program is kio::Main; this picks the drivers and the streams.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <memory>

#include "cli/KelvornIo.h"
#include "device/Board.h"
#include "d2xx/LibftdiDriver.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::signal(SIGPIPE, SIG_IGN);  // a reader gone ends watch through a failed write instead
    std::signal(SIGXFSZ, SIG_IGN);  // a file size limit fails the trace's write, which says so
    kio::SystemClock clock;
    std::unique_ptr<d2xx::Driver> driver;
    kio::Io io{std::cin, std::cout, std::cerr, clock, [&](bool Sim) -> d2xx::Driver& {
                   if (Sim) {
                       auto sim = std::make_unique<d2xx::SimDriver>();
                       sim->Add(kelvorn::WiredSimBoard());
                       driver = std::move(sim);
                   } else {
                       driver = std::make_unique<d2xx::LibftdiDriver>();
                   }
                   return *driver;
               },
               STDIN_FILENO, STDOUT_FILENO};
    return kio::Main(argc, argv, io);
}
