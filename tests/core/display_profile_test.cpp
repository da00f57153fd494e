#include <gtest/gtest.h>

#include <tuple>

#include <nlohmann/json.hpp>

#include "core/display_profile.hpp"

namespace tavelin {
namespace {

std::string repeat(const std::string& piece, std::size_t count) {
    std::string text;
    while (count-- > 0) text += piece;
    return text;
}

TEST(DisplayProfile, ValidateNameCleansOrRefuses) {
    const std::string combiningE = "e\xCC\x81";                           // e + U+0301
    const std::string thumbsUpMedium = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"; // U+1F44D U+1F3FD
    const std::string swedishFlag = "\xF0\x9F\x87\xB8\xF0\x9F\x87\xAA";    // two regional indicators
    const std::string zeroWidthJoiner = "\xE2\x80\x8D";                    // U+200D, category Cf
    const std::optional<std::string> refused;
    using Case = std::tuple<const char*, std::string, std::optional<std::string>>;
    for (const auto& [what, name, expected] : std::initializer_list<Case>{
             {"trimmed, inner spaces kept", "  Left  desk  ", "Left  desk"},
             {"line breaks trimmed", "\n\r\tDesk\u2028\u00A0\u3000", "Desk"},
             {"80 letters after trimming", "  " + repeat("a", 80) + "\n", repeat("a", 80)},
             {"81 letters", repeat("a", 81), refused}, {"spaces only", " \t\n ", refused},
             {"inner line feed", "De\nsk", refused}, {"DEL", "Desk\x7F", refused}, {"not UTF-8", "Desk\xC3", refused},
             // A combining mark belongs to its letter: 80 characters, 160 scalars.
             {"80 combined letters", repeat(combiningE, 80), repeat(combiningE, 80)},
             {"81 combined letters", repeat(combiningE, 81), refused},
             {"80 emoji with skin tone", repeat(thumbsUpMedium, 80), repeat(thumbsUpMedium, 80)},
             {"81 emoji with skin tone", repeat(thumbsUpMedium, 81), refused},
             {"80 flags", repeat(swedishFlag, 80), repeat(swedishFlag, 80)},
             // The joiner is a format character, so a joined emoji sequence is refused, and so is
             // the joiner hidden between letters.
             {"emoji ZWJ sequence", "Desk \xF0\x9F\x91\xA8" + zeroWidthJoiner + "\xF0\x9F\x91\xA9", refused},
             {"hidden joiner", "De" + zeroWidthJoiner + "sk", refused}, {"byte-order mark", "\uFEFFDesk", refused},
             {"non-Latin text", "\xE6\xA1\x8C\xE9\x9D\xA2", "\xE6\xA1\x8C\xE9\x9D\xA2"}}) {
        EXPECT_EQ(DisplayProfile::validateName(name), expected) << what;
    }
}

const auto someID = *UUID::parse("6F9619FF-8B86-4D11-B42D-00C04FC964FF");

DisplayProfile sampleProfile() {
    DisplayProfile profile(someID, "Desk \u201Cleft\u201D", 2560, 1440, 120, 50, true, true);
    profile.originX = -2560;
    profile.originY = 2147483647;
    profile.mirrorMain = false;
    return profile;
}

TEST(DisplayProfileJSON, WritesExactlyTheStoredFormAndRoundTripsInOrder) {
    const DisplayProfile plain(someID, "Desk", 1920, 1080, 75, 35, false, false);
    EXPECT_EQ(encodeDisplayProfiles({plain, sampleProfile()}),
              R"([{"id":"6F9619FF-8B86-4D11-B42D-00C04FC964FF","name":"Desk","width":1920,"height":1080,)"
              R"("refreshRate":75,"bitrateMbps":35,"hiDPI":false,"enabled":false},)"
              R"({"id":"6F9619FF-8B86-4D11-B42D-00C04FC964FF","name":"Desk )" "\u201Cleft\u201D" R"(",)"
              R"("width":2560,"height":1440,"refreshRate":120,"bitrateMbps":50,"hiDPI":true,"enabled":true,)"
              R"("originX":-2560,"originY":2147483647,"mirrorMain":false}])");
    EXPECT_EQ(encodeDisplayProfiles({}), "[]");
    EXPECT_FALSE(encodeDisplayProfiles({DisplayProfile(someID, "\xFF", 1920, 1080, 75, 35, false, false)}));

    // A stored mode or name may be invalid; reading does not validate it.
    auto invalid = DisplayProfile(UUID::random(), "", INT64_MIN, -3, 0, 999, true, true);
    invalid.originY = INT32_MIN;
    const std::vector<DisplayProfile> profiles{sampleProfile(), invalid};
    EXPECT_EQ(decodeDisplayProfiles(*encodeDisplayProfiles(profiles)), profiles);
}

TEST(DisplayProfileJSON, ReadsAnyKeyOrderNullsAndUnknownKeys) {
    auto expected = DisplayProfile(someID, "Desk", 1920, 1080, 75, 35, false, true);
    expected.mirrorMain = true;
    EXPECT_EQ(decodeDisplayProfiles(
                  R"([{"enabled":true,"hiDPI":false,"bitrateMbps":35,"refreshRate":75,"height":1080,"width":1920,)"
                  R"("name":"Desk","id":"6f9619ff-8b86-4d11-b42d-00c04fc964ff","originX":null,"mirrorMain":true,)"
                  R"("future":[1]}])"),
              std::vector{expected});
}

TEST(DisplayProfileJSON, OneWrongValueFailsTheWholeList) {
    for (const char* json : {"", "{}", "null", "[1]", "[null]", "[[]]", "[{}]", "[", "\xFF"}) {
        EXPECT_FALSE(decodeDisplayProfiles(json)) << json;
    }
    // Each case replaces, or removes when null, one key of an otherwise valid second profile.
    const auto good = nlohmann::json::parse(*encodeDisplayProfiles({sampleProfile()}))[0];
    for (const auto& [key, value] : std::initializer_list<std::pair<const char*, const char*>>{
             {"width", nullptr}, {"id", nullptr}, {"name", nullptr}, {"enabled", nullptr}, {"width", "null"},
             {"width", "1920.5"}, {"width", "1.92e3"}, {"width", "\"1920\""}, {"height", "9223372036854775808"},
             {"refreshRate", "true"}, {"bitrateMbps", "[35]"}, {"hiDPI", "1"}, {"enabled", "\"true\""}, {"name", "42"},
             {"id", "\"not-a-uuid\""}, {"id", "7"}, {"originX", "2147483648"}, {"originY", "-2147483649"},
             {"originX", "0.5"}, {"mirrorMain", "0"}}) {
        auto changed = good;
        if (value) changed[key] = nlohmann::json::parse(value);
        else changed.erase(key);
        const auto list = nlohmann::json::array({good, changed}).dump();
        EXPECT_FALSE(decodeDisplayProfiles(list)) << list;
    }
}

} // namespace
} // namespace tavelin
