#include "core/display_list_store.hpp"

#include <algorithm>
#include <array>

namespace tavelin {

namespace {

// Default names of earlier versions, renamed once to the current default.
constexpr std::array<std::string_view, 4> legacyDefaultNames = {"Tavelin", "Pellmark", "Quillmere",
                                                                "Extra display"};

} // namespace

DisplayProfile firstRunDisplayProfile(UUID id) {
    return DisplayProfile::withDefaultMode(id, std::string(DisplayProfile::defaultName));
}

DisplayList loadDisplayList(SettingsStore& store, const std::function<UUID()>& newID) {
    DisplayList list;
    std::optional<std::vector<DisplayProfile>> saved;
    if (const auto data = store.data(profileStoreKey)) saved = decodeDisplayProfiles(*data);
    if (saved) {
        list.profiles = std::move(*saved);
    } else {
        list.profiles.push_back(firstRunDisplayProfile(newID()));
    }

    if (!store.boolean(defaultNameMigrationKey)) {
        for (auto& profile : list.profiles) {
            if (std::ranges::find(legacyDefaultNames, profile.name) != legacyDefaultNames.end()) {
                profile.name = DisplayProfile::defaultName;
            }
        }
        store.setBoolean(defaultNameMigrationKey, true);
    }

    std::optional<UUID> selection;
    if (const auto text = store.text(selectedDisplayKey)) selection = UUID::parse(*text);
    const auto selected = std::ranges::find_if(list.profiles, [&](const DisplayProfile& profile) {
        return selection && profile.id() == *selection;
    });
    if (selected != list.profiles.end()) {
        list.selectedDisplayID = selected->id();
    } else if (!list.profiles.empty()) {
        list.selectedDisplayID = list.profiles.front().id();
    } else {
        list.selectedDisplayID = newID();
    }
    return list;
}

void saveDisplayList(SettingsStore& store, const std::vector<DisplayProfile>& profiles,
                     const UUID& selectedDisplayID) {
    // One change: a list saved without its selection would select another display after a
    // crash between the two.
    SettingsChanges changes;
    if (const auto data = encodeDisplayProfiles(profiles)) changes.setData(profileStoreKey, *data);
    changes.setText(selectedDisplayKey, selectedDisplayID.uuidString());
    store.apply(changes);
}

} // namespace tavelin
