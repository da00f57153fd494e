// The physical display controls on the headless GNOME: mutter's own monitor listed by the
// controller, and the panel brightness through a stand-in for GNOME's settings daemon.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "displays/system_display_controller.hpp"
#include "platform/gnome/mutter_display_services.hpp"
#include "platform/gnome/mutter_physical_displays.hpp"
#include "platform/gnome/settings_daemon_brightness.hpp"
#include "tests/support/fake_dbus_service.hpp"
#include "tests/support/fake_desk.hpp"

namespace tavelin::gnome {
namespace {

TEST(MutterPhysicalDisplays, TheControllerListsMuttersMonitor) {
    const Connection bus = sessionBus();
    MutterDisplayServices services(bus.get());
    MutterPhysicalDisplays physical(services);
    NoBrightness brightness;
    NoColorProfiles profiles;
    asio::io_context engine;
    const auto controller =
        SystemDisplayController::create(engine.get_executor(), {services, physical, brightness, profiles});
    controller->refresh();
    ASSERT_EQ(controller->displays().size(), 1u);
    const auto& monitor = controller->displays()[0];
    EXPECT_TRUE(monitor.main);
    EXPECT_FALSE(monitor.builtIn);
    EXPECT_FALSE(monitor.name.empty());
    EXPECT_NE(physical.identity(monitor.id), DisplayIdentity{}) << "mutter names who the monitor is";
}

// GNOME's settings daemon as far as brightness goes: the Screen interface's percentage.
struct FakeSettingsDaemon {
    static const GDBusInterfaceVTable table;
    int percent = 40;
    testing::FakeDBusService service{sessionBus(), "org.gnome.SettingsDaemon.Power", "/org/gnome/SettingsDaemon/Power",
                                     "<node><interface name='org.gnome.SettingsDaemon.Power.Screen'>"
                                     "<property name='Brightness' type='i' access='readwrite'/></interface></node>",
                                     table, this};
};
const GDBusInterfaceVTable FakeSettingsDaemon::table{
    nullptr,
    [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**, gpointer self) {
        return g_variant_new_int32(static_cast<FakeSettingsDaemon*>(self)->percent);
    },
    [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* value, GError**,
       gpointer self) -> gboolean {
        static_cast<FakeSettingsDaemon*>(self)->percent = g_variant_get_int32(value);
        return TRUE;
    },
    {}};

// FakeDesk's display 7 is its built-in panel, 5 an external monitor.
TEST(SettingsDaemonBrightness, DrivesOnlyTheBuiltInPanel) {
    const Connection bus = sessionBus();
    testing::FakeDesk desk;
    SettingsDaemonBrightness brightness(bus.get(), desk);
    EXPECT_FALSE(brightness.brightness(7)) << "no settings daemon: no slider";
    FakeSettingsDaemon daemon;
    EXPECT_EQ(brightness.brightness(7), 0.4);
    EXPECT_FALSE(brightness.brightness(5)) << "an external monitor is not the daemon's";
    EXPECT_TRUE(brightness.setBrightness(7, 0.755));
    EXPECT_EQ(brightness.brightness(7), 0.76);
    EXPECT_FALSE(brightness.setBrightness(5, 0.5));
    daemon.percent = -1; // the daemon found no backlight
    EXPECT_FALSE(brightness.brightness(7));
}

} // namespace
} // namespace tavelin::gnome
