// Home Assistant's MQTT discovery for one board: a binary sensor per input and a switch per
// output, each retained at <discovery prefix>/<component>/kelvorn_<id>/<in|out><N>/config.
#pragma once

#include <string>
#include <vector>

#include "mqtt/Topics.h"

namespace kmqtt {

struct Message {
    std::string Topic;
    std::string Payload;
};

// Each entity is available while both the bridge and the board are Online (availability_mode
// all; each item of the list carries its own payloads, which Home Assistant compares exactly). The
// device's name and serial_number carry the serial, read as Latin-1 so that any serial makes valid
// JSON; origin names this program and its version. An input is on while it is high, or with
// InputsOnLow while it is low.
std::vector<Message> Discovery(const Topics& Names, const std::string& DiscoveryPrefix,
                               const std::string& Serial, bool InputsOnLow);

}  // namespace kmqtt
