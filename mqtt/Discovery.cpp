#include "mqtt/Discovery.h"

#include <nlohmann/json.hpp>

#include "device/Text.h"
#include "device/clsVostrel.h"

namespace kmqtt {

std::vector<Message> Discovery(const Topics& Names, const std::string& DiscoveryPrefix,
                               const std::string& Serial) {
    const std::string id = EscapeId(Serial);
    const std::string object = "kelvorn_" + id;
    const nlohmann::json device = {{"identifiers", {object}},
                                   {"name", "Kelvorn " + kelvorn::Latin1ToUtf8(Serial)},
                                   {"model", "Kelvorn USB I/O board"}};
    const nlohmann::json availability = {{{"topic", Names.Bridge()}},
                                         {{"topic", Names.Availability(id)}}};
    std::vector<Message> messages;
    const auto add = [&](const char* Component, const std::string& Entity, const std::string& State,
                         nlohmann::json Config) {
        Config["name"] = Entity;
        Config["unique_id"] = object + "_" + Entity;
        Config["state_topic"] = State;
        Config["availability"] = availability;
        Config["availability_mode"] = "all";
        Config["payload_available"] = kOnline;
        Config["payload_not_available"] = kOffline;
        Config["device"] = device;
        messages.push_back(
            {DiscoveryPrefix + "/" + Component + "/" + object + "/" + Entity + "/config",
             Config.dump()});
    };
    for (int n = 0; n < static_cast<int>(clsVostrel::InputPins.size()); ++n)
        add("binary_sensor", "in" + std::to_string(n), Names.Input(id, n),
            {{"payload_on", InputPayload(true)}, {"payload_off", InputPayload(false)}});
    for (int n = 0; n < static_cast<int>(clsVostrel::OutputPins.size()); ++n)
        add("switch", "out" + std::to_string(n), Names.Output(id, n),
            {{"command_topic", Names.Output(id, n) + "/set"},
             {"payload_on", OutputPayload(true)},
             {"payload_off", OutputPayload(false)},
             {"retain", false}});
    return messages;
}

}  // namespace kmqtt
