#include "platform/x11/desktop_brightness.hpp"

#include "platform/x11/randr_physical_displays.hpp"
#include "platform/x11/randr_query.hpp"

namespace tavelin::x11 {

DesktopBrightness::DesktopBrightness(Connection& connection, Sources sources, std::function<void()> ddcDetected)
    : connection_(connection), randr_(connection), sysfs_(std::move(sources.sysRoot), std::move(sources.backlightWriter)),
      ddc_(std::move(sources.ddc), std::move(ddcDetected)) {}

// A backlight device that hangs off no connector belongs to the panel when there is
// only one.
bool DesktopBrightness::soleBuiltIn(DisplayID display) {
    if (!isBuiltInOutput(connection_, display)) return false;
    for (const auto output : litOutputs(connection_)) {
        if (output != display && isBuiltInOutput(connection_, output)) return false;
    }
    return true;
}

std::optional<double> DesktopBrightness::brightness(DisplayID display) {
    if (auto level = randr_.brightness(display)) return level;
    const auto edid = outputProperty(connection_, display, "EDID");
    if (isBuiltInOutput(connection_, display)) {
        if (auto level = sysfs_.brightness(edid, soleBuiltIn(display))) return level;
    }
    return ddc_.brightness(edid);
}

bool DesktopBrightness::setBrightness(DisplayID display, double level) {
    if (randr_.brightness(display)) return randr_.setBrightness(display, level);
    const auto edid = outputProperty(connection_, display, "EDID");
    if (isBuiltInOutput(connection_, display)) {
        const bool sole = soleBuiltIn(display);
        if (sysfs_.brightness(edid, sole)) return sysfs_.setBrightness(edid, sole, level);
    }
    return ddc_.setBrightness(edid, level);
}

} // namespace tavelin::x11
