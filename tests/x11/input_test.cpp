#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <xcb/xcb.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/cursor_policy.hpp"
#include "input/mouse_input.hpp"
#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/x11_permissions.hpp"
#include "platform/x11/xcb_handles.hpp"
#include "platform/x11/xinput_pointer_monitors.hpp"
#include "platform/x11/xtest_input.hpp"
#include "tests/support/mouse_packets.hpp"

namespace tavelin::x11 {
namespace {

using namespace std::chrono_literals;

// What the test window saw of one pointer event: type, button, x, y and state.
using Seen = std::tuple<int, int, int, int, int>;

using support::at;

void roundTrip(const Connection& connection) {
    reply(connection.get(), xcb_get_input_focus_reply, xcb_get_input_focus(connection));
}

// MouseInput on the primary output DUMMY0 (1920 x 1080 at global 0, 0), with a window over
// all of it that reports the pointer events reaching it.
class X11Input : public ::testing::Test {
protected:
    X11Input() {
        const std::uint32_t values[] = {1, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                               XCB_EVENT_MASK_POINTER_MOTION};
        xcb_create_window(client, XCB_COPY_FROM_PARENT, window, client.root(), 0, 0, 1920, 1080, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(client, window);
        roundTrip(client);
    }
    // The window goes with the client's connection.
    ~X11Input() override { mouse->releaseAll(); }

    std::vector<Seen> seen() {
        poster.sync();
        roundTrip(client);
        std::vector<Seen> result;
        while (auto* raw = xcb_poll_for_event(client)) {
            Reply<xcb_generic_event_t> event(raw);
            const auto type = static_cast<std::uint8_t>(event->response_type & 0x7f);
            if (type != XCB_BUTTON_PRESS && type != XCB_BUTTON_RELEASE && type != XCB_MOTION_NOTIFY) continue;
            const auto* e = reinterpret_cast<const xcb_button_press_event_t*>(event.get()); // shared layout
            result.emplace_back(type, e->detail, e->event_x, e->event_y, e->state);
        }
        return result;
    }

    std::pair<int, int> pointerAfterMove(double x, double y) {
        mouse->receive(at("move", x, y));
        poster.sync();
        auto pointer = reply(client.get(), xcb_query_pointer_reply, xcb_query_pointer(client, client.root()));
        return {pointer->root_x, pointer->root_y};
    }

    asio::io_context engine;
    Connection client;
    xcb_window_t window = xcb_generate_id(client);
    X11InputPoster poster;
    X11Permissions permissions;
    RandRDisplayServices displays{engine.get_executor()};
    const std::shared_ptr<MouseInput> mouse =
        std::make_shared<MouseInput>(displays.mainDisplay(), poster, displays, permissions);
};

// The middle is the clicks case's.
TEST_F(X11Input, PositionsLandOnTheNearestRootPixelOfTheDisplay) {
    // An output left of the primary shifts the primary's root position; a stale origin
    // would put the pointer on the wrong display.
    ASSERT_EQ(std::system("xrandr --newmode tavelin-input 63.50 1024 1072 1176 1328 768 771 775 798 -hsync +vsync"
                          " && xrandr --addmode DUMMY1 tavelin-input && xrandr --output DUMMY1 --mode tavelin-input"
                          " --pos 0x0 --output DUMMY0 --primary --pos 1024x0"),
              0);
    EXPECT_EQ(pointerAfterMove(0, 0), (std::pair{1024, 0}));
    EXPECT_EQ(pointerAfterMove(1, 1), (std::pair{2943, 1079}));
    ASSERT_EQ(std::system("xrandr --output DUMMY1 --off --output DUMMY0 --primary --pos 0x0"), 0);
}

TEST_F(X11Input, ClicksDragsAndWheelClicksReachTheWindowWrappedInTheirModifiers) {
    mouse->receive(at("move", 0.25, 0.25));
    seen();
    const std::string keys = R"(,"shift":true,"control":true,"alt":true,"meta":true)";
    constexpr int all = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
    // No stray motion before a press or release where the pointer already is; modifier
    // keys are down around their event only.
    std::vector<Seen> expected;
    for (const auto& [type, x, button, held, event] : std::vector<std::tuple<const char*, double, int, bool, Seen>>{
             {"down", 0.25, 0, false, {XCB_BUTTON_PRESS, 1, 480, 270, 0}},
             {"move", 0.5, 0, false, {XCB_MOTION_NOTIFY, 0, 960, 540, XCB_BUTTON_MASK_1}},
             {"up", 0.5, 0, false, {XCB_BUTTON_RELEASE, 1, 960, 540, XCB_BUTTON_MASK_1}},
             {"down", 0.5, 1, false, {XCB_BUTTON_PRESS, 2, 960, 540, 0}},
             {"up", 0.5, 1, false, {XCB_BUTTON_RELEASE, 2, 960, 540, XCB_BUTTON_MASK_2}},
             {"down", 0.5, 0, true, {XCB_BUTTON_PRESS, 1, 960, 540, all}},
             {"up", 0.5, 0, false, {XCB_BUTTON_RELEASE, 1, 960, 540, XCB_BUTTON_MASK_1}}}) {
        mouse->receive(at(type, x, x, ",\"button\":" + std::to_string(button) + (held ? keys : "")));
        expected.push_back(event);
    }
    EXPECT_EQ(seen(), expected);

    // 100 pixels a click; leftovers add up until the direction changes.
    for (const char* amounts : {R"("dx":0,"dy":250)", R"("dx":0,"dy":60)", R"("dx":0,"dy":-100)",
                                R"("dx":100,"dy":0)", R"("dx":-150,"dy":0)"})
        mouse->receive(at("scroll", 0.5, 0.5, std::string(",") + amounts));
    std::vector<int> wheels;
    for (const auto& [type, button, x, y, state] : seen())
        if (type == XCB_BUTTON_PRESS) wheels.push_back(button);
    EXPECT_EQ(wheels, (std::vector<int>{5, 5, 5, 4, 7, 6}));
}

TEST_F(X11Input, OnlyInjectedEventsCarryTheRemoteMarker) {
    X11PointerMonitors monitors(engine.get_executor());
    std::vector<std::int64_t> markers;
    auto watch = monitors.watch([&](std::int64_t marker) { markers.push_back(marker); });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    const auto await = [&](std::size_t count) {
        poster.sync();
        while (markers.size() < count && std::chrono::steady_clock::now() < deadline) engine.run_one_for(100ms);
    };
    mouse->receive(at("move", 0.1, 0.1));
    mouse->receive(at("down", 0.1, 0.1, R"(,"button":0)"));
    // The press gave this client an implicit grab, which would steer its own fake input
    // to the grabbing pointer.
    mouse->receive(at("up", 0.1, 0.1, R"(,"button":0)"));
    await(2);

    // Fake input through a second master pointer comes from another XTEST device: to us
    // it is the user's own pointer.
    ASSERT_EQ(std::system("xinput create-master tavelin-local"), 0);
    std::unique_ptr<FILE, int (*)(FILE*)> list(popen("xinput list --id-only 'tavelin-local pointer'", "r"), pclose);
    int local = 0;
    ASSERT_EQ(std::fscanf(list.get(), "%d", &local), 1);
    reply(client.get(), xcb_input_xi_query_version_reply, xcb_input_xi_query_version(client, 2, 2));
    xcb_input_xi_set_client_pointer(client, XCB_NONE, static_cast<xcb_input_device_id_t>(local));
    xcb_test_fake_input(client, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, client.root(), 10, 10, 0);
    roundTrip(client);
    mouse->receive(at("move", 0.3, 0.3));
    await(4);
    EXPECT_EQ(std::system("xinput remove-master 'tavelin-local pointer'"), 0);
    constexpr auto remote = CursorPolicy::remoteEventMarker;
    EXPECT_EQ(markers, (std::vector<std::int64_t>{remote, remote, 0, remote}));

    watch.reset();
    mouse->receive(at("move", 0.2, 0.2));
    poster.sync();
    engine.run_for(100ms);
    EXPECT_EQ(markers.size(), 4u) << "no callback after the watch ended";
}

TEST_F(X11Input, TheDesktopsDoubleClickTime) {
    EXPECT_EQ(poster.doubleClickInterval(), X11InputPoster::defaultDoubleClickInterval);

    // A settings manager publishing a string, then Net/DoubleClickTime = 250 (LSB first).
    using namespace std::string_literals;
    const std::string blob = "\0\0\0\0"s + "\7\0\0\0"s + "\2\0\0\0"s +                      // serial, count
                             "\1\0\x0d\0Net/ThemeName\0\0\0"s + "\0\0\0\0"s + "\x08\0\0\0Adwaita!"s + // string
                             "\0\0\x13\0Net/DoubleClickTime\0"s + "\0\0\0\0"s + "\xfa\0\0\0"s;      // integer
    const xcb_window_t manager = window; // the settings manager's window, for this test
    const xcb_atom_t settings = client.atom("_XSETTINGS_SETTINGS");
    xcb_change_property(client, XCB_PROP_MODE_REPLACE, manager, settings, settings, 8,
                        static_cast<std::uint32_t>(blob.size()), blob.data());
    xcb_set_selection_owner(client, manager, client.atom("_XSETTINGS_S0"), XCB_CURRENT_TIME);
    roundTrip(client);
    EXPECT_EQ(poster.doubleClickInterval(), 250ms);

    xcb_destroy_window(client, manager);
    roundTrip(client);
    EXPECT_EQ(poster.doubleClickInterval(), X11InputPoster::defaultDoubleClickInterval);
}

} // namespace
} // namespace tavelin::x11
