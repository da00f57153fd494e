#include <gtest/gtest.h>

#include "core/mouse_packet.hpp"

namespace tavelin {
namespace {

// What each field decodes to is checked where the input uses it (tests/input).
TEST(MousePacket, AcceptsOnlyValidPackets) {
    for (const auto& [json, decodes] : std::initializer_list<std::pair<const char*, bool>>{
             {R"({"type":"heartbeat"})", true}, {R"({"type":"release"})", true},
             // "release" and "heartbeat" ignore out-of-range values but still need proper types.
             {R"({"type":"release","x":7,"button":9})", true}, {R"({"type":"heartbeat","x":"left"})", false},
             {R"({"type":"move","x":0,"y":1})", true}, {R"({"type":"move","x":1.0,"y":0})", true},
             {R"({"type":"move","x":1.0001,"y":0.5})", false}, {R"({"type":"move","x":-0.0001,"y":0.5})", false},
             {R"({"type":"move","x":0.5,"y":null})", false}, {R"({"type":"move","x":"0.5","y":0.5})", false},
             {R"({"type":"move","x":1e400,"y":0.5})", false}, {R"({"type":"move","x":0.5,"y":0.5,"shift":1})", false},
             {R"({"type":"move","x":0.5,"y":0.5,"shift":true,"meta":null,"extra":[1]})", true},
             {R"({"type":"down","x":0.5,"y":0.5,"button":2})", true}, {R"({"type":"up","x":0.5,"y":0.5,"button":0})", true},
             {R"({"type":"down","x":0.5,"y":0.5,"button":3})", false}, {R"({"type":"up","x":0.5,"y":0.5})", false},
             {R"({"type":"down","x":0.5,"y":0.5,"button":-1})", false},
             {R"({"type":"down","x":0.5,"y":0.5,"button":1.5})", false},
             {R"({"type":"down","x":0.5,"y":0.5,"button":18446744073709551615})", false},
             {R"({"type":"scroll","x":0.5,"y":0.5,"dx":-2000,"dy":2000})", true},
             {R"({"type":"scroll","x":0.5,"y":0.5,"dx":0,"dy":2000.5})", false},
             {R"({"type":"scroll","x":0.5,"y":0.5,"dx":-2000.5,"dy":0})", false},
             {R"({"type":"scroll","x":0.5,"y":0.5,"dy":10})", false}, {R"({"type":"click","x":0.5,"y":0.5})", false},
             {R"({"type":"MOVE","x":0.5,"y":0.5})", false}, {R"({"x":0.5,"y":0.5})", false}, {R"({"type":4})", false},
             {R"(["move",0.5,0.5])", false}, {R"({"type":"move","x":0.5,"y":0.5)", false}, {"", false}}) {
        EXPECT_EQ(MousePacket::decode(json).has_value(), decodes) << json;
    }
}

TEST(MousePacket, SizeLimitIsOnTheRawBytes) {
    const auto message = [](std::size_t size) {
        const std::string head = R"({"type":"heartbeat","pad":")";
        return head + std::string(size - head.size() - 2, 'a') + R"("})";
    };
    EXPECT_TRUE(MousePacket::decode(message(1024)));
    EXPECT_FALSE(MousePacket::decode(message(1025)));
    // Trailing white space counts too.
    EXPECT_FALSE(MousePacket::decode(R"({"type":"heartbeat"})" + std::string(1010, ' ')));
}

} // namespace
} // namespace tavelin
