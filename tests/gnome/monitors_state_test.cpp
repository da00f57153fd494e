#include <gtest/gtest.h>

#include <string>

#include "platform/gnome/dbus_call.hpp"
#include "platform/gnome/monitors_state.hpp"

namespace tavelin::gnome {
namespace {

Variant parsed(const char* type, const std::string& text) {
    GError* error = nullptr;
    GVariant* value = g_variant_parse(G_VARIANT_TYPE(type), text.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(error, nullptr) << (error ? error->message : "");
    if (error) g_error_free(error);
    return own(value);
}

constexpr const char* stateType = "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})";

// A laptop panel at scale 2 in a logical layout, and two monitors mirroring each other
// to its right, the second turned a quarter.
const std::string laptop =
    "(uint32 7, [(('eDP-1', 'BOE', '0x0747', '0x00000000'), [('2560x1600@60.002', 2560, 1600, 60.002, 2.0, [1.0, "
    "2.0], {'is-current': <true>}), ('1920x1200@60.000', 1920, 1200, 60.0, 1.0, [1.0], @a{sv} {})], {'is-builtin': "
    "<true>, 'display-name': <'Built-in display'>}), (('HDMI-1', 'DEL', 'U2720Q', 'ABC'), [('3840x2160@30.000', 3840, "
    "2160, 30.0, 2.0, [1.0, 2.0], {'is-current': <true>})], @a{sv} {}), (('DP-2', 'GSM', 'LG', '1'), "
    "[('3840x2160@60.000', 3840, 2160, 60.0, 2.0, [2.0], {'is-current': <true>})], @a{sv} {}), (('DP-3', 'X', 'Y', "
    "'Z'), [('1280x720@60.000', 1280, 720, 60.0, 1.0, [1.0], @a{sv} {})], @a{sv} {})], [(0, 0, 2.0, uint32 0, true, "
    "[('eDP-1', 'BOE', '0x0747', '0x00000000')], @a{sv} {}), (1280, 0, 2.0, uint32 1, false, [('HDMI-1', 'DEL', "
    "'U2720Q', 'ABC'), ('DP-2', 'GSM', 'LG', '1')], @a{sv} {})], {'layout-mode': <uint32 1>})";

TEST(MonitorsState, ReadsMonitorsModesAndLogicalMonitors) {
    const auto mirrored = parseMonitorsState(parsed(stateType, laptop).get());
    ASSERT_TRUE(mirrored);
    EXPECT_TRUE(mirrored->monitor("eDP-1")->builtin);
    EXPECT_EQ(mirrored->monitor("eDP-1")->displayName, "Built-in display");
    EXPECT_EQ(mirrored->monitor("eDP-1")->currentMode()->id, "2560x1600@60.002"); // not the first listed only
    // Points are pixels over the scale; a quarter turn swaps the sides; both mirrors share a place.
    using Case = std::pair<const char*, std::optional<DisplayBounds>>;
    for (const auto& [connector, bounds] : {Case{"eDP-1", DisplayBounds{0, 0, 1280, 800}}, {"HDMI-1", DisplayBounds{1280, 0, 1080, 1920}},
                                            {"DP-2", DisplayBounds{1280, 0, 1080, 1920}}, {"DP-3", std::nullopt}, {"absent", std::nullopt}}) {
        EXPECT_EQ(mirrored->bounds(connector), bounds) << connector;
    }
}

TEST(MonitorsState, RefusesRepliesOfAnotherShape) {
    EXPECT_FALSE(parseMonitorsState(nullptr));
    EXPECT_FALSE(parseMonitorsState(parsed("(u)", "(uint32 2,)").get()));
}

TEST(MonitorsState, ConfigPutsEachMonitorInItsCurrentMode) {
    const auto state = parseMonitorsState(parsed(stateType, laptop).get());
    ASSERT_TRUE(state);
    // The panel to the right of the mirrored pair, now primary; a monitor without a mode is left out.
    const Variant config(own(monitorsConfig(
        *state, {{0, 0, 2.0, 1, true, {"HDMI-1", "DP-2", "DP-3"}}, {1080, 0, 2.0, 0, false, {"eDP-1"}}}, 1)));
    gchar* text = g_variant_print(config.get(), FALSE);
    EXPECT_STREQ(text, "(7, 1, [(0, 0, 2.0, 1, true, [('HDMI-1', '3840x2160@30.000', {}), ('DP-2', "
                       "'3840x2160@60.000', {})]), (1080, 0, 2.0, 0, false, [('eDP-1', '2560x1600@60.002', {})])], {})");
    g_free(text);
}

} // namespace
} // namespace tavelin::gnome
