// The topic contract's pure parts: the <id> escaping and the parsing of commands.
#include "mqtt/Topics.h"

#include <gtest/gtest.h>

#include <regex>

namespace kmqtt {
namespace {

TEST(Topics, EscapesEveryByteOutsideTheIdAlphabet) {
    const std::pair<std::string, std::string> rows[] = {
        {"A1B2C3", "A1B2C3"},
        {"az-AZ09", "az-AZ09"},
        {"_", "_5F"},
        {"/", "_2F"},
        {"K/#+_\xE9 .", "K_2F_23_2B_5F_E9_20_2E"},
        {std::string("a\0b", 3), "a_00b"},
        {"\x7F\xFF", "_7F_FF"},
    };
    for (const auto& [serial, id] : rows) {
        EXPECT_EQ(EscapeId(serial), id) << serial;
        EXPECT_EQ(UnescapeId(id), serial) << id;
    }
    // Ids that no serial gives: a client passes them over.
    for (const char* id : {"A/B", "A B", "_2f", "_2", "_", "A_", "_G0", "_41", "_2D", "_5"})
        EXPECT_EQ(UnescapeId(id), std::nullopt) << id;
}

TEST(Topics, ReadsTheStateTopicsAndTheirWordsExactly) {
    using K = State::Kind;
    struct Row {
        std::string Topic;
        std::optional<K> What;  // nothing: not state
        std::string Level;
        int N = 0;
    };
    const Row rows[] = {
        {"k/A1/availability", K::Availability, "A1"},
        {"k/A1/bridge", K::HeldBy, "A1"},
        {"k/A1/in0", K::Input, "A1"},
        {"k/A1/in4", K::Input, "A1", 4},
        {"k/A1/out2", K::Output, "A1", 2},
        {"k/bridge/rig/availability", K::BridgeAvailability, "rig"},
        {"k/bridge/availability", K::Availability, "bridge"},  // a board called "bridge"
        {"k/bridge/in3", K::Input, "bridge", 3},
        {"k/A1/in5", {}, ""},
        {"k/A1/out3", {}, ""},
        {"k/A1/in", {}, ""},
        {"k/A1/in00", {}, ""},
        {"k/A1/out0/set", {}, ""},
        {"k/A1/out0/pulse", {}, ""},
        {"k/A1/Availability", {}, ""},
        {"k/bridge/rig/state", {}, ""},
        {"k/bridge//availability", {}, ""},
        {"k/x/rig/availability", {}, ""},
        {"k//in0", {}, ""},
        {"kk/A1/in0", {}, ""},
        {"k/A1", {}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Topic);
        const auto state = ParseState("k", row.Topic);
        ASSERT_EQ(state.has_value(), row.What.has_value());
        if (!state) continue;
        EXPECT_EQ(state->What, *row.What);
        EXPECT_EQ(state->Level, row.Level);
        EXPECT_EQ(state->N, row.N);
    }
    EXPECT_EQ(ParseState("site/k", "site/k/A1/out1")->N, 1);

    struct Words {
        std::string Payload;
        std::optional<bool> Availability, Input, Output;
    };
    const Words words[] = {
        {"Online", true, {}, {}},  {"Offline", false, {}, {}}, {"high", {}, true, {}},
        {"low", {}, false, {}},    {"ON", {}, {}, true},       {"OFF", {}, {}, false},
        {"online", {}, {}, {}},    {"High", {}, {}, {}},       {"on", {}, {}, {}},
        {"maybe", {}, {}, {}},     {"", {}, {}, {}},           {"ON ", {}, {}, {}},
    };
    for (const Words& w : words) {
        EXPECT_EQ(ParseAvailability(w.Payload), w.Availability) << w.Payload;
        EXPECT_EQ(ParseInput(w.Payload), w.Input) << w.Payload;
        EXPECT_EQ(ParseOutput(w.Payload), w.Output) << w.Payload;
    }
}

TEST(Topics, ParsesCommandsAndSaysWhyOthersAreIgnored) {
    using K = Command::Kind;
    struct Row {
        std::string Topic, Payload;
        std::optional<K> What;  // nothing: ignored
        int Output = 0, Millis = 0;
        std::string Id = "A1";
    };
    const char* topic = "not an output's set or pulse";
    const Row rows[] = {
        {"k/A1/out0/set", "ON", K::On},
        {"k/A1/out1/set", "on", K::On, 1},
        {"k/A1/out2/set", "1", K::On, 2},
        {"k/A1/out0/set", "oFf", K::Off},
        {"k/A1/out0/set", "TOGGLE", K::Toggle},
        {"k/A1/out0/set", "", K::Republish},
        {"k/A1/out2/pulse", "1", K::Pulse, 2, 1},
        {"k/A1/out0/pulse", "60000", K::Pulse, 0, 60000},
        {"k/A1/out0/pulse", "00250", K::Pulse, 0, 250},
        {"k/_2F_5F/out1/set", "OFF", K::Off, 1, 0, "_2F_5F"},
        {"k/A1/out0/set", "ONN", {}},
        {"k/A1/out0/set", " ON", {}},
        {"k/A1/out0/set", "2", {}},
        {"k/A1/out0/pulse", "0", {}},
        {"k/A1/out0/pulse", "60001", {}},
        {"k/A1/out0/pulse", "-5", {}},
        {"k/A1/out0/pulse", "1.5", {}},
        {"k/A1/out0/pulse", "100000", {}},
        {"k/A1/out3/set", "ON", {}},
        {"k/A1/out0/sets", "ON", {}},
        {"k/A1/out0/set/x", "ON", {}},
        {"k/A1/in0/set", "ON", {}},
        {"k//out0/set", "ON", {}},
        {"kk/A1/out0/set", "ON", {}},
        {"k/A1", "ON", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Topic + " '" + row.Payload + "'");
        const Parsed p = ParseCommand("k", row.Topic, row.Payload);
        ASSERT_EQ(p.Ok.has_value(), row.What.has_value()) << p.Why;
        if (!p.Ok) {
            const bool command =
                std::regex_match(row.Topic, std::regex("k/[^/]+/out[0-2]/(set|pulse)"));
            EXPECT_EQ(p.Why == topic, !command) << p.Why;
            continue;
        }
        EXPECT_EQ(p.Ok->What, *row.What);
        EXPECT_EQ(p.Ok->Output, row.Output);
        EXPECT_EQ(p.Ok->Millis, row.Millis);
        EXPECT_EQ(p.Ok->Id, row.Id);
    }
    EXPECT_EQ(ParseCommand("site/k", "site/k/A1/out1/pulse", "5").Ok->Millis, 5);
}

}  // namespace
}  // namespace kmqtt
