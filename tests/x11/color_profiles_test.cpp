// X's ICC profile convention on the embedded server's DUMMY0: the properties and the
// CRTC gamma ramp as another client reads them back.

#include <gtest/gtest.h>

#include <xcb/randr.h>

#include "platform/linux/icc_profiles.hpp"
#include "platform/x11/desktop_color_profiles.hpp"
#include "platform/x11/randr_physical_displays.hpp"
#include "platform/x11/randr_query.hpp"
#include "platform/x11/x_color_profiles.hpp"

namespace tavelin::x11 {
namespace {

namespace fs = std::filesystem;
const fs::path kColord = "/usr/share/color/icc/colord";
using Current = std::optional<std::optional<ColorProfileFile>>;

class XColorProfilesTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(profiles.assign(dummy0, std::nullopt)); }

    std::vector<std::uint8_t> rootProperty(const char* name) {
        auto value = reply(reader.get(), xcb_get_property_reply,
                           xcb_get_property(reader.get(), 0, reader.root(), reader.atom(name), XCB_ATOM_ANY, 0,
                                            1u << 24));
        if (!value || value->format == 0) return {};
        const auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(value.get()));
        return {data, data + xcb_get_property_value_length(value.get())};
    }
    std::vector<std::uint8_t> outputProfile() { return outputProperty(reader, dummy0, "_ICC_PROFILE"); }
    GammaRamps gamma() {
        const auto crtc = litOutputRects(reader).at(0).crtc;
        auto value = reply(reader.get(), xcb_randr_get_crtc_gamma_reply, xcb_randr_get_crtc_gamma(reader.get(), crtc));
        const auto* r = xcb_randr_get_crtc_gamma_red(value.get());
        const auto* g = xcb_randr_get_crtc_gamma_green(value.get());
        const auto* b = xcb_randr_get_crtc_gamma_blue(value.get());
        return {std::vector<std::uint16_t>(r, r + value->size), std::vector<std::uint16_t>(g, g + value->size),
                std::vector<std::uint16_t>(b, b + value->size)};
    }

    Connection connection;
    Connection reader; // another client, as a colour-managed application
    XColorProfiles profiles{connection, {kColord}};
    const DisplayID dummy0 = primaryOutput(connection);
};

TEST_F(XColorProfilesTest, AProfileLandsInThePropertiesAndItsCurvesInTheRamp) {
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
    xcb_randr_change_output_property(reader.get(), dummy0, reader.atom("_ICC_PROFILE"), XCB_ATOM_CARDINAL, 8,
                                     XCB_PROP_MODE_REPLACE, static_cast<std::uint32_t>(other.size()), other.data());
    free(xcb_get_input_focus_reply(reader.get(), xcb_get_input_focus(reader.get()), nullptr));
    const auto foreign = profiles.current(dummy0);
    ASSERT_TRUE(foreign && *foreign);
    EXPECT_EQ((*foreign)->name, profileDescription(other));
    EXPECT_FALSE((*foreign)->name.empty());
    EXPECT_TRUE((*foreign)->file.empty());
}

TEST_F(XColorProfilesTest, RefusesWhatIsNoDisplayProfileOrNoLitOutput) {
    ASSERT_TRUE(profiles.assign(dummy0, kColord / "sRGB.icc"));
    for (const char* file : {"Crayons.icc", "x11-colors.icc", "missing.icc"}) {
        EXPECT_FALSE(profiles.assign(dummy0, kColord / file)) << file;
    }
    EXPECT_EQ(outputProfile(), readFileBytes(kColord / "sRGB.icc")) << "a refusal changes nothing";

    const auto resources = screenResources(connection);
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
    ASSERT_GT(xcb_randr_get_screen_resources_current_outputs_length(resources.get()), 1);
    const DisplayID dark = outputs[1] == dummy0 ? outputs[0] : outputs[1];
    EXPECT_EQ(profiles.current(dark), std::nullopt);
    EXPECT_FALSE(profiles.assign(dark, kColord / "sRGB.icc"));
}

TEST(DesktopColorProfilesTest, UsesXsConventionWhenNoColourManagerAnswers) {
    Connection connection;
    DesktopColorProfiles profiles(connection, {kColord}, "unix:path=/nonexistent/bus");
    EXPECT_FALSE(profiles.usesColord());
    EXPECT_TRUE(profiles.current(primaryOutput(connection)).has_value());
}

} // namespace
} // namespace tavelin::x11
