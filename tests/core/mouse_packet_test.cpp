#include <gtest/gtest.h>

#include <string>

#include "core/mouse_packet.hpp"

namespace tavelin {
namespace {

struct DecodeCase {
    const char* json;
    bool decodes;
};

class MousePacketDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(MousePacketDecode, AcceptsOnlyValidPackets) {
    EXPECT_EQ(MousePacket::decode(GetParam().json).has_value(), GetParam().decodes) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MousePacketDecode,
    testing::Values(
        DecodeCase{R"({"type":"heartbeat"})", true}, DecodeCase{R"({"type":"release"})", true},
        // "release" and "heartbeat" ignore out-of-range values but still need proper types.
        DecodeCase{R"({"type":"release","x":7,"button":9})", true},
        DecodeCase{R"({"type":"heartbeat","x":"left"})", false},
        DecodeCase{R"({"type":"move","x":0,"y":1})", true},
        DecodeCase{R"({"type":"move","x":1.0,"y":0})", true},
        DecodeCase{R"({"type":"move","x":1.0001,"y":0.5})", false},
        DecodeCase{R"({"type":"move","x":-0.0001,"y":0.5})", false},
        DecodeCase{R"({"type":"move","x":0.5})", false},
        DecodeCase{R"({"type":"move","x":0.5,"y":null})", false},
        DecodeCase{R"({"type":"move","x":"0.5","y":0.5})", false},
        DecodeCase{R"({"type":"move","x":1e400,"y":0.5})", false},
        DecodeCase{R"({"type":"move","x":0.5,"y":0.5,"shift":true,"meta":null,"extra":[1]})", true},
        DecodeCase{R"({"type":"move","x":0.5,"y":0.5,"shift":1})", false},
        DecodeCase{R"({"type":"down","x":0.5,"y":0.5,"button":2})", true},
        DecodeCase{R"({"type":"up","x":0.5,"y":0.5,"button":0})", true},
        DecodeCase{R"({"type":"down","x":0.5,"y":0.5,"button":3})", false},
        DecodeCase{R"({"type":"down","x":0.5,"y":0.5,"button":-1})", false},
        DecodeCase{R"({"type":"down","x":0.5,"y":0.5,"button":1.5})", false},
        DecodeCase{R"({"type":"down","x":0.5,"y":0.5,"button":18446744073709551615})", false},
        DecodeCase{R"({"type":"up","x":0.5,"y":0.5})", false},
        DecodeCase{R"({"type":"scroll","x":0.5,"y":0.5,"dx":0,"dy":2000})", true},
        DecodeCase{R"({"type":"scroll","x":0.5,"y":0.5,"dx":-2000,"dy":0})", true},
        DecodeCase{R"({"type":"scroll","x":0.5,"y":0.5,"dx":0,"dy":2000.5})", false},
        DecodeCase{R"({"type":"scroll","x":0.5,"y":0.5,"dx":-2000.5,"dy":0})", false},
        DecodeCase{R"({"type":"scroll","x":0.5,"y":0.5,"dy":10})", false},
        DecodeCase{R"({"type":"click","x":0.5,"y":0.5})", false},
        DecodeCase{R"({"type":"MOVE","x":0.5,"y":0.5})", false},
        DecodeCase{R"({"x":0.5,"y":0.5})", false}, DecodeCase{R"({"type":null})", false},
        DecodeCase{R"({"type":4})", false}, DecodeCase{R"(["move",0.5,0.5])", false},
        DecodeCase{R"({"type":"move","x":0.5,"y":0.5)", false}, DecodeCase{"", false}));

TEST(MousePacket, DecodesEveryField) {
    const auto packet =
        MousePacket::decode(R"({"type":"scroll","x":0.25,"y":0.75,"dx":-3.5,"dy":12,"shift":true,"control":false,"alt":true,"meta":false})");
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->type, "scroll");
    EXPECT_EQ(packet->x, 0.25);
    EXPECT_EQ(packet->y, 0.75);
    EXPECT_EQ(packet->dx, -3.5);
    EXPECT_EQ(packet->dy, 12.0);
    EXPECT_EQ(packet->shift, true);
    EXPECT_EQ(packet->control, false);
    EXPECT_EQ(packet->alt, true);
    EXPECT_EQ(packet->meta, false);
    EXPECT_FALSE(packet->button);
}

TEST(MousePacket, SizeLimitIsOnTheRawBytes) {
    const std::string head = R"({"type":"heartbeat","pad":")";
    const std::string tail = R"("})";
    const auto message = [&](std::size_t size) { return head + std::string(size - head.size() - tail.size(), 'a') + tail; };
    EXPECT_TRUE(MousePacket::decode(message(1024)));
    EXPECT_FALSE(MousePacket::decode(message(1025)));
    // Trailing white space counts too.
    EXPECT_FALSE(MousePacket::decode(R"({"type":"heartbeat"})" + std::string(1010, ' ')));
}

} // namespace
} // namespace tavelin
