// The physical display controls on the embedded server's DUMMY0, from output properties
// set the way a driver sets them: modes, name, panel mark, identity, backlight, and colour
// profiles by X's ICC convention (properties and gamma ramp as another client reads them)
// and by the real colord, activated on a private system bus. colord keeps its databases
// in /var/lib/colord, so it runs in a mount namespace with a temporary folder there.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <unistd.h>

#include <asio/io_context.hpp>
#include <xcb/randr.h>

#include "displays/edid.hpp"
#include "displays/system_display_controller.hpp"
#include "platform/gnome/dbus_call.hpp"
#include "platform/linux/icc_profiles.hpp"
#include "platform/x11/desktop_brightness.hpp"
#include "platform/x11/desktop_color_profiles.hpp"
#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/randr_physical_displays.hpp"
#include "platform/x11/randr_query.hpp"
#include "tests/support/private_system_bus.hpp"

namespace tavelin::x11 {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
const fs::path kColord = "/usr/share/color/icc/colord";
using Current = std::optional<std::optional<ColorProfileFile>>;

// DUMMY0's output properties as a driver (or another client) sets and reads them, on a
// connection of its own; taken away again after each test.
class DriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* name : {"EDID", "ConnectorType", "Backlight", "BACKLIGHT"})
            xcb_randr_delete_output_property(driver.get(), dummy0, driver.atom(name));
        sync();
    }
    void sync() { reply(driver.get(), xcb_get_input_focus_reply, xcb_get_input_focus(driver)); }
    void setProperty(const char* name, xcb_atom_t type, int format, const void* data, std::uint32_t count) {
        xcb_randr_change_output_property(driver.get(), dummy0, driver.atom(name), type, format,
                                         XCB_PROP_MODE_REPLACE, count, data);
        sync();
    }
    void setEDID(const std::string& name, const std::string& identifier) {
        const auto edid = displays::makeEDID(
            displays::VirtualDisplayDescriptor::describe(1920, 1080, 60, false, name, identifier), {});
        setProperty("EDID", XCB_ATOM_INTEGER, 8, edid.data(), edid.size());
    }

    Connection driver; // stands in for the video driver, or a colour-managed application
    const DisplayID dummy0 = primaryOutput(driver);
};

class PhysicalDisplaysTest : public DriverTest {
protected:
    // A backlight property as the modesetting driver makes it: one INTEGER in a range.
    void setBacklight(const char* name, std::int32_t low, std::int32_t high, std::int32_t value) {
        const std::int32_t range[] = {low, high};
        xcb_randr_configure_output_property(driver.get(), dummy0, driver.atom(name), false, true, 2, range);
        setProperty(name, XCB_ATOM_INTEGER, 32, &value, 1);
    }
    std::int32_t backlight(const char* name) {
        const auto value = outputProperty(driver, dummy0, name);
        std::int32_t level = -1;
        if (value.size() == sizeof level) std::memcpy(&level, value.data(), sizeof level);
        return level;
    }
    asio::io_context engine;
    RandRDisplayServices services{engine.get_executor()};
    RandRPhysicalDisplays physical{services.connection()};
    // No backlight device and no DDC/CI here: only the driver's property.
    DesktopBrightness brightness{services.connection(), {"/nonexistent", nullptr, nullptr}};
    NoColorProfiles profiles;
    std::shared_ptr<SystemDisplayController> controller = SystemDisplayController::create(
        engine.get_executor(), {services, physical, brightness, profiles},
        {.countdownTick = 5ms, .brightnessDebounce = 1ms});

    const SystemDisplay& listed() {
        controller->refresh();
        return controller->displays().at(0);
    }
};

