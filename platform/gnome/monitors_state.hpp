#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <glib.h>

#include "platform/display_services.hpp"

namespace tavelin::gnome {

// What mutter's DisplayConfig says of the monitors (GetCurrentState), in our terms.
struct MonitorMode {
    std::string id; // "1920x1080@60.000"
    std::int32_t width = 0;
    std::int32_t height = 0;
    double refreshRate = 0;
    double preferredScale = 1;
    std::vector<double> scales;
    bool current = false;
    bool preferred = false;
    friend bool operator==(const MonitorMode&, const MonitorMode&) = default;
};

struct Monitor {
    std::string connector; // "Meta-0", "eDP-1": the name every call uses
    std::string vendor;
    std::string product;
    std::string serial;
    std::vector<MonitorMode> modes;
    bool builtin = false;
    std::string displayName;
    const MonitorMode* currentMode() const;
};

struct LogicalMonitor {
    std::int32_t x = 0;
    std::int32_t y = 0;
    double scale = 1;
    std::uint32_t transform = 0;
    bool primary = false;
    std::vector<std::string> connectors; // more than one: they mirror each other
    friend bool operator==(const LogicalMonitor&, const LogicalMonitor&) = default;
};

struct MonitorsState {
    std::uint32_t serial = 0; // ApplyMonitorsConfig fails when the state changed since
    std::vector<Monitor> monitors;
    std::vector<LogicalMonitor> logicalMonitors;
    bool logicalLayout = false; // layout in points (mode / scale) rather than pixels

    const Monitor* monitor(const std::string& connector) const;
    const LogicalMonitor* logicalMonitorOf(const std::string& connector) const;
    // The monitor's place in the desktop, in points; nothing when it is not lit.
    std::optional<DisplayBounds> bounds(const std::string& connector) const;
    // The same in global coordinates, which start at the primary's top-left corner.
    std::optional<DisplayBounds> globalBounds(const std::string& connector) const;
};

// GetCurrentState's reply, of type (ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv});
// nothing for a reply of another shape.
std::optional<MonitorsState> parseMonitorsState(GVariant* reply);

// ApplyMonitorsConfig's arguments that put `logical` in place on `state`, each monitor in
// its current mode: (uua(iiduba(ssa{sv}))a{sv}). A floating reference.
// `method` 1 is temporary (reverted when we leave), 2 persistent.
GVariant* monitorsConfig(const MonitorsState& state, const std::vector<LogicalMonitor>& logical,
                         std::uint32_t method);

// The display id the model keeps for a monitor: stable for its connector across runs
// and never nullDisplay.
DisplayID displayIDOf(const std::string& connector);

} // namespace tavelin::gnome
