#include <gtest/gtest.h>

#include <set>

#include "core/uuid.hpp"

namespace tavelin {
namespace {

TEST(UUID, RandomIsVersion4AndDistinct) {
    std::set<UUID> seen;
    for (int i = 0; i < 256; ++i) {
        const auto uuid = UUID::random();
        EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes()[8] & 0xC0, 0x80);
        const auto text = uuid.uuidString();
        EXPECT_EQ(text[14], '4');
        EXPECT_NE(text.find_first_of("89AB", 19), std::string::npos);
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 256u);
}

TEST(UUID, TextIsCanonicalUpperCaseAndRoundTrips) {
    const auto uuid = UUID::version4({0x6f, 0x96, 0x19, 0xff, 0x8b, 0x86, 0x4d, 0x11, 0xb4, 0x2d, 0x00,
                                      0xc0, 0x4f, 0xc9, 0x64, 0xff});
    EXPECT_EQ(uuid.uuidString(), "6F9619FF-8B86-4D11-B42D-00C04FC964FF");
    EXPECT_EQ(UUID::parse("6f9619ff-8b86-4d11-b42d-00c04fc964ff"), uuid);
    EXPECT_EQ(UUID::parse(uuid.uuidString()), uuid);
    EXPECT_EQ(UUID().uuidString(), "00000000-0000-0000-0000-000000000000");
}

TEST(UUID, ParseRefusesAnythingButTheCanonicalForm) {
    for (const char* text : {
             "",
             "6F9619FF8B864D11B42D00C04FC964FF",        // no hyphens
             "{6F9619FF-8B86-4D11-B42D-00C04FC964FF}",  // braces
             " 6F9619FF-8B86-4D11-B42D-00C04FC964FF",   // leading space
             "6F9619FF-8B86-4D11-B42D-00C04FC964F",     // one digit short
             "6F9619FF-8B86-4D11-B42D-00C04FC964FFF",   // one digit long
             "6F9619FF-8B864-D11-B42D-00C04FC964FF",    // hyphen moved
             "6F9619FG-8B86-4D11-B42D-00C04FC964FF",    // not hex
             "6F9619FF-8B86-4D11-B42D-00C04FC964F\xC3", // not ASCII
         }) {
        EXPECT_FALSE(UUID::parse(text)) << text;
    }
}

} // namespace
} // namespace tavelin