TEST_F(PhysicalDisplaysTest, NamesMonitorsAndPanelsComeFromTheOutputsProperties) {
    EXPECT_EQ(listed().name, "DUMMY0") << "no EDID: the output's name";
    EXPECT_FALSE(listed().builtIn);
    setEDID("Studio 27", "a");
    const xcb_atom_t panel = driver.atom("Panel");
    setProperty("ConnectorType", XCB_ATOM_ATOM, 32, &panel, 1);
    EXPECT_EQ(listed().name, "Studio 27");
    EXPECT_TRUE(listed().builtIn);
    // The monitor the controller gives an old mode back to only: the one the EDID names.
    const DisplayIdentity studio = physical.identity(dummy0);
    setEDID("Other", "b");
    EXPECT_NE(physical.identity(dummy0), studio);
}

TEST_F(PhysicalDisplaysTest, TheBacklightPropertyIsASliderKeptWithinItsRange) {
    EXPECT_FALSE(listed().brightness) << "no property: no slider";
    setBacklight("BACKLIGHT", 10, 110, 60); // older drivers' name
    EXPECT_EQ(listed().brightness, 0.5);
    setBacklight("Backlight", 0, 937, 2000); // the newer name wins; a driver left it out of range
    EXPECT_EQ(listed().brightness, 1.0);

    controller->setBrightness(dummy0, 0.25);
    engine.run();
    EXPECT_EQ(backlight("Backlight"), 234);
    EXPECT_EQ(backlight("BACKLIGHT"), 60);
    EXPECT_TRUE(brightness.setBrightness(dummy0, 7.0));
    EXPECT_EQ(backlight("Backlight"), 937);
}

class XColorProfilesTest : public DriverTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(profiles.assign(dummy0, std::nullopt));
        DriverTest::TearDown();
    }

    std::vector<std::uint8_t> rootProperty(const char* name) {
        auto value = reply(driver.get(), xcb_get_property_reply,
                           xcb_get_property(driver.get(), 0, driver.root(), driver.atom(name), XCB_ATOM_ANY, 0,
                                            1u << 24));
        if (!value || value->format == 0) return {};
        const auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(value.get()));
        return {data, data + xcb_get_property_value_length(value.get())};
    }
    std::vector<std::uint8_t> outputProfile() { return outputProperty(driver, dummy0, "_ICC_PROFILE"); }
    GammaRamps gamma() {
        const auto crtc = litOutputRects(driver).at(0).crtc;
        auto value = reply(driver.get(), xcb_randr_get_crtc_gamma_reply, xcb_randr_get_crtc_gamma(driver.get(), crtc));
        const auto* r = xcb_randr_get_crtc_gamma_red(value.get());
        const auto* g = xcb_randr_get_crtc_gamma_green(value.get());
        const auto* b = xcb_randr_get_crtc_gamma_blue(value.get());
        return {std::vector<std::uint16_t>(r, r + value->size), std::vector<std::uint16_t>(g, g + value->size),
                std::vector<std::uint16_t>(b, b + value->size)};
    }

    Connection connection;
    // No colour manager answers: the desktop's profiles are X's convention.
    DesktopColorProfiles profiles{connection, {kColord}, "unix:path=/nonexistent/bus"};
};

