#include "ui/choices.hpp"

namespace tavelin::ui {

std::string Choices::presetText(std::size_t index, bool spaced) {
    const auto& [width, height] = presets.at(index);
    return std::to_string(width) + (spaced ? " × " : "×") + std::to_string(height);
}

std::optional<std::size_t> Choices::presetIndex(std::string_view width, std::string_view height) {
    // The picker compares texts, so "01920" or " 1920" are not the preset.
    for (std::size_t i = 0; i < presets.size(); ++i) {
        if (width == std::to_string(presets[i].first) && height == std::to_string(presets[i].second)) return i;
    }
    return std::nullopt;
}

std::string Choices::hertz(std::int64_t rate) { return std::to_string(rate) + " Hz"; }

std::string Choices::megabits(double bitrate) {
    return std::to_string(static_cast<std::int64_t>(bitrate)) + " Mbps";
}

std::string Choices::percent(double value) {
    return std::to_string(static_cast<std::int64_t>(value * 100)) + "%";
}

std::string Choices::degrees(std::int64_t rotation) { return std::to_string(rotation) + "°"; }

} // namespace tavelin::ui
