#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/display_services.hpp"

namespace tavelin {

// Who a display is, so that a pending mode change is only reverted on the same monitor.
struct DisplayIdentity {
    std::uint32_t vendor = 0;
    std::uint32_t model = 0;
    std::uint32_t serial = 0;
    friend bool operator==(const DisplayIdentity&, const DisplayIdentity&) = default;
};

// What the physical display controls need beyond DisplayServices. Like every port in
// this file, called on the engine and answering before it returns.
class PhysicalDisplays {
public:
    virtual ~PhysicalDisplays() = default;
    // The monitor's name for menus; empty when the display server gives none.
    virtual std::string name(DisplayID display) = 0;
    virtual bool isBuiltIn(DisplayID display) = 0;
    virtual DisplayIdentity identity(DisplayID display) = 0;
    // Whether a mode can carry the desktop (interlaced and tiny modes cannot).
    virtual bool isUsableForDesktop(DisplayID display, const DisplayMode& mode) = 0;
};

// Backlight or monitor brightness, 0 to 1. Absent where neither the backlight nor the
// monitor (DDC/CI) can be reached.
class Brightness {
public:
    virtual ~Brightness() = default;
    virtual std::optional<double> brightness(DisplayID display) = 0;
    virtual bool setBrightness(DisplayID display, double level) = 0;
};

struct ColorProfileFile {
    std::string name; // the profile's description, else the file name
    std::filesystem::path file;
    friend bool operator==(const ColorProfileFile&, const ColorProfileFile&) = default;
};

// ICC display profiles: the installed ones, and the one assigned to each display.
class ColorProfiles {
public:
    virtual ~ColorProfiles() = default;
    // Installed monitor-class profiles, sorted by name.
    virtual std::vector<ColorProfileFile> available() = 0;
    // Nothing when profiles cannot be assigned to this display; otherwise its current
    // profile, which may be unnamed or have no file (the factory profile).
    virtual std::optional<std::optional<ColorProfileFile>> current(DisplayID display) = 0;
    // No file restores the factory profile. False when refused.
    virtual bool assign(DisplayID display, const std::optional<std::filesystem::path>& file) = 0;
};

// For a desktop that offers neither: no slider, no profile menu.
class NoBrightness final : public Brightness {
public:
    std::optional<double> brightness(DisplayID) override { return std::nullopt; }
    bool setBrightness(DisplayID, double) override { return false; }
};

class NoColorProfiles final : public ColorProfiles {
public:
    std::vector<ColorProfileFile> available() override { return {}; }
    std::optional<std::optional<ColorProfileFile>> current(DisplayID) override { return std::nullopt; }
    bool assign(DisplayID, const std::optional<std::filesystem::path>&) override { return false; }
};

} // namespace tavelin
