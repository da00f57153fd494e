#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/display_services.hpp"
#include "platform/gnome/dbus_call.hpp"
#include "platform/gnome/monitors_state.hpp"

namespace tavelin::gnome {

// The display services on mutter's DisplayConfig. A display is a monitor, its id derived
// from its connector. Global coordinates put the main (primary) monitor's top-left corner
// at (0, 0); mutter keeps its layout at non-negative coordinates, so both directions are
// translated here. Mirroring is one logical monitor holding several monitors: the first
// of them is the master of the others. A change applies temporarily (method 1): mutter
// puts its own configuration back when our connection goes.
class MutterDisplayServices final : public DisplayServices {
public:
    explicit MutterDisplayServices(GDBusConnection* bus) : bus_(bus) {}

    std::vector<DisplayMode> modes(DisplayID display) override;
    std::optional<DisplayMode> currentMode(DisplayID display) override;
    DisplayError setMode(DisplayID display, const DisplayMode& mode) override;
    bool isOnline(DisplayID display) override;
    DisplayBounds bounds(DisplayID display) override;
    DisplayID mainDisplay() override;
    DisplayID mirrorsDisplay(DisplayID display) override;
    std::optional<std::vector<DisplayID>> activeDisplays() override;
    std::unique_ptr<DisplayConfigurationTransaction> beginConfiguration() override;

    // The state as mutter has it now; nothing when it cannot be read.
    std::optional<MonitorsState> state();
    // Applies `logical` over `state`, once more over a fresh state when mutter says the
    // state changed in between.
    DisplayError apply(MonitorsState state, std::vector<LogicalMonitor> logical);

private:
    std::optional<std::pair<MonitorsState, std::string>> find(DisplayID display);

    GDBusConnection* bus_;
};

} // namespace tavelin::gnome
