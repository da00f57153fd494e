#include "platform/x11/desktop_color_profiles.hpp"

#include "platform/linux/colord_profiles.hpp"
#include "platform/x11/randr_physical_displays.hpp"
#include "platform/x11/x_color_profiles.hpp"

namespace tavelin::x11 {

DesktopColorProfiles::DesktopColorProfiles(Connection& connection, std::vector<std::filesystem::path> folders,
                                           const std::string& busAddress) {
    // Only outputs have a name colord knows; Tavelin's own monitors are not colord's.
    auto outputs = [&connection](DisplayID display) -> std::optional<ColordOutput> {
        std::string name = outputName(connection, display);
        if (name.empty()) return std::nullopt;
        return ColordOutput{std::move(name), outputProperty(connection, display, "EDID")};
    };
    chosen_ = ColordProfiles::connect(std::move(outputs), folders, busAddress);
    usesColord_ = chosen_ != nullptr;
    if (!chosen_) chosen_ = std::make_unique<XColorProfiles>(connection, std::move(folders));
}

DesktopColorProfiles::~DesktopColorProfiles() = default;

} // namespace tavelin::x11
