#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <xcb/xcb.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <string>
#include <vector>

#include "core/cursor_policy.hpp"
#include "input/mouse_input.hpp"
#include "platform/x11/xcb_handles.hpp"
#include "platform/x11/xinput_pointer_monitors.hpp"
#include "platform/x11/xtest_input.hpp"
#include "platform/x11/x11_permissions.hpp"

namespace tavelin::x11 {
namespace {

using namespace std::chrono_literals;

// DUMMY0, the primary output of the test server, as display 1.
class PrimaryOnly final : public DisplayServices {
public:
    std::vector<DisplayMode> modes(DisplayID) override { return {}; }
    std::optional<DisplayMode> currentMode(DisplayID) override { return {}; }
    int setMode(DisplayID, const DisplayMode&) override { return 1; }
    bool isOnline(DisplayID display) override { return display == 1; }
    DisplayBounds bounds(DisplayID display) override {
        return display == 1 ? DisplayBounds{0, 0, 1920, 1080} : DisplayBounds{};
    }
    DisplayID mainDisplay() override { return 1; }
    DisplayID mirrorsDisplay(DisplayID) override { return nullDisplay; }
    std::optional<std::vector<DisplayID>> activeDisplays() override { return std::vector<DisplayID>{1}; }
    std::unique_ptr<DisplayConfigurationTransaction> beginConfiguration() override { return nullptr; }
};

// What a window saw of one pointer event.
struct Seen {
    std::uint8_t type;
    std::uint8_t detail;
    std::int16_t x, y;
    std::uint16_t state;
    friend bool operator==(const Seen&, const Seen&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Seen& s) {
        return out << int(s.type) << '/' << int(s.detail) << '@' << s.x << ',' << s.y << " state " << s.state;
    }
};

constexpr std::uint16_t modifierMask = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

std::string at(const char* type, double x, double y, const std::string& extra = {}) {
    return std::string(R"({"type":")") + type + R"(","x":)" + std::to_string(x) + R"(,"y":)" + std::to_string(y) +
           extra + "}";
}

void roundTrip(const Connection& connection) {
    reply(connection.get(), xcb_get_input_focus_reply, xcb_get_input_focus(connection));
}

class X11Input : public ::testing::Test {
protected:
    X11Input() {
        timings.mouseWatchdogInterval = 10ms;
        timings.mouseSilence = 50ms;
        mouse = std::make_shared<MouseInput>(1, poster, displays, permissions, timings);
        // A window over the whole primary output that reports what reaches it.
        const std::uint32_t values[] = {1, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                               XCB_EVENT_MASK_POINTER_MOTION};
        xcb_create_window(client, XCB_COPY_FROM_PARENT, window, client.root(), 0, 0, 1920, 1080, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(client, window);
        roundTrip(client);
    }
    ~X11Input() override {
        if (mouse) mouse->releaseAll();
        xcb_destroy_window(client, window);
        roundTrip(client);
    }

    // The pointer events the window got since the last call.
    std::vector<Seen> seen() {
        poster.sync();
        roundTrip(client);
        std::vector<Seen> result;
        while (auto* raw = xcb_poll_for_event(client)) {
            Reply<xcb_generic_event_t> event(raw);
            const auto type = static_cast<std::uint8_t>(event->response_type & 0x7f);
            if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE || type == XCB_MOTION_NOTIFY) {
                // Press, release and motion share this layout.
                const auto* e = reinterpret_cast<const xcb_button_press_event_t*>(event.get());
                result.push_back({type, e->detail, e->event_x, e->event_y, e->state});
            }
        }
        return result;
    }

    xcb_keycode_t keycode(xcb_keysym_t keysym) {
        const auto* setup = xcb_get_setup(client);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto mapping = reply(client.get(), xcb_get_keyboard_mapping_reply,
                             xcb_get_keyboard_mapping(client, setup->min_keycode, static_cast<std::uint8_t>(count)));
        const auto* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        for (int k = 0; k < xcb_get_keyboard_mapping_keysyms_length(mapping.get()); ++k)
            if (keysyms[k] == keysym) return static_cast<xcb_keycode_t>(setup->min_keycode + k / mapping->keysyms_per_keycode);
        return 0;
    }

    // Creates a master pointer and keyboard pair; returns the pointer's device id.
    int addMasterPointer(const std::string& name) {
        reply(client.get(), xcb_input_xi_query_version_reply, xcb_input_xi_query_version(client, 2, 2));
        std::vector<std::uint8_t> change(8 + ((name.size() + 3) & ~std::size_t{3}), 0);
        const std::uint16_t header[] = {XCB_INPUT_HIERARCHY_CHANGE_TYPE_ADD_MASTER,
                                        static_cast<std::uint16_t>(change.size() / 4),
                                        static_cast<std::uint16_t>(name.size())};
        std::memcpy(change.data(), header, sizeof header);
        change[6] = 1; // send core events
        change[7] = 1; // enabled
        std::memcpy(change.data() + 8, name.data(), name.size());
        if (check(client, xcb_input_xi_change_hierarchy_checked(
                              client, 1, reinterpret_cast<const xcb_input_hierarchy_change_t*>(change.data()))))
            return -1;
        auto devices = reply(client.get(), xcb_input_xi_query_device_reply,
                             xcb_input_xi_query_device(client, XCB_INPUT_DEVICE_ALL));
        for (auto it = xcb_input_xi_query_device_infos_iterator(devices.get()); it.rem; xcb_input_xi_device_info_next(&it)) {
            if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER &&
                std::string(xcb_input_xi_device_info_name(it.data), it.data->name_len) == name + " pointer")
                return it.data->deviceid;
        }
        return -1;
    }
    void removeMaster(int pointer) {
        const std::uint16_t change[] = {XCB_INPUT_HIERARCHY_CHANGE_TYPE_REMOVE_MASTER, 3,
                                        static_cast<std::uint16_t>(pointer), XCB_INPUT_CHANGE_MODE_FLOAT, 0, 0};
        check(client, xcb_input_xi_change_hierarchy_checked(
                          client, 1, reinterpret_cast<const xcb_input_hierarchy_change_t*>(change)));
    }

    Connection client;
    xcb_window_t window = xcb_generate_id(client);
    X11InputPoster poster;
    X11Permissions permissions;
    PrimaryOnly displays;
    Timings timings;
    asio::io_context engine;
    std::shared_ptr<MouseInput> mouse;
};

TEST_F(X11Input, MovesLandOnTheNearestRootPixel) {
    struct Case {
        double x, y;
        std::int16_t rootX, rootY;
    } const cases[] = {{0.5, 0.5, 960, 540}, {0, 0, 0, 0}, {1, 1, 1919, 1079}};
    for (const auto& c : cases) {
        mouse->receive(at("move", c.x, c.y));
        poster.sync();
        auto pointer = reply(client.get(), xcb_query_pointer_reply, xcb_query_pointer(client, client.root()));
        ASSERT_TRUE(pointer);
        EXPECT_EQ(pointer->root_x, c.rootX) << c.x;
        EXPECT_EQ(pointer->root_y, c.rootY) << c.y;
    }
}

TEST_F(X11Input, ClicksAndDragsReachTheWindowWithTheirButtons) {
    mouse->receive(at("move", 0.25, 0.25));
    seen();
    mouse->receive(at("down", 0.25, 0.25, R"(,"button":0)"));
    mouse->receive(at("move", 0.5, 0.5));
    mouse->receive(at("up", 0.5, 0.5, R"(,"button":0)"));
    mouse->receive(at("down", 0.5, 0.5, R"(,"button":2)"));
    mouse->receive(at("up", 0.5, 0.5, R"(,"button":2)"));
    mouse->receive(at("down", 0.5, 0.5, R"(,"button":1)"));
    mouse->receive(at("up", 0.5, 0.5, R"(,"button":1)"));
    EXPECT_EQ(seen(), (std::vector<Seen>{
                          {XCB_BUTTON_PRESS, 1, 480, 270, 0},
                          {XCB_MOTION_NOTIFY, 0, 960, 540, XCB_BUTTON_MASK_1},
                          {XCB_BUTTON_RELEASE, 1, 960, 540, XCB_BUTTON_MASK_1},
                          {XCB_BUTTON_PRESS, 3, 960, 540, 0},
                          {XCB_BUTTON_RELEASE, 3, 960, 540, XCB_BUTTON_MASK_3},
                          {XCB_BUTTON_PRESS, 2, 960, 540, 0},
                          {XCB_BUTTON_RELEASE, 2, 960, 540, XCB_BUTTON_MASK_2},
                      }));
}

TEST_F(X11Input, FollowsThePrimaryOutputAcrossTheRoot) {
    const auto pointerAt = [&](double x, double y) {
        mouse->receive(at("move", x, y));
        poster.sync();
        auto pointer = reply(client.get(), xcb_query_pointer_reply, xcb_query_pointer(client, client.root()));
        return pointer ? std::pair<int, int>{pointer->root_x, pointer->root_y} : std::pair<int, int>{-1, -1};
    };
    EXPECT_EQ(pointerAt(0, 0), (std::pair<int, int>{0, 0}));
    // A display placed left of the primary shifts the primary's root position; a stale
    // origin would put the pointer on the wrong display.
    ASSERT_EQ(std::system("xrandr --newmode tavelin-input 63.50 1024 1072 1176 1328 768 771 775 798 -hsync +vsync"
                          " && xrandr --addmode DUMMY1 tavelin-input"
                          " && xrandr --output DUMMY1 --mode tavelin-input --pos 0x0"
                          " --output DUMMY0 --primary --pos 1024x0"),
              0);
    EXPECT_EQ(pointerAt(0, 0), (std::pair<int, int>{1024, 0}));
    EXPECT_EQ(pointerAt(1, 1), (std::pair<int, int>{2943, 1079}));
    ASSERT_EQ(std::system("xrandr --output DUMMY1 --off --output DUMMY0 --primary --pos 0x0"), 0);
    EXPECT_EQ(pointerAt(1, 1), (std::pair<int, int>{1919, 1079}));
}

TEST_F(X11Input, ScrollPixelsBecomeWheelClicks) {
    mouse->receive(at("move", 0.5, 0.5));
    seen();
    // 100 pixels a click; leftovers add up until the direction changes.
    for (const char* amounts : {R"(,"dx":0,"dy":250)", R"(,"dx":0,"dy":60)", R"(,"dx":0,"dy":-100)",
                                R"(,"dx":100,"dy":0)", R"(,"dx":-150,"dy":0)"})
        mouse->receive(at("scroll", 0.5, 0.5, amounts));
    std::vector<int> wheels;
    for (const auto& event : seen()) {
        if (event.type == XCB_BUTTON_PRESS) wheels.push_back(event.detail);
    }
    EXPECT_EQ(wheels, (std::vector<int>{5, 5, 5, 4, 7, 6}));
}

TEST_F(X11Input, ModifiersAreHeldAroundTheEventOnly) {
    mouse->receive(at("move", 0.5, 0.5));
    seen();
    mouse->receive(at("down", 0.5, 0.5, R"(,"button":0,"shift":true,"control":true,"alt":true,"meta":true)"));
    mouse->receive(at("up", 0.5, 0.5, R"(,"button":0)"));
    auto events = seen();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].state & modifierMask, modifierMask);
    EXPECT_EQ(events[1].state & modifierMask, 0) << "released after the press";

