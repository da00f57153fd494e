#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

TEST(DisplayListStore, FirstRunGetsTheDefaultDisplaySelected) {
    MemorySettingsStore settings;
    const auto list = loadDisplayList(settings, fresh);
    ASSERT_EQ(list.profiles.size(), 1u);
    EXPECT_EQ(list.profiles[0], DisplayProfile(freshID, "Tavelin Virtual Display", 1920, 1080, 75, 35, false, false));
    EXPECT_EQ(list.selectedDisplayID, freshID);
    EXPECT_TRUE(settings.boolean(defaultNameMigrationKey));

    saveDisplayList(settings, list.profiles, list.selectedDisplayID);
    EXPECT_EQ(settings.text(selectedDisplayKey), "00000000-0000-4000-8000-0000000000FF");
    EXPECT_EQ(decodeDisplayProfiles(*settings.data(profileStoreKey)), list.profiles);
}

TEST(DisplayListStore, UndecodableListFallsBackToTheDefault) {
    for (const char* bad : {"", "{", "[{\"id\":\"00000000-0000-4000-8000-00000000000A\"}]", "null"}) {
        MemorySettingsStore settings;
        settings.setData(profileStoreKey, bad);
        const auto list = loadDisplayList(settings, fresh);
        ASSERT_EQ(list.profiles.size(), 1u) << bad;
        EXPECT_EQ(list.profiles[0].id(), freshID);
    }
    // Text under the key is not data.
    MemorySettingsStore settings;
    settings.setText(profileStoreKey, *encodeDisplayProfiles({named(idA, "Desk")}));
    EXPECT_EQ(loadDisplayList(settings, fresh).profiles[0].id(), freshID);
}

TEST(DisplayListStore, EmptyListStaysEmptyWithAnUnmatchedSelection) {
    MemorySettingsStore settings;
    store(settings, {});
    settings.setText(selectedDisplayKey, idA.uuidString());
    const auto list = loadDisplayList(settings, fresh);
    EXPECT_TRUE(list.profiles.empty());
    EXPECT_EQ(list.selectedDisplayID, freshID);
}

TEST(DisplayListStore, SelectionRule) {
    struct Case {
        const char* what;
        std::optional<std::string> stored;
        UUID expected;
    };
    for (const auto& c : {Case{"stored id", idB.uuidString(), idB},
                          Case{"lower-case text", "00000000-0000-4000-8000-00000000000b", idB},
                          Case{"unknown id", freshID.uuidString(), idA}, Case{"unparsable", "B", idA},
                          Case{"absent", std::nullopt, idA}}) {
        MemorySettingsStore settings;
        store(settings, {named(idA, "A"), named(idB, "B")});
        if (c.stored) settings.setText(selectedDisplayKey, *c.stored);
        EXPECT_EQ(loadDisplayList(settings, fresh).selectedDisplayID, c.expected) << c.what;
    }
}

TEST(DisplayListStore, LegacyNamesAreRenamedOnce) {
    MemorySettingsStore settings;
    const std::vector<std::string> names{"Tavelin", "Pellmark", "Quillmere", "Extra display", "extra display",
                                         "Tavelin ", "Desk"};
    std::vector<DisplayProfile> profiles;
    for (const auto& name : names) profiles.push_back(named(UUID::random(), name));
    store(settings, profiles);

    auto list = loadDisplayList(settings, fresh);
    std::vector<std::string> loaded;
    for (const auto& profile : list.profiles) loaded.push_back(profile.name);
    EXPECT_EQ(loaded, (std::vector<std::string>{"Tavelin Virtual Display", "Tavelin Virtual Display",
                                                "Tavelin Virtual Display", "Tavelin Virtual Display",
                                                "extra display", "Tavelin ", "Desk"}));

    // A name the user picks later is theirs, even a legacy one.
    list.profiles[6].name = "Extra display";
    saveDisplayList(settings, list.profiles, list.selectedDisplayID);
    EXPECT_EQ(loadDisplayList(settings, fresh).profiles[6].name, "Extra display");
}

TEST(DisplayListStore, SavingSkipsAListThatDoesNotEncodeButKeepsTheSelection) {
    MemorySettingsStore settings;
    store(settings, {named(idA, "A")});
    saveDisplayList(settings, {named(idB, "\xFF")}, idB);
    EXPECT_EQ(decodeDisplayProfiles(*settings.data(profileStoreKey)), std::vector{named(idA, "A")});
    EXPECT_EQ(settings.text(selectedDisplayKey), idB.uuidString());
}

TEST(DisplayListStore, FileStoreRecoversFromGarbageOnFirstSave) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("tavelin-list-" + UUID::random().uuidString() + ".json");
    {
        std::ofstream(path) << "\x01garbage";
        FileSettingsStore settings(path);
        const auto list = loadDisplayList(settings, fresh);
        saveDisplayList(settings, list.profiles, list.selectedDisplayID);
    }
    FileSettingsStore reopened(path);
    const auto list = loadDisplayList(reopened, [] { return UUID::random(); });
    ASSERT_EQ(list.profiles.size(), 1u);
    EXPECT_EQ(list.profiles[0].id(), freshID);
    EXPECT_EQ(list.selectedDisplayID, freshID);
    std::filesystem::remove(path);
    std::filesystem::remove(path.string() + ".corrupt");
}

} // namespace
} // namespace tavelin
