// A bridge's index (Topics.h), in JSON: apart from Topics.cpp, which has no dependencies.
#include <nlohmann/json.hpp>

#include "mqtt/Topics.h"

namespace kmqtt {

std::string IndexPayload(const Index& I) {
    return nlohmann::json{{"boards", I.Ids}, {"heartbeat", I.Heartbeat}}.dump();
}

std::optional<Index> ParseIndex(std::string_view Payload) {
    const nlohmann::json doc = nlohmann::json::parse(Payload, nullptr, false);
    if (!doc.is_object()) return std::nullopt;
    const auto boards = doc.find("boards");
    const auto heartbeat = doc.find("heartbeat");
    if (boards == doc.end() || !boards->is_array()) return std::nullopt;
    Index index;
    for (const nlohmann::json& id : *boards) {
        if (!id.is_string()) return std::nullopt;
        index.Ids.push_back(id.get<std::string>());
    }
    if (heartbeat != doc.end()) {
        if (!heartbeat->is_number_unsigned() || heartbeat->get<std::uint64_t>() > 3600)
            return std::nullopt;
        index.Heartbeat = heartbeat->get<int>();
    }
    return index;
}

}  // namespace kmqtt
