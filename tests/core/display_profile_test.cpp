#include <gtest/gtest.h>

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/display_profile.hpp"
#include "tests/support/case_name.hpp"

namespace tavelin {
namespace {

std::string repeat(std::string_view piece, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += piece;
    return text;
}

struct NameCase {
    const char* what;
    std::string name;
    std::optional<std::string> expected;
};

class ValidateName : public testing::TestWithParam<NameCase> {};

TEST_P(ValidateName, CleansOrRefuses) { EXPECT_EQ(DisplayProfile::validateName(GetParam().name), GetParam().expected); }

const std::string combiningE = "e\xCC\x81";                                   // e + U+0301
const std::string thumbsUpMedium = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";          // U+1F44D U+1F3FD
const std::string swedishFlag = "\xF0\x9F\x87\xB8\xF0\x9F\x87\xAA";             // two regional indicators
const std::string zeroWidthJoiner = "\xE2\x80\x8D";                             // U+200D, category Cf
const std::string family = "\xF0\x9F\x91\xA8" + zeroWidthJoiner + "\xF0\x9F\x91\xA9"; // man ZWJ woman

INSTANTIATE_TEST_SUITE_P(
    Cases, ValidateName,
    testing::Values(
        NameCase{"trimmed", "  Desk  ", "Desk"},
        NameCase{"inner spaces kept", " Left  desk ", "Left  desk"},
        NameCase{"line breaks trimmed", "\n\r\tDesk\u2028\u00A0\u3000", "Desk"},
        NameCase{"spaces only", " \t\n ", std::nullopt},
        NameCase{"empty", "", std::nullopt},
        NameCase{"80 letters", repeat("a", 80), repeat("a", 80)},
        NameCase{"81 letters", repeat("a", 81), std::nullopt},
        NameCase{"80 letters after trimming", "  " + repeat("a", 80) + "  ", repeat("a", 80)},
        NameCase{"inner tab", "De\tsk", std::nullopt},
        NameCase{"inner line feed", "De\nsk", std::nullopt},
        NameCase{"DEL", "Desk\x7F", std::nullopt},
        // A combining mark belongs to its letter: 80 characters, 160 scalars.
        NameCase{"80 combined letters", repeat(combiningE, 80), repeat(combiningE, 80)},
        NameCase{"81 combined letters", repeat(combiningE, 81), std::nullopt},
        NameCase{"80 emoji with skin tone", repeat(thumbsUpMedium, 80), repeat(thumbsUpMedium, 80)},
        NameCase{"81 emoji with skin tone", repeat(thumbsUpMedium, 81), std::nullopt},
        NameCase{"80 flags", repeat(swedishFlag, 80), repeat(swedishFlag, 80)},
        // The joiner is a format character, so a joined emoji sequence is refused, and so is
        // the joiner alone or hidden between letters.
        NameCase{"emoji ZWJ sequence", "Desk " + family, std::nullopt},
        NameCase{"lone zero-width joiner", zeroWidthJoiner, std::nullopt},
        NameCase{"hidden joiner", "De" + zeroWidthJoiner + "sk", std::nullopt},
        NameCase{"right-to-left override", "Desk\u202E", std::nullopt},
        NameCase{"byte-order mark", "\uFEFFDesk", std::nullopt},
        NameCase{"non-Latin text", "\xE6\xA1\x8C\xE9\x9D\xA2", "\xE6\xA1\x8C\xE9\x9D\xA2"},
        NameCase{"not UTF-8", "Desk\xC3", std::nullopt}),
    support::CaseName());

const auto someID = *UUID::parse("6F9619FF-8B86-4D11-B42D-00C04FC964FF");

DisplayProfile sampleProfile() {
    DisplayProfile profile(someID, "Desk \xE2\x80\x9Cleft\xE2\x80\x9D", 2560, 1440, 120, 50, true, true);
    profile.originX = -2560;
    profile.originY = 2147483647;
    profile.mirrorMain = false;
    return profile;
}

TEST(DisplayProfile, ValidatedUsesTheConfigurationRules) {
    auto profile = sampleProfile();
    EXPECT_EQ(profile.validated(), DisplayConfiguration(2560, 1440, 120, 50, true));
    profile.width = 1366;
    profile.height = 768;
    try {
        profile.validated();
        FAIL();
    } catch (const ConfigurationError& error) {
        EXPECT_EQ(error.kind(), ConfigurationError::Kind::invalidHiDPI);
    }
}

TEST(DisplayProfileJSON, WritesExactlyTheStoredForm) {
    DisplayProfile plain(*UUID::parse("6f9619ff-8b86-4d11-b42d-00c04fc964ff"), "Desk", 1920, 1080, 75, 35, false, false);
    EXPECT_EQ(encodeDisplayProfiles({plain}),
              R"([{"id":"6F9619FF-8B86-4D11-B42D-00C04FC964FF","name":"Desk","width":1920,"height":1080,)"
              R"("refreshRate":75,"bitrateMbps":35,"hiDPI":false,"enabled":false}])");
    const auto written = nlohmann::json::parse(*encodeDisplayProfiles({sampleProfile()}));
    EXPECT_EQ(written[0]["originX"], -2560);
    EXPECT_EQ(written[0]["originY"], 2147483647);
    EXPECT_EQ(written[0]["mirrorMain"], false);
    EXPECT_EQ(encodeDisplayProfiles({}), "[]");
}

TEST(DisplayProfileJSON, RoundTripsInOrder) {
    auto second = DisplayProfile(UUID::random(), "Second", 640, 480, 30, 5, false, false);
    second.originY = -7;
    // A stored mode may be out of bounds; reading does not validate it.
    auto invalid = DisplayProfile(UUID::random(), "Odd", 1921, -3, 0, 999, true, true);
    const std::vector<DisplayProfile> profiles{sampleProfile(), second, invalid};
    EXPECT_EQ(decodeDisplayProfiles(*encodeDisplayProfiles(profiles)), profiles);
}

TEST(DisplayProfileJSON, EncodingFailsOnANameThatIsNotUTF8) {
    auto profile = sampleProfile();
    profile.name = "\xFF";
    EXPECT_FALSE(encodeDisplayProfiles({profile}));
}

TEST(DisplayProfileJSON, ReadsAnyKeyOrderNullsAndUnknownKeys) {
    const auto profiles = decodeDisplayProfiles(
        R"([{"enabled":true,"hiDPI":false,"bitrateMbps":35,"refreshRate":75,"height":1080,"width":1920,)"
        R"("name":"Desk","id":"6f9619ff-8b86-4d11-b42d-00c04fc964ff","originX":null,"mirrorMain":true,"future":[1]}])");
    ASSERT_TRUE(profiles);
    ASSERT_EQ(profiles->size(), 1u);
    EXPECT_EQ(profiles->front().id(), someID);
    EXPECT_FALSE(profiles->front().originX);
    EXPECT_FALSE(profiles->front().originY);
    EXPECT_EQ(profiles->front().mirrorMain, true);
    // Saving it again writes no key for the missing origin.
    EXPECT_EQ(encodeDisplayProfiles(*profiles)->find("origin"), std::string::npos);
    EXPECT_EQ(decodeDisplayProfiles("[]"), std::vector<DisplayProfile>{});
}

class DisplayProfileJSONFailure : public testing::TestWithParam<std::pair<const char*, const char*>> {};

// Each case replaces one key of an otherwise valid second profile; the whole list fails.
TEST_P(DisplayProfileJSONFailure, FailsTheWholeList) {
    auto object = nlohmann::json::parse(*encodeDisplayProfiles({sampleProfile()}))[0];
    const auto [key, value] = GetParam();
    if (std::string(value) == "absent") {
        object.erase(key);
    } else {
        object[key] = nlohmann::json::parse(value);
    }
    const auto good = nlohmann::json::parse(*encodeDisplayProfiles({sampleProfile()}))[0];
    const auto list = nlohmann::json::array({good, object}).dump();
    EXPECT_FALSE(decodeDisplayProfiles(list)) << list;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, DisplayProfileJSONFailure,
    testing::Values(std::pair{"width", "absent"}, std::pair{"id", "absent"}, std::pair{"name", "absent"},
                    std::pair{"enabled", "absent"}, std::pair{"width", "null"}, std::pair{"width", "1920.5"},
                    std::pair{"width", "1.92e3"}, std::pair{"width", "\"1920\""},
                    std::pair{"height", "9223372036854775808"}, std::pair{"refreshRate", "true"},
                    std::pair{"bitrateMbps", "[35]"}, std::pair{"hiDPI", "1"}, std::pair{"enabled", "\"true\""},
                    std::pair{"name", "42"}, std::pair{"id", "\"not-a-uuid\""}, std::pair{"id", "7"},
                    std::pair{"originX", "2147483648"}, std::pair{"originY", "-2147483649"},
                    std::pair{"originX", "0.5"}, std::pair{"mirrorMain", "0"}));

TEST(DisplayProfileJSON, RejectsWhatIsNotAProfileArray) {
    for (const char* json : {"", "{}", "null", "[1]", "[null]", "[[]]", "[{}]", "[", "\xFF"}) {
        EXPECT_FALSE(decodeDisplayProfiles(json)) << json;
    }
    EXPECT_TRUE(decodeDisplayProfiles(R"([{"id":"6F9619FF-8B86-4D11-B42D-00C04FC964FF","name":"","width":-9223372036854775808,)"
                                      R"("height":0,"refreshRate":0,"bitrateMbps":0,"hiDPI":false,"enabled":false,)"
                                      R"("originX":-2147483648,"originY":2147483647}])"));
}

} // namespace
} // namespace tavelin
