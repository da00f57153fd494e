#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "platform/display_services.hpp"
#include "platform/physical_displays.hpp"

namespace tavelin::testing {

inline DisplayMode deskMode(std::uint64_t id, std::int64_t w, std::int64_t h, double rate, int scale = 1) {
    return {id, w * scale, h * scale, w, h, rate};
}

// One desk: display 7 (a laptop panel with a backlight and a profile) and display 5,
// which the display server gives no name.
struct FakeDesk final : DisplayServices, PhysicalDisplays, Brightness, ColorProfiles {
    std::map<DisplayID, std::vector<DisplayMode>> modeLists{
        {7, {deskMode(3, 1920, 1080, 60), deskMode(2, 1280, 720, 60), deskMode(2, 1280, 720, 60), deskMode(4, 1280, 720, 0),
             deskMode(5, 1280, 720, 30, 2), deskMode(6, 640, 480, 59.94), deskMode(9, 320, 200, 60)}},
        {5, {deskMode(8, 1024, 768, 75)}}};
    std::map<DisplayID, DisplayMode> live{{7, deskMode(3, 1920, 1080, 60)}, {5, deskMode(8, 1024, 768, 75)}};
    std::map<DisplayID, DisplayIdentity> identities{{7, {1, 2, 3}}, {5, {4, 5, 6}}};
    DisplayError setResult = DisplayError::none;
    int modeChanges = 0;
    std::map<DisplayID, double> levels{{7, 0.5}};
    std::vector<double> levelsSet;
    std::vector<std::optional<std::filesystem::path>> assigned;
    bool listable = true;

    std::vector<DisplayMode> modes(DisplayID d) override { return modeLists[d]; }
    std::optional<DisplayMode> currentMode(DisplayID d) override {
        return live.contains(d) ? std::optional(live[d]) : std::nullopt;
    }
    DisplayError setMode(DisplayID d, const DisplayMode& m) override {
        if (setResult != DisplayError::none) return setResult;
        ++modeChanges;
        live[d] = m;
        return DisplayError::none;
    }
    bool isOnline(DisplayID d) override { return live.contains(d); }
    DisplayBounds bounds(DisplayID) override { return {}; }
    DisplayID mainDisplay() override { return 7; }
    DisplayID mirrorsDisplay(DisplayID) override { return nullDisplay; }
    std::optional<std::vector<DisplayID>> activeDisplays() override {
        if (!listable) return std::nullopt;
        std::vector<DisplayID> ids;
        for (const auto& [id, m] : live) ids.insert(ids.begin(), id);
        return ids;
    }
    std::unique_ptr<DisplayConfigurationTransaction> beginConfiguration() override { return nullptr; }

    std::string name(DisplayID d) override { return d == 7 ? "Built-in Panel" : ""; }
    bool isBuiltIn(DisplayID d) override { return d == 7; }
    DisplayIdentity identity(DisplayID d) override { return identities[d]; }
    bool isUsableForDesktop(DisplayID, const DisplayMode& m) override { return m.width >= 640; }

    std::optional<double> brightness(DisplayID d) override {
        return levels.contains(d) ? std::optional(levels[d]) : std::nullopt;
    }
    bool setBrightness(DisplayID d, double level) override {
        levelsSet.push_back(level);
        levels[d] = level;
        return true;
    }

    std::vector<ColorProfileFile> available() override { return {{"sRGB", "/p/sRGB.icc"}, {"", "/p/unnamed.icc"}}; }
    std::optional<std::optional<ColorProfileFile>> current(DisplayID d) override {
        return d == 7 ? std::make_optional(std::optional<ColorProfileFile>()) : std::nullopt;
    }
    bool assign(DisplayID, const std::optional<std::filesystem::path>& file) override {
        assigned.push_back(file);
        return true;
    }
};

} // namespace tavelin::testing
