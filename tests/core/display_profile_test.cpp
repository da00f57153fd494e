#include <gtest/gtest.h>

#include <tuple>

#include <nlohmann/json.hpp>

#include "core/display_configuration.hpp"
#include "core/display_list_store.hpp"
#include "core/display_profile.hpp"
#include "core/uuid.hpp"

namespace tavelin {
namespace {

using Kind = ConfigurationError::Kind;

TEST(DisplayConfiguration, KeepsValidValuesOrReportsTheFirstBrokenRule) {
    struct Case { std::int64_t width, height, refreshRate, bitrateMbps; bool hiDPI; std::optional<Kind> expected; };
    const std::optional<Kind> ok, resolution = Kind::invalidResolution, rate = Kind::invalidRefreshRate,
                              bitrate = Kind::invalidBitrate, hiDPI = Kind::invalidHiDPI;
    for (const auto& c : std::initializer_list<Case>{
             {640, 480, 30, 5, false, ok}, {7680, 4320, 240, 150, false, ok}, {2732, 2048, 60, 35, true, ok},
             {1366, 768, 60, 35, false, ok}, {638, 480, 60, 35, false, resolution},
             {7682, 4320, 60, 35, false, resolution}, {640, 478, 60, 35, false, resolution},
             {640, 4322, 60, 35, false, resolution},
             // Odd sizes are a resolution problem even with HiDPI on; each rule is reported
             // before the later ones that also break.
             {1921, 1080, 29, 4, true, resolution}, {1920, 1081, 60, 35, true, resolution},
             {1920, 1080, 29, 4, false, rate}, {1920, 1080, 241, 151, false, rate}, {1920, 1080, 60, 4, false, bitrate},
             {1366, 768, 60, 151, true, bitrate}, {1366, 768, 60, 35, true, hiDPI}, {1920, 1082, 60, 35, true, hiDPI}}) {
        EXPECT_EQ(DisplayConfiguration::check(c.width, c.height, c.refreshRate, c.bitrateMbps, c.hiDPI), c.expected)
            << c.width << "x" << c.height << " " << c.refreshRate << " Hz " << c.bitrateMbps;
    }
    // The other sentences are checked word for word where the model reports them (tests/app).
    EXPECT_STREQ(ConfigurationError(Kind::invalidHiDPI).what(), "HiDPI needs dimensions divisible by four.");
}

TEST(DisplayConfiguration, FittedVideoSizeKeepsTheAspectOnEvenSides) {
    struct Case { std::int64_t width, height, sourceWidth, sourceHeight; VideoSize expected; };
    for (const auto& c : std::initializer_list<Case>{
             // A source without area keeps the configured size.
             {1920, 1080, 0, 1080, {1920, 1080}}, {1920, 1080, 1920, 0, {1920, 1080}}, {1920, 1080, -5, 1080, {1920, 1080}},
             {1920, 1080, 1280, 1024, {1350, 1080}}, {1920, 1080, 1, 1, {1080, 1080}},
             // A side that would shrink below two pixels stays at two.
             {1920, 1080, 100000, 1, {1920, 2}},
             // 1366 x 768 into 1280 x 720: 1280 x 719.65 rounds to the even 720.
             {1280, 720, 1366, 768, {1280, 720}},
             // Half of 1001 is 500.5: away from zero gives 1002, where half-to-even would give 1000.
             {1920, 1080, 1001, 1080, {1002, 1080}},
             // An odd scaled side rounds to the nearest even number: 960 * 333/1000 = 319.68 -> 320.
             {960, 640, 1000, 333, {960, 320}},
             // Huge sources must not overflow the arithmetic.
             {7680, 4320, INT64_MAX, INT64_MAX, {4320, 4320}}}) {
        const DisplayConfiguration mode(c.width, c.height, 60, 35, false);
        const auto fitted = mode.fittedVideoSize(c.sourceWidth, c.sourceHeight);
        EXPECT_EQ(fitted, c.expected) << c.sourceWidth << "x" << c.sourceHeight << " gave " << fitted.width << "x"
                                      << fitted.height;
    }
}

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

TEST(DisplayProfileJSON, WritesExactlyTheStoredFormAndReadsItBackInAnyKeyOrder) {
    const DisplayProfile plain(someID, "Desk", 1920, 1080, 75, 35, false, false);
    EXPECT_EQ(encodeDisplayProfiles({plain, sampleProfile()}),
              R"([{"id":"6F9619FF-8B86-4D11-B42D-00C04FC964FF","name":"Desk","width":1920,"height":1080,)"
              R"("refreshRate":75,"bitrateMbps":35,"hiDPI":false,"enabled":false},)"
              R"({"id":"6F9619FF-8B86-4D11-B42D-00C04FC964FF","name":"Desk )" "\u201Cleft\u201D" R"(",)"
              R"("width":2560,"height":1440,"refreshRate":120,"bitrateMbps":50,"hiDPI":true,"enabled":true,)"
              R"("originX":-2560,"originY":2147483647,"mirrorMain":false}])");
    EXPECT_EQ(encodeDisplayProfiles({}), "[]");

    // A stored mode or name may be invalid; reading does not validate it.
    auto invalid = DisplayProfile(UUID::random(), "", INT64_MIN, -3, 0, 999, true, true);
    invalid.originY = INT32_MIN;
    const std::vector<DisplayProfile> profiles{sampleProfile(), invalid};
    EXPECT_EQ(decodeDisplayProfiles(*encodeDisplayProfiles(profiles)), profiles);

    // Any key order, nulls for absent values and unknown keys read too.
    auto expected = DisplayProfile(someID, "Desk", 1920, 1080, 75, 35, false, true);
    expected.mirrorMain = true;
    EXPECT_EQ(decodeDisplayProfiles(
                  R"([{"enabled":true,"hiDPI":false,"bitrateMbps":35,"refreshRate":75,"height":1080,"width":1920,)"
                  R"("name":"Desk","id":"6f9619ff-8b86-4d11-b42d-00c04fc964ff","originX":null,"mirrorMain":true,)"
                  R"("future":[1]}])"), std::vector{expected});
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

const auto idA = *UUID::parse("00000000-0000-4000-8000-00000000000A");
const auto idB = *UUID::parse("00000000-0000-4000-8000-00000000000B");
const auto freshID = *UUID::parse("00000000-0000-4000-8000-0000000000FF");

UUID fresh() { return freshID; }

DisplayProfile named(UUID id, std::string name) { return {id, std::move(name), 2560, 1440, 60, 40, false, true}; }

// A missing or undecodable list gives the first-run display; the selection falls back to
// the first profile, then to a fresh identifier.
TEST(DisplayListStore, LoadsTheListAndItsSelection) {
    struct Case { std::optional<std::string> list, stored; std::vector<DisplayProfile> profiles; UUID expected; };
    const std::vector two{named(idA, "A"), named(idB, "B")};
    const auto both = encodeDisplayProfiles(two);
    const std::vector firstRun{DisplayProfile(freshID, "Tavelin Virtual Display", 1920, 1080, 75, 35, false, false)};
    for (const auto& c : std::initializer_list<Case>{
             {both, idB.uuidString(), two, idB}, {both, "00000000-0000-4000-8000-00000000000b", two, idB},
             {both, freshID.uuidString(), two, idA}, {both, "B", two, idA}, {both, {}, two, idA},
             {"[]", idA.uuidString(), {}, freshID}, {{}, {}, firstRun, freshID},
             {R"([{"id":"00000000-0000-4000-8000-00000000000A"}])", idA.uuidString(), firstRun, freshID}}) {
        MemorySettingsStore settings;
        if (c.list) settings.setData(profileStoreKey, *c.list);
        if (c.stored) settings.setText(selectedDisplayKey, *c.stored);
        const auto list = loadDisplayList(settings, fresh);
        EXPECT_EQ(list.profiles, c.profiles) << c.list.value_or("missing");
        EXPECT_EQ(list.selectedDisplayID, c.expected) << c.stored.value_or("absent");
    }
}

TEST(DisplayListStore, LegacyNamesAreRenamedOnce) {
    MemorySettingsStore settings;
    std::vector<DisplayProfile> profiles;
    for (const auto* name : {"Tavelin", "Pellmark", "Quillmere", "Extra display", "extra display", "Tavelin ", "Desk"}) {
        profiles.push_back(named(UUID::random(), name));
    }
    settings.setData(profileStoreKey, *encodeDisplayProfiles(profiles));
    auto list = loadDisplayList(settings, fresh);
    std::vector<std::string> loaded;
    for (const auto& profile : list.profiles) loaded.push_back(profile.name);
    const std::string renamed = "Tavelin Virtual Display";
    EXPECT_EQ(loaded, (std::vector<std::string>{renamed, renamed, renamed, renamed, "extra display", "Tavelin ", "Desk"}));
    // A name the user picks later is theirs, even a legacy one.
    list.profiles[6].name = "Extra display";
    saveDisplayList(settings, list.profiles, list.selectedDisplayID);
    EXPECT_EQ(loadDisplayList(settings, fresh).profiles[6].name, "Extra display");
}

// A whole save and its reading back are the kill test's.
TEST(DisplayListStore, SavesTheListWhenItEncodesAndTheSelectionAlways) {
    MemorySettingsStore settings;
    saveDisplayList(settings, {named(idA, "A")}, freshID);
    saveDisplayList(settings, {named(idB, "\xFF")}, idB);
    EXPECT_EQ(decodeDisplayProfiles(*settings.data(profileStoreKey)), std::vector{named(idA, "A")});
    EXPECT_EQ(settings.text(selectedDisplayKey), idB.uuidString());
}

} // namespace
} // namespace tavelin
