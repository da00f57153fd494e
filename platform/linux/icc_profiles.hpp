#pragma once

// ICC profiles on disk, read with lcms2: which installed files are display profiles, what
// they are called, and the calibration curves a display server loads for them. Nothing
// here touches a display server, so a listing may run on any thread.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/physical_displays.hpp"

namespace tavelin {

// Where the desktop keeps ICC profiles, the user's folders first: $XDG_DATA_HOME/icc,
// $XDG_DATA_HOME/color/icc, ~/.color/icc, color/icc under each of $XDG_DATA_DIRS, then
// the system's /var/lib/color/icc and colord's /var/lib/colord/icc.
std::vector<std::filesystem::path> iccProfileFolders();

// The file as a listing entry when it is an RGB display-class ICC profile; nothing for
// any other file, readable or not.
std::optional<ColorProfileFile> readDisplayProfile(const std::filesystem::path& file);

// The same test on bytes that are already in memory (a display server's property).
bool isDisplayProfile(std::span<const std::uint8_t> bytes);

// The profile's English description; empty when it has none or the bytes are no profile.
std::string profileDescription(std::span<const std::uint8_t> bytes);

// Every display profile found below the folders (hidden files and folders skipped, a
// file reached twice through links listed once), sorted by name without regard to case.
std::vector<ColorProfileFile> listDisplayProfiles(const std::vector<std::filesystem::path>& folders);

// The whole file; empty when it cannot be read.
std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& file);

// The profile's video card calibration (vcgt) as three ramps of `size` entries, red,
// green, blue, from 0 to 65535; nothing when the profile carries no such curves.
using GammaRamps = std::array<std::vector<std::uint16_t>, 3>;
std::optional<GammaRamps> calibrationRamps(std::span<const std::uint8_t> bytes, std::size_t size);

// The ramps of an uncalibrated display: each channel straight from 0 to 65535.
GammaRamps linearRamps(std::size_t size);

} // namespace tavelin
