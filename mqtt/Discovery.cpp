#include "mqtt/Discovery.h"

#include <nlohmann/json.hpp>

#include "device/Text.h"
#include "device/clsVostrel.h"

namespace kmqtt {

std::vector<Message> Discovery(const Topics& Names, const std::string& DiscoveryPrefix,
                               const std::string& Serial, bool InputsOnLow) {
    const std::string id = EscapeId(Serial);
    const std::string object = "kelvorn_" + id;
    const std::string serial = kelvorn::Latin1ToUtf8(Serial);
    const nlohmann::json device = {{"identifiers", {object}},
                                   {"name", "Kelvorn " + serial},
                                   {"model", "Kelvorn USB I/O board"},
                                   {"serial_number", serial}};
    const nlohmann::json origin = {{"name", "kelvorn-mqtt"}, {"sw_version", KELVORN_VERSION}};
    nlohmann::json availability = nlohmann::json::array();
    for (const std::string& topic : {Names.Bridge(), Names.Availability(id)})
        availability.push_back({{"topic", topic},
                                {"payload_available", kOnline},
                                {"payload_not_available", kOffline}});
    std::vector<Message> messages;
    const auto add = [&](const char* Component, const std::string& Entity, const std::string& State,
                         nlohmann::json Config) {
        Config["name"] = Entity;
        Config["unique_id"] = object + "_" + Entity;
        Config["state_topic"] = State;
        Config["availability"] = availability;
        Config["availability_mode"] = "all";
        Config["device"] = device;
        Config["origin"] = origin;
        messages.push_back(
            {DiscoveryPrefix + "/" + Component + "/" + object + "/" + Entity + "/config",
             Config.dump()});
    };
    for (int n = 0; n < static_cast<int>(clsVostrel::InputPins.size()); ++n)
        add("binary_sensor", "in" + std::to_string(n), Names.Input(id, n),
            {{"payload_on", InputPayload(!InputsOnLow)}, {"payload_off", InputPayload(InputsOnLow)}});
    for (int n = 0; n < static_cast<int>(clsVostrel::OutputPins.size()); ++n)
        add("switch", "out" + std::to_string(n), Names.Output(id, n),
            {{"command_topic", Names.Set(id, n)},
             {"payload_on", OutputPayload(true)},
             {"payload_off", OutputPayload(false)},
             {"retain", false}});
    return messages;
}

}  // namespace kmqtt
