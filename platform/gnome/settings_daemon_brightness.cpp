#include "platform/gnome/settings_daemon_brightness.hpp"

#include <cmath>
#include <stdexcept>

namespace tavelin::gnome {

namespace {

constexpr const char* service = "org.gnome.SettingsDaemon.Power";
constexpr const char* path = "/org/gnome/SettingsDaemon/Power";
constexpr const char* screen = "org.gnome.SettingsDaemon.Power.Screen";

} // namespace

std::optional<double> SettingsDaemonBrightness::brightness(DisplayID display) {
    if (!physical_.isBuiltIn(display)) return std::nullopt;
    try {
        const Variant reply = call(bus_, service, path, "org.freedesktop.DBus.Properties", "Get",
                                   g_variant_new("(ss)", screen, "Brightness"), "(v)", 1000);
        GVariant* boxed = nullptr;
        g_variant_get(reply.get(), "(v)", &boxed);
        const Variant value(boxed);
        if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_INT32)) return std::nullopt;
        // -1 says the panel has no backlight the daemon can drive.
        const auto percent = g_variant_get_int32(value.get());
        if (percent < 0 || percent > 100) return std::nullopt;
        return percent / 100.0;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

bool SettingsDaemonBrightness::setBrightness(DisplayID display, double level) {
    if (!(level >= 0 && level <= 1) || !physical_.isBuiltIn(display)) return false;
    try {
        call(bus_, service, path, "org.freedesktop.DBus.Properties", "Set",
             g_variant_new("(ssv)", screen, "Brightness", g_variant_new_int32(static_cast<gint32>(std::lround(level * 100)))),
             nullptr, 1000);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

} // namespace tavelin::gnome
