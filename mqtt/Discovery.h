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

// Each entity is available while both the bridge and the board are (availability_mode all);
// the device's name carries the serial, read as Latin-1 so that any serial makes valid JSON.
std::vector<Message> Discovery(const Topics& Names, const std::string& DiscoveryPrefix,
                               const std::string& Serial);

}  // namespace kmqtt