TEST_F(XColorProfilesTest, AProfileLandsInThePropertiesAndItsCurvesInTheRamp) {
    ASSERT_FALSE(profiles.usesColord());
    const auto bluish = readFileBytes(kColord / "Bluish.icc");
    ASSERT_TRUE(profiles.assign(dummy0, kColord / "Bluish.icc"));
    EXPECT_EQ(rootProperty("_ICC_PROFILE"), bluish);
    EXPECT_EQ(outputProfile(), bluish);
    EXPECT_EQ(rootProperty("_ICC_PROFILE_IN_X_VERSION"), (std::vector<std::uint8_t>{4, 0, 0, 0})) << "0.4";
    const auto ramps = gamma();
    EXPECT_EQ(ramps, calibrationRamps(bluish, ramps[0].size()));
    EXPECT_NE(ramps, linearRamps(ramps[0].size())) << "Bluish's vcgt is not the identity";
    EXPECT_EQ(profiles.current(dummy0), Current(ColorProfileFile{"Blue", kColord / "Bluish.icc"}));

    // A profile without curves must not leave the previous calibration loaded.
    ASSERT_TRUE(profiles.assign(dummy0, kColord / "sRGB.icc"));
    EXPECT_EQ(gamma(), linearRamps(ramps[0].size()));
    EXPECT_EQ(rootProperty("_ICC_PROFILE"), readFileBytes(kColord / "sRGB.icc"));

    ASSERT_TRUE(profiles.assign(dummy0, std::nullopt));
    EXPECT_TRUE(rootProperty("_ICC_PROFILE").empty());
    EXPECT_TRUE(outputProfile().empty());
    EXPECT_EQ(gamma(), linearRamps(ramps[0].size()));
    EXPECT_EQ(profiles.current(dummy0), Current(std::optional<ColorProfileFile>()));

    // Set by another client: named by its description (this sRGB is none of the listed files).
    const auto other = readFileBytes("/usr/share/color/icc/sRGB.icc");
    setProperty("_ICC_PROFILE", XCB_ATOM_CARDINAL, 8, other.data(), static_cast<std::uint32_t>(other.size()));
    const auto foreign = profiles.current(dummy0);
    ASSERT_TRUE(foreign && *foreign);
    EXPECT_EQ((*foreign)->name, profileDescription(other));
    EXPECT_FALSE((*foreign)->name.empty());
    EXPECT_TRUE((*foreign)->file.empty());
}

TEST_F(XColorProfilesTest, RefusesWhatIsNoDisplayProfileOrNoLitOutput) {
    ASSERT_TRUE(profiles.assign(dummy0, kColord / "sRGB.icc"));
    // Which files are display profiles is the profile listing's case (tests/linux).
    EXPECT_FALSE(profiles.assign(dummy0, kColord / "Crayons.icc"));
    EXPECT_EQ(outputProfile(), readFileBytes(kColord / "sRGB.icc")) << "a refusal changes nothing";

    const auto resources = screenResources(connection);
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
    ASSERT_GT(xcb_randr_get_screen_resources_current_outputs_length(resources.get()), 1);
    const DisplayID dark = outputs[1] == dummy0 ? outputs[0] : outputs[1];
    EXPECT_EQ(profiles.current(dark), std::nullopt);
    EXPECT_FALSE(profiles.assign(dark, kColord / "sRGB.icc"));
}

class ColordProfilesTest : public DriverTest {
protected:
    void SetUp() override {
        setEDID("Colour Desk", "c");
        test_ = gnome::systemBus(bus.address());
        // As the desktop's session daemon would; a temporary device lives as long as our connection.
        device = path(manager("CreateDevice", g_variant_new_parsed("('xrandr-Colour-Desk', 'temp', "
                                                                   "{'XRANDR_name': 'DUMMY0', 'Kind': 'display', "
                                                                   "'Colorspace': 'rgb'})")));
    }
    gnome::Variant manager(const char* method, GVariant* arguments) {
        return gnome::call(test_.get(), "org.freedesktop.ColorManager", "/org/freedesktop/ColorManager",
                           "org.freedesktop.ColorManager", method, arguments, nullptr);
    }
    static std::string path(const gnome::Variant& reply) {
        const gchar* text = nullptr;
        g_variant_get(reply.get(), "(&o)", &text);
        return text;
    }
    std::vector<std::string> deviceProfiles() {
        const auto reply = gnome::call(test_.get(), "org.freedesktop.ColorManager", device.c_str(),
                                       "org.freedesktop.DBus.Properties", "Get",
                                       g_variant_new("(ss)", "org.freedesktop.ColorManager.Device", "Profiles"), "(v)");
        GVariant* value = nullptr;
        g_variant_get(reply.get(), "(v)", &value);
        const gnome::Variant owned(value);
        gsize count = 0;
        const std::unique_ptr<const gchar*, decltype(&g_free)> paths(g_variant_get_objv(value, &count), g_free);
        return {paths.get(), paths.get() + count};
    }

