// The four commands, once the command line has been parsed.
#pragma once

#include <optional>
#include <string>

#include "cli/KelvornIo.h"

namespace kio {

struct Options {
    std::string Serial;  // "" = the one board attached
    bool Json = false;
    Micros Interval = 10000;         // watch
    std::optional<Micros> Duration;  // watch; none = until stopped
    std::string Script = "-";        // run; "-" = standard input
    bool VcdTrace = false;           // watch: a VCD trace instead of the lines
    std::optional<std::string> VcdFile;  // run: the script's trace also goes there, as VCD
};

int List(d2xx::Driver& Driver, const Options& Opt, Io& Io);
int Read(d2xx::Driver& Driver, const Options& Opt, Io& Io);
int Watch(d2xx::Driver& Driver, const Options& Opt, Io& Io);
// Reads and parses the script before it asks for the driver; a driver that cannot be had (null)
// has been said on Io.Err.
int Run(const std::function<d2xx::Driver*()>& Driver, const Options& Opt, Io& Io);

}  // namespace kio
