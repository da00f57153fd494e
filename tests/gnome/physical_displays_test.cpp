// The physical display controls on the headless GNOME: mutter's own monitor listed by the
// controller, and the panel brightness through a stand-in for GNOME's settings daemon.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "displays/system_display_controller.hpp"
#include "platform/gnome/mutter_display_services.hpp"
#include "platform/gnome/mutter_physical_displays.hpp"
#include "platform/gnome/settings_daemon_brightness.hpp"
#include "tests/support/fake_dbus_service.hpp"

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

struct Panel final : PhysicalDisplays {
    std::string name(DisplayID) override { return "Panel"; }
    bool isBuiltIn(DisplayID display) override { return display == 1; }
    DisplayIdentity identity(DisplayID) override { return {}; }
    bool isUsableForDesktop(DisplayID, const DisplayMode&) override { return true; }
};

TEST(SettingsDaemonBrightness, DrivesOnlyTheBuiltInPanel) {
    const Connection bus = sessionBus();
    Panel panel;
    SettingsDaemonBrightness brightness(bus.get(), panel);
    EXPECT_FALSE(brightness.brightness(1)) << "no settings daemon: no slider";
    FakeSettingsDaemon daemon;
    EXPECT_EQ(brightness.brightness(1), 0.4);
    EXPECT_FALSE(brightness.brightness(2)) << "an external monitor is not the daemon's";
    EXPECT_TRUE(brightness.setBrightness(1, 0.755));
    EXPECT_EQ(brightness.brightness(1), 0.76);
    EXPECT_FALSE(brightness.setBrightness(2, 0.5));
    daemon.percent = -1; // the daemon found no backlight
    EXPECT_FALSE(brightness.brightness(1));
}

} // namespace
} // namespace tavelin::gnome
