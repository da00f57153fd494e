// The physical display controls on the embedded server's DUMMY0: its modes switched and
// reverted by the controller, its name, panel mark and identity from output properties
// set the way a driver sets them.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <asio/io_context.hpp>

#include "displays/edid.hpp"
#include "displays/system_display_controller.hpp"
#include "platform/x11/desktop_brightness.hpp"
#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/randr_physical_displays.hpp"
#include "platform/x11/randr_query.hpp"

namespace tavelin::x11 {
namespace {

using namespace std::chrono_literals;

class PhysicalDisplaysTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* name : {"EDID", "ConnectorType", "Backlight", "BACKLIGHT"})
            xcb_randr_delete_output_property(driver.get(), dummy0, driver.atom(name));
        xcb_flush(driver.get());
        EXPECT_EQ(outputRect(driver, dummy0), (RootRect{0, 0, 1920, 1080})) << "a mode change was left behind";
    }
    void setProperty(const char* name, xcb_atom_t type, int format, const void* data, std::uint32_t count) {
        xcb_randr_change_output_property(driver.get(), dummy0, driver.atom(name), type, format,
                                         XCB_PROP_MODE_REPLACE, count, data);
        xcb_flush(driver.get());
    }
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
    void setEDID(const std::string& name, const std::string& identifier) {
        const auto edid = displays::makeEDID(
            displays::VirtualDisplayDescriptor::describe(1920, 1080, 60, false, name, identifier), {});
        setProperty("EDID", XCB_ATOM_INTEGER, 8, edid.data(), edid.size());
    }

    asio::io_context engine;
    RandRDisplayServices services{engine.get_executor()};
    RandRPhysicalDisplays physical{services.connection()};
    // No backlight device and no DDC/CI here: only the driver's property.
    DesktopBrightness brightness{services.connection(), {"/nonexistent", nullptr, nullptr}};
    NoColorProfiles profiles;
    Connection driver; // stands in for the video driver that sets output properties
    const DisplayID dummy0 = services.mainDisplay();
    std::shared_ptr<SystemDisplayController> controller = SystemDisplayController::create(
        engine.get_executor(), {services, physical, brightness, profiles},
        {.countdownTick = 5ms, .brightnessDebounce = 1ms});

    const SystemDisplay& listed() {
        controller->refresh();
        return controller->displays().at(0);
    }
};

TEST_F(PhysicalDisplaysTest, NamesAndPanelsComeFromTheOutputsProperties) {
    EXPECT_EQ(listed().name, "DUMMY0") << "no EDID: the output's name";
    EXPECT_FALSE(listed().builtIn);
    setEDID("Studio 27", "a");
    const xcb_atom_t panel = driver.atom("Panel");
    setProperty("ConnectorType", XCB_ATOM_ATOM, 32, &panel, 1);
    EXPECT_EQ(listed().name, "Studio 27");
    EXPECT_TRUE(listed().builtIn);
}

TEST_F(PhysicalDisplaysTest, AModeChangeRevertsOnTheSameMonitorOnly) {
    setEDID("Desk", "first");
    const SystemDisplay before = listed();
    ASSERT_TRUE(before.current);
    const auto smaller = std::find_if(before.modes.begin(), before.modes.end(),
                                      [](const SystemDisplayMode& m) { return m.mode.pixelWidth == 1280; });
    ASSERT_NE(smaller, before.modes.end()) << "DUMMY0 offers 1280 × 720";
    for (const auto& m : before.modes) EXPECT_GE(m.mode.pixelWidth, 640) << m.label();

    controller->previewMode(dummy0, smaller->id());
    EXPECT_EQ(outputRect(driver, dummy0)->width, 1280);
    engine.run();
    engine.restart();
    EXPECT_EQ(outputRect(driver, dummy0)->width, 1920) << "reverted by itself";

    // The monitor behind the output was replaced during the countdown: it keeps the mode.
    controller->previewMode(dummy0, smaller->id());
    setEDID("Other", "second");
    engine.run();
    EXPECT_FALSE(controller->pending());
    EXPECT_EQ(outputRect(driver, dummy0)->width, 1280);
    EXPECT_EQ(services.setMode(dummy0, before.current->mode), DisplayError::none);
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

} // namespace
} // namespace tavelin::x11
