#pragma once

#include "platform/gnome/dbus_call.hpp"
#include "platform/physical_displays.hpp"

namespace tavelin::gnome {

// The built-in panel's backlight through GNOME's settings daemon (its power plug-in's
// Screen interface, a percentage), as GNOME's own brightness slider sets it. Other
// displays, and a session without the daemon or without a backlight, have none.
class SettingsDaemonBrightness final : public Brightness {
public:
    SettingsDaemonBrightness(GDBusConnection* bus, PhysicalDisplays& physical) : bus_(bus), physical_(physical) {}

    std::optional<double> brightness(DisplayID display) override;
    bool setBrightness(DisplayID display, double level) override;

private:
    GDBusConnection* bus_;
    PhysicalDisplays& physical_;
};

} // namespace tavelin::gnome
