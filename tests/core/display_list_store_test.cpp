#include <gtest/gtest.h>

#include "core/display_list_store.hpp"

namespace tavelin {
namespace {

const auto idA = *UUID::parse("00000000-0000-4000-8000-00000000000A");
const auto idB = *UUID::parse("00000000-0000-4000-8000-00000000000B");
const auto freshID = *UUID::parse("00000000-0000-4000-8000-0000000000FF");

UUID fresh() { return freshID; }

DisplayProfile named(UUID id, std::string name) {
    return DisplayProfile(id, std::move(name), 2560, 1440, 60, 40, false, true);
}

void store(SettingsStore& settings, const std::vector<DisplayProfile>& profiles) {
    settings.setData(profileStoreKey, *encodeDisplayProfiles(profiles));
}

TEST(DisplayListStore, MissingOrUndecodableListGivesTheSelectedFirstRunDisplay) {
    MemorySettingsStore missing, undecodable;
    undecodable.setData(profileStoreKey, R"([{"id":"00000000-0000-4000-8000-00000000000A"}])");
    for (auto* settings : {&missing, &undecodable}) {
        const auto list = loadDisplayList(*settings, fresh);
        const DisplayProfile firstRun(freshID, "Tavelin Virtual Display", 1920, 1080, 75, 35, false, false);
        EXPECT_EQ(list.profiles, std::vector{firstRun});
        EXPECT_EQ(list.selectedDisplayID, freshID);
    }
}

TEST(DisplayListStore, SelectionFallsBackToTheFirstProfileThenToAFreshID) {
    struct Case {
        std::vector<DisplayProfile> profiles;
        std::optional<std::string> stored;
        UUID expected;
    };
    const std::vector two{named(idA, "A"), named(idB, "B")};
    for (const auto& c : std::initializer_list<Case>{
             {two, idB.uuidString(), idB}, {two, "00000000-0000-4000-8000-00000000000b", idB},
             {two, freshID.uuidString(), idA}, {two, "B", idA}, {two, {}, idA}, {{}, idA.uuidString(), freshID}}) {
        MemorySettingsStore settings;
        store(settings, c.profiles);
        if (c.stored) settings.setText(selectedDisplayKey, *c.stored);
        const auto list = loadDisplayList(settings, fresh);
        EXPECT_EQ(list.profiles, c.profiles);
        EXPECT_EQ(list.selectedDisplayID, c.expected) << c.stored.value_or("absent");
    }
}

TEST(DisplayListStore, LegacyNamesAreRenamedOnce) {
    MemorySettingsStore settings;
    std::vector<DisplayProfile> profiles;
    for (const auto* name : {"Tavelin", "Pellmark", "Quillmere", "Extra display", "extra display", "Tavelin ", "Desk"}) {
        profiles.push_back(named(UUID::random(), name));
    }
    store(settings, profiles);
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

TEST(DisplayListStore, SavesTheListWhenItEncodesAndTheSelectionAlways) {
    MemorySettingsStore settings;
    saveDisplayList(settings, {named(idA, "A")}, freshID);
    EXPECT_EQ(decodeDisplayProfiles(*settings.data(profileStoreKey)), std::vector{named(idA, "A")});
    EXPECT_EQ(settings.text(selectedDisplayKey), "00000000-0000-4000-8000-0000000000FF");
    saveDisplayList(settings, {named(idB, "\xFF")}, idB);
    EXPECT_EQ(decodeDisplayProfiles(*settings.data(profileStoreKey)), std::vector{named(idA, "A")});
    EXPECT_EQ(settings.text(selectedDisplayKey), idB.uuidString());
}

} // namespace
} // namespace tavelin
