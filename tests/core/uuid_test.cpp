#include <gtest/gtest.h>

#include <set>

#include "core/uuid.hpp"

namespace tavelin {
namespace {

TEST(UUID, Version4ForcesOnlyTheVersionAndVariantBits) {
    UUID::Bytes ones;
    ones.fill(0xFF);
    EXPECT_EQ(UUID::version4(ones).uuidString(), "FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF");
    EXPECT_EQ(UUID::version4({}).uuidString(), "00000000-0000-4000-8000-000000000000");
    std::set<UUID> seen;
    for (int i = 0; i < 256; ++i) {
        const auto uuid = UUID::random();
        EXPECT_EQ(uuid, UUID::version4(uuid.bytes()));
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 256u);
}

TEST(UUID, ParsesOnlyTheCanonicalFormInEitherCase) {
    const auto uuid = UUID::parse("6f9619ff-8b86-4d11-b42d-00c04fc964ff");
    ASSERT_TRUE(uuid);
    EXPECT_EQ(uuid->uuidString(), "6F9619FF-8B86-4D11-B42D-00C04FC964FF");
    EXPECT_EQ(UUID::parse(uuid->uuidString()), uuid);
    for (const char* text : {"", "6F9619FF8B864D11B42D00C04FC964FF", "{6F9619FF-8B86-4D11-B42D-00C04FC964FF}",
                             " 6F9619FF-8B86-4D11-B42D-00C04FC964FF", "6F9619FF-8B86-4D11-B42D-00C04FC964F",
                             "6F9619FF-8B86-4D11-B42D-00C04FC964FFF", "6F9619FF-8B864-D11-B42D-00C04FC964FF",
                             "6F9619FG-8B86-4D11-B42D-00C04FC964FF", "6F9619FF-8B86-4D11-B42D-00C04FC964F\xC3"}) {
        EXPECT_FALSE(UUID::parse(text)) << text;
    }
}

} // namespace
} // namespace tavelin
