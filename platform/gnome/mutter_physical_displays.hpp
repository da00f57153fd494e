#pragma once

#include "platform/gnome/mutter_display_services.hpp"
#include "platform/physical_displays.hpp"

namespace tavelin::gnome {

// What the physical display controls read of mutter's monitors: the name GNOME shows,
// whether it is the built-in panel, and who the monitor is (its vendor, product and
// serial texts, each folded to a number).
class MutterPhysicalDisplays final : public PhysicalDisplays {
public:
    explicit MutterPhysicalDisplays(MutterDisplayServices& services) : services_(services) {}

    std::string name(DisplayID display) override;
    bool isBuiltIn(DisplayID display) override;
    DisplayIdentity identity(DisplayID display) override;
    bool isUsableForDesktop(DisplayID display, const DisplayMode& mode) override;
    // The monitor's connector ("eDP-1"), as the kernel names it too; empty when unknown.
    std::string connector(DisplayID display);

private:
    std::optional<Monitor> monitor(DisplayID display);
    MutterDisplayServices& services_;
};

} // namespace tavelin::gnome
