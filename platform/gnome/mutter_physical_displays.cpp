#include "platform/gnome/mutter_physical_displays.hpp"

namespace tavelin::gnome {

std::optional<Monitor> MutterPhysicalDisplays::monitor(DisplayID display) {
    const auto state = services_.state();
    if (!state) return std::nullopt;
    for (const auto& each : state->monitors) {
        if (displayIDOf(each.connector) == display) return each;
    }
    return std::nullopt;
}

std::string MutterPhysicalDisplays::name(DisplayID display) {
    const auto found = monitor(display);
    if (!found) return {};
    return found->displayName.empty() ? found->connector : found->displayName;
}

bool MutterPhysicalDisplays::isBuiltIn(DisplayID display) {
    const auto found = monitor(display);
    return found && found->builtin;
}

DisplayIdentity MutterPhysicalDisplays::identity(DisplayID display) {
    const auto found = monitor(display);
    if (!found) return {};
    // The same texts fold to the same numbers in every run, as the connector does.
    return {displayIDOf(found->vendor), displayIDOf(found->product), displayIDOf(found->serial)};
}

std::string MutterPhysicalDisplays::connector(DisplayID display) {
    const auto found = monitor(display);
    return found ? found->connector : std::string();
}

bool MutterPhysicalDisplays::isUsableForDesktop(DisplayID, const DisplayMode& mode) {
    return mode.pixelWidth >= 640 && mode.pixelHeight >= 480;
}

} // namespace tavelin::gnome
