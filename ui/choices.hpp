#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavelin::ui {

// The fixed choices every view offers, and how their values are labelled.
struct Choices {
    // Width and height of each resolution preset, in display order.
    static constexpr std::array<std::pair<int, int>, 7> presets{{
        {1920, 1080}, {2560, 1440}, {3840, 2160}, {1920, 1200}, {2560, 1600}, {3440, 1440}, {1080, 1920}}};
    static constexpr std::array<int, 8> refreshRates{30, 60, 75, 90, 120, 144, 165, 240};
    static constexpr std::array<int, 4> rotations{0, 90, 180, 270};
    static constexpr std::array<std::string_view, 4> directions{"Left", "Right", "Above", "Below"};
    static constexpr double minimumBitrate = 5;
    static constexpr double maximumBitrate = 150;
    static constexpr double bitrateStep = 5;

    // "1920×1080"; the receiver tab's menu writes it with spaces: "1920 × 1080".
    static std::string presetText(std::size_t index, bool spaced);
    // The preset the typed fields name exactly, or nothing ("Custom").
    static std::optional<std::size_t> presetIndex(std::string_view width, std::string_view height);

    static std::string hertz(std::int64_t rate);       // "144 Hz"
    static std::string megabits(double bitrate);       // "35 Mbps", the whole number
    static std::string percent(double value);          // 1.0 → "100%", truncated
    static std::string degrees(std::int64_t rotation); // "90°"
};

} // namespace tavelin::ui