    // A Shift the user holds is not ours to release.
    const xcb_keycode_t shift = keycode(0xffe1);
    ASSERT_NE(shift, 0);
    xcb_test_fake_input(client, XCB_KEY_PRESS, shift, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    roundTrip(client);
    mouse->receive(at("down", 0.5, 0.5, R"(,"button":0,"shift":true)"));
    mouse->receive(at("up", 0.5, 0.5, R"(,"button":0)"));
    events = seen();
    xcb_test_fake_input(client, XCB_KEY_RELEASE, shift, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    roundTrip(client);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].state & modifierMask, XCB_MOD_MASK_SHIFT);
}

TEST_F(X11Input, WatchdogReleasesAHeldButtonAfterSilence) {
    mouse->receive(at("down", 0.5, 0.5, R"(,"button":0)"));
    seen();
    auto watchdog = TaskHandle::spawn(engine.get_executor(), MouseInput::watchdog(mouse));
    engine.run_for(timings.mouseSilence * 4);
    watchdog.cancel();
    engine.run();
    EXPECT_EQ(seen(), (std::vector<Seen>{{XCB_BUTTON_RELEASE, 1, 960, 540, XCB_BUTTON_MASK_1}}));
    EXPECT_TRUE(mouse->pressed().empty());
}

TEST_F(X11Input, InjectedEventsCarryTheRemoteMarker) {
    X11PointerMonitors monitors(engine.get_executor());
    std::vector<std::int64_t> markers;
    auto watch = monitors.watch([&](std::int64_t marker) { markers.push_back(marker); });
    mouse->receive(at("move", 0.1, 0.1));
    mouse->receive(at("down", 0.1, 0.1, R"(,"button":0)"));
    // The press gave the test window's client an implicit grab, which would steer its
    // own fake input to the grabbing pointer.
    mouse->receive(at("up", 0.1, 0.1, R"(,"button":0)"));
    poster.sync();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (markers.size() < 2 && std::chrono::steady_clock::now() < deadline) engine.run_one_for(100ms);
    EXPECT_EQ(markers, (std::vector<std::int64_t>{CursorPolicy::remoteEventMarker, CursorPolicy::remoteEventMarker}));

    // Fake input through a second master pointer comes from another XTEST device: to us
    // it is the user's own pointer.
    const auto local = addMasterPointer("tavelin-local");
    ASSERT_GT(local, 0);
    xcb_input_xi_set_client_pointer(client, XCB_NONE, static_cast<xcb_input_device_id_t>(local));
    xcb_test_fake_input(client, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, client.root(), 10, 10, 0);
    roundTrip(client);
    mouse->receive(at("move", 0.3, 0.3));
    poster.sync();
    while (markers.size() < 4 && std::chrono::steady_clock::now() < deadline) engine.run_one_for(100ms);
    removeMaster(local);
    EXPECT_EQ(markers, (std::vector<std::int64_t>{CursorPolicy::remoteEventMarker, CursorPolicy::remoteEventMarker, 0,
                                                  CursorPolicy::remoteEventMarker}));

    watch.reset();
    mouse->receive(at("move", 0.2, 0.2));
    poster.sync();
    engine.run_for(100ms);
    EXPECT_EQ(markers.size(), 4u) << "no callback after the watch ended";
}

TEST_F(X11Input, DesktopFacts) {
    EXPECT_TRUE(permissions.isInputTrusted());
    EXPECT_TRUE(permissions.canCaptureScreen());
    EXPECT_EQ(poster.doubleClickInterval(), X11InputPoster::defaultDoubleClickInterval);

    // A settings manager publishing a string before the double-click time.
    auto le32 = [](std::string& blob, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) blob += static_cast<char>((value >> (8 * i)) & 0xff);
    };
    std::string blob("\0\0\0\0", 4);
    le32(blob, 7);
    le32(blob, 2);
    blob += std::string("\1\0\x0d\0", 4) + "Net/ThemeName" + std::string(3, '\0');
    le32(blob, 0);
    le32(blob, 8);
    blob += "Adwaita!";
    blob += std::string("\0\0\x13\0", 4) + "Net/DoubleClickTime" + std::string(1, '\0');
    le32(blob, 0);
    le32(blob, 250);
    const xcb_window_t manager = xcb_generate_id(client);
    xcb_create_window(client, XCB_COPY_FROM_PARENT, manager, client.root(), 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
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