    // Without root, a user namespace lets colord mount. Its scanner helper would outlive
    // the bus (and hold the test's output open), so it is kept from starting.
    testing::PrivateSystemBus bus{
        "org.freedesktop.ColorManager",
        std::string("/usr/bin/unshare ") + (::geteuid() == 0 ? "" : "--map-root-user ") +
            "--mount --propagation private /bin/sh -c \"mount --bind %STATE% /var/lib/colord && "
            "{ [ ! -e /usr/libexec/colord-sane ] || mount --bind /dev/null /usr/libexec/colord-sane; } && "
            "exec /usr/libexec/colord\""};
    Connection connection;
    gnome::Connection test_;
    std::string device;
    DesktopColorProfiles profiles{connection, {kColord}, bus.address()};
};

TEST_F(ColordProfilesTest, AssignsAsTheDevicesDefaultFactoryTakesItBackAndRefusals) {
    ASSERT_TRUE(profiles.usesColord());
    EXPECT_EQ(profiles.current(dummy0), Current(std::optional<ColorProfileFile>()));

    ASSERT_TRUE(profiles.assign(dummy0, kColord / "sRGB.icc"));
    const std::string srgb = path(manager("FindProfileByFilename", g_variant_new("(s)", (kColord / "sRGB.icc").c_str())));
    EXPECT_EQ(deviceProfiles(), std::vector<std::string>{srgb}) << "colord's own profile for the file, not a copy";
    EXPECT_EQ(profiles.current(dummy0), Current(ColorProfileFile{"sRGB", kColord / "sRGB.icc"}));

    // A file colord has not seen is handed over by descriptor.
    const fs::path own = bus.dir() / "Bluish copy.icc";
    fs::copy_file(kColord / "Bluish.icc", own);
    ASSERT_TRUE(profiles.assign(dummy0, own));
    const auto current = profiles.current(dummy0);
    ASSERT_TRUE(current && *current);
    EXPECT_EQ((*current)->file, own);
    EXPECT_EQ(deviceProfiles().size(), 2u);

    ASSERT_TRUE(profiles.assign(dummy0, std::nullopt));
    EXPECT_TRUE(deviceProfiles().empty());
    EXPECT_EQ(profiles.current(dummy0), Current(std::optional<ColorProfileFile>()));

    // Refused: a file that is no display profile, and a display without an EDID.
    EXPECT_FALSE(profiles.assign(dummy0, kColord / "Crayons.icc"));
    EXPECT_TRUE(deviceProfiles().empty());
    TearDown(); // the EDID is gone
    EXPECT_EQ(profiles.current(dummy0), std::nullopt);
    EXPECT_FALSE(profiles.assign(dummy0, kColord / "sRGB.icc"));
}

TEST_F(ColordProfilesTest, FactoryMakesTheProfileFromTheEDIDTheDefault) {
    const std::string edid = path(manager(
        "CreateProfile", g_variant_new_parsed("('edid-colour-desk', 'temp', {'Filename': %s, 'DATA_source': 'edid'})",
                                              "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc")));
    gnome::call(test_.get(), "org.freedesktop.ColorManager", device.c_str(), "org.freedesktop.ColorManager.Device",
                "AddProfile", g_variant_new("(so)", "soft", edid.c_str()), nullptr);
    ASSERT_TRUE(profiles.assign(dummy0, kColord / "sRGB.icc"));
    ASSERT_NE(deviceProfiles().at(0), edid);

    ASSERT_TRUE(profiles.assign(dummy0, std::nullopt));
    EXPECT_EQ(deviceProfiles().at(0), edid);
    EXPECT_EQ(profiles.current(dummy0), Current(std::optional<ColorProfileFile>())) << "the EDID's is the factory";
}

} // namespace
} // namespace tavelin::x11
