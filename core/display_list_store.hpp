#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "core/display_profile.hpp"
#include "core/settings_store.hpp"
#include "core/uuid.hpp"

namespace tavelin {

// Keys of the saved display list in the settings store.
inline constexpr std::string_view profileStoreKey = "displayProfiles.v1";
inline constexpr std::string_view selectedDisplayKey = "selectedDisplay.v1";
inline constexpr std::string_view defaultNameMigrationKey = "displayDefaultName.v2";

struct DisplayList {
    std::vector<DisplayProfile> profiles;
    UUID selectedDisplayID;
};

// The first-run display: the default name and mode, not enabled.
DisplayProfile firstRunDisplayProfile(UUID id);

// Loads the saved displays as the model does once at creation: the stored list, or the
// first-run display when it is missing or undecodable; then the one-time rename of the
// legacy default names (recorded under defaultNameMigrationKey); then the stored
// selection, falling back to the first profile, or to a fresh id that matches nothing
// when the list is empty. `newID` draws the fresh ids.
DisplayList loadDisplayList(SettingsStore& store,
                            const std::function<UUID()>& newID = [] { return UUID::random(); });

// Saves the list (when it encodes) and, always, the selection, as one change of the store.
void saveDisplayList(SettingsStore& store, const std::vector<DisplayProfile>& profiles,
                     const UUID& selectedDisplayID);

} // namespace tavelin
