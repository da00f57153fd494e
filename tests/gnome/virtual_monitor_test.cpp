#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <optional>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "core/cursor_policy.hpp"
#include "platform/gnome/mutter_display_services.hpp"
#include "platform/gnome/mutter_input.hpp"
#include "platform/gnome/mutter_physical_displays.hpp"
#include "platform/gnome/mutter_pointer_monitors.hpp"
#include "platform/gnome/mutter_virtual_displays.hpp"
#include "platform/gnome/mutter_virtual_monitor.hpp"
#include "platform/gnome/settings_daemon_brightness.hpp"
#include "tests/support/fake_dbus_service.hpp"
#include "tests/support/fake_desk.hpp"

namespace tavelin::gnome {
namespace {

using namespace std::chrono_literals;

MouseEvent motion(double x, double y) { return {MouseEventType::moved, 0, x, y, {}, 1}; }

// The Wayland test client, full screen on the output at (x, y) of the layout.
class TestClient {
public:
    TestClient(std::int32_t x, std::int32_t y) {
        std::string program = POINTER_CLIENT, x0 = std::to_string(x), y0 = std::to_string(y);
        char* argv[] = {program.data(), x0.data(), y0.data(), nullptr};
        g_spawn_async_with_pipes(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid_, nullptr,
                                 &output_, nullptr, nullptr);
    }
    ~TestClient() {
        if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
        close(output_);
    }
    // The next line the client prints, or "" after `ms`.
    std::string next(int ms = 2000) {
        for (;;) {
            if (const auto end = heard_.find('\n'); end != std::string::npos) {
                std::string line = heard_.substr(0, end);
                heard_.erase(0, end + 1);
                return line;
            }
            pollfd ready{output_, POLLIN, 0};
            char chunk[256];
            const ssize_t got = poll(&ready, 1, ms) > 0 ? read(output_, chunk, sizeof chunk) : 0;
            if (got <= 0) return std::string();
            heard_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    // Moves the pointer there until the client hears it: its window is shown a moment
    // after it says so.
    bool pointerAt(InputPoster& input, double x, double y, const std::string& expected) {
        std::string moved;
        for (int tries = 0; tries < 20 && moved != expected; ++tries) {
            if (!input.post(motion(x, y))) return false;
            for (std::string line; moved != expected && !(line = next(200)).empty();) moved = line;
        }
        return moved == expected;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string heard_;
};

// Two virtual monitors beside the headless one, through the display services the model uses.
TEST(MutterDisplayServices, PlacesMirrorsAndMakesMain) {
    auto first = MutterVirtualMonitor::create(sessionBus(), 1280, 720, 60);
    auto second = MutterVirtualMonitor::create(sessionBus(), 1280, 720, 60);
    const auto bus = sessionBus();
    MutterDisplayServices services(bus.get());
    const DisplayID headless = displayIDOf("Meta-0"), a = displayIDOf(first->connector()), b = displayIDOf(second->connector());
    EXPECT_EQ(services.mainDisplay(), headless);
    const auto staged = [&](auto&& stage) {
        auto transaction = services.beginConfiguration();
        EXPECT_EQ(stage(*transaction), DisplayError::none);
        return transaction->complete();
    };
    // Mirroring: one logical monitor for both; the second follows the first.
    EXPECT_EQ(staged([&](auto& t) { return t.configureMirror(b, a); }), DisplayError::none);
    EXPECT_EQ(services.mirrorsDisplay(b), a);
    EXPECT_EQ(services.bounds(b), services.bounds(a));
    // Placed at the global origin, the first becomes main and the coordinates follow it;
    // the headless monitor it covered is pushed aside, its mirror comes along.
    EXPECT_EQ(staged([&](auto& t) { return t.configureOrigin(a, 0, 0); }), DisplayError::none);
    EXPECT_EQ(services.mainDisplay(), a);
    EXPECT_EQ(services.bounds(headless), (DisplayBounds{1280, 0, 1920, 1080}));
    EXPECT_EQ(services.bounds(b), (DisplayBounds{0, 0, 1280, 720}));
    // No longer mirrored, the second goes to the right of the others.
    EXPECT_EQ(staged([&](auto& t) { return t.configureMirror(b, nullDisplay); }), DisplayError::none);
    EXPECT_EQ(services.mirrorsDisplay(b), nullDisplay);
    EXPECT_EQ(services.bounds(b), (DisplayBounds{3200, 0, 1280, 720}));
    EXPECT_EQ(services.activeDisplays()->size(), 3u);
    // A layout mutter cannot make (the two apart) is refused, and nothing moves.
    EXPECT_EQ(staged([&](auto& t) { return t.configureOrigin(b, 5000, 5000); }), DisplayError::failure);
    EXPECT_EQ(services.bounds(b), (DisplayBounds{3200, 0, 1280, 720}));
    // A layout read before the last change (a stale serial) is refused, never applied over it.
    const auto state = currentMonitors(bus.get());
    ASSERT_TRUE(state);
    EXPECT_THROW(applyMonitors(bus.get(), MonitorsState{state->serial - 1, state->monitors, {}, false},
                               {{0, 0, 1, 0, true, {"Meta-0"}}}, 1),
                 std::runtime_error);
}

// The ports on the session's mutter, as the model uses them.
struct MutterPorts : ::testing::Test {
    const Connection bus = sessionBus();
    MutterDisplayServices services{bus.get()};
    MutterVirtualDisplays displays{services};
    MutterInputPoster input{services, displays};
};
using MutterVirtualDisplaysTest = MutterPorts;
using MutterPointerMonitorsTest = MutterPorts;
using MutterPhysicalDisplaysTest = MutterPorts;

// Which display is main and which are listed is the display services' case.
TEST_F(MutterPhysicalDisplaysTest, NamesMuttersMonitor) {
    MutterPhysicalDisplays physical(services);
    const DisplayID headless = displayIDOf("Meta-0");
    EXPECT_FALSE(physical.isBuiltIn(headless));
    EXPECT_FALSE(physical.name(headless).empty());
    EXPECT_NE(physical.identity(headless), DisplayIdentity{}) << "mutter names who the monitor is";
}

// A display with the test client's window over all of it, the pointer at (320, 180) on it;
// what the client hears of the pointer is what a user's application would.
struct OnADisplay : MutterPorts {
    void SetUp() override {
        // mutter shows a pointer once its remote-desktop device exists, which its first motion
        // makes: before that, the client's pointer image would not be sent.
        ASSERT_TRUE(input.post(motion(bounds.x + 10, bounds.y + 10)));
        client.emplace(bounds.x, bounds.y);
        ASSERT_EQ(client->next(), "ready 1280 720");
        ASSERT_TRUE(client->pointerAt(input, bounds.x + 320, bounds.y + 180, "motion 320 180"));
    }
    const std::unique_ptr<VirtualDisplay> display = displays.create(1280, 720, 60, false, "Tavelin", "saved-1");
    const DisplayBounds bounds = services.bounds(display->displayID());
    std::optional<TestClient> client;
};
using MutterInputPosterTest = OnADisplay;
using MutterCapturedPointerTest = OnADisplay;

// Through the ports: a HiDPI display, gone with its object. Its scale of 2 and its
// picture at the full pixel size are the browser test's.
TEST_F(MutterVirtualDisplaysTest, CreatesAndReleasesHiDPIDisplays) {
    // Half of 1280 × 720 is below the smallest desktop mutter scales to.
    EXPECT_THROW(displays.create(1280, 720, 60, true, "Tavelin", "saved-1"), VirtualDisplayError);
    auto display = displays.create(1920, 1080, 60, true, "Tavelin", "saved-1");
    const DisplayID id = display->displayID();
    ASSERT_EQ(displays.shareableDisplays().size(), 1u);
    display.reset();
    EXPECT_FALSE(services.isOnline(id));
    EXPECT_TRUE(displays.shareableDisplays().empty());
}

TEST_F(MutterInputPosterTest, MovesClicksAndScrollsOnTheDisplay) {
    const auto next = [&](int ms = 2000) { return client->next(ms); };
    const double x = bounds.x + 320, y = bounds.y + 180;
    const ModifierFlags control{.control = true};
    const auto click = [&](MouseEventType down, MouseEventType up, int button, ModifierFlags flags = {}) {
        return input.post({down, button, x, y, flags, 1}) && input.post({up, button, x, y, flags, 1});
    };
    // mutter makes the session's keyboard with its first key, and the client binds it only
    // once the seat says so: Control-clicks until the client hears the key's release.
    bool hearsKeys = false;
    for (int tries = 0; tries < 5 && !hearsKeys; ++tries) {
        ASSERT_TRUE(click(MouseEventType::rightDown, MouseEventType::rightUp, 2, control));
        for (std::string line; (line = next()) != "button 273 0";) ASSERT_FALSE(line.empty());
        hearsKeys = next(500) == "key 29 0";
    }
    ASSERT_TRUE(hearsKeys) << "the client never got a keyboard";
    ASSERT_TRUE(click(MouseEventType::rightDown, MouseEventType::rightUp, 2, control));
    ASSERT_TRUE(input.postScroll(x, y, 12, 0, {}));
    std::vector<std::string> lines;
    for (std::string line; lines.size() < 7 && !(line = next()).empty();) {
        if (!line.starts_with("motion")) lines.push_back(line);
    }
    // BTN_RIGHT with KEY_LEFTCTRL held around each half of the click (BTN_LEFT is the
    // browser test's click); a scroll upwards is a negative vertical axis (0) on Wayland.
    EXPECT_EQ(lines, (std::vector<std::string>{"key 29 1", "button 273 1", "key 29 0", "key 29 1", "button 273 0",
                                               "key 29 0", "axis 0 -12"}));
    // Outside our displays Wayland lets us move nothing.
    EXPECT_FALSE(input.post(motion(bounds.x - 10, y)));
}

// What the picture shows around (x, y): whether the 16 × 16 square from there is the
// test client's black pointer, and whether the pixels just left of and above it are its
// white window.
std::pair<bool, bool> pointerAt(const PixelBuffer& picture, std::int64_t x, std::int64_t y) {
    const auto pixel = [&](std::int64_t px, std::int64_t py) {
        return reinterpret_cast<const std::uint32_t*>(picture.data + py * picture.stride)[px] & 0xffffff;
    };
    bool black = true, white = true;
    for (std::int64_t i = 0; i < 16; ++i) {
        for (std::int64_t j = 0; j < 16; ++j) black = black && pixel(x + i, y + j) == 0;
        white = white && pixel(x - 1, y + i) == 0xffffff && pixel(x + i, y - 1) == 0xffffff;
    }
    return {black, white};
}

// mutter sends the pointer as metadata; the capture draws it into the pictures where it
// is, puts back what it covered when it moves, and leaves it out when told to.
TEST_F(MutterCapturedPointerTest, DrawsThePointerWhereItIsWhileShown) {
    std::mutex lock;
    std::condition_variable arrived;
    std::shared_ptr<const PixelBuffer> latest;
    CaptureConfiguration configuration; // the pointer shown
    auto stream = displays.start(displays.shareableDisplays()[0], configuration, [&](const CapturedFrame& frame) {
        std::lock_guard guard(lock);
        latest = frame.buffer;
        arrived.notify_all();
    }, [](const std::string&) {});
    // What the first picture that shows `expected` at (x, y) shows there, or the last one.
    // mutter may leave out a change of pointer image that comes just after a picture it
    // sent: the pointer is moved there again until it shows.
    const auto seen = [&](std::int64_t x, std::int64_t y, std::pair<bool, bool> expected) {
        for (int tries = 0; tries < 10; ++tries) {
            if (tries > 0) {
                input.post(motion(bounds.x + x + 1, bounds.y + y));
                input.post(motion(bounds.x + x, bounds.y + y));
            }
            std::unique_lock guard(lock);
            if (arrived.wait_for(guard, 300ms, [&] { return latest && pointerAt(*latest, x, y) == expected; })) break;
        }
        std::lock_guard guard(lock);
        return latest ? pointerAt(*latest, x, y) : std::pair(false, false);
    };
    // The still display's picture comes first, with the pointer; its size is the browser test's.
    EXPECT_EQ(seen(320, 180, {true, true}), std::pair(true, true));
    // A move of the pointer alone redraws the picture; the window is back where it was.
    ASSERT_TRUE(input.post(motion(bounds.x + 900, bounds.y + 500)));
    EXPECT_EQ(seen(900, 500, {true, true}), std::pair(true, true));
    EXPECT_EQ(pointerAt(*latest, 320, 180), std::pair(false, true)) << "the pointer left a trace where it was";
    configuration.showsCursor = false;
    stream->update(configuration);
    EXPECT_EQ(seen(900, 500, {false, true}), std::pair(false, true));
}

// Wayland reports no one's pointer; the monitors tell the user's own motion from ours by
// the pointer's position in our display's stream. A second remote-desktop session of
// mutter moving the pointer stands in for the user's mouse.
TEST_F(MutterPointerMonitorsTest, TellTheUsersPointerFromOurs) {
    asio::io_context engine;
    const auto busy = asio::make_work_guard(engine); // run_for waits for reports
    MutterPointerMonitors monitors(engine.get_executor(), displays);
    std::vector<std::int64_t> heard;
    auto watch = monitors.watch([&](std::int64_t marker) { heard.push_back(marker); });
    auto display = displays.create(1280, 720, 60, false, "Tavelin", "saved-1");
    const DisplayBounds bounds = services.bounds(display->displayID());
    // Reports until `enough` holds of them, for up to ten seconds (mutter answers slowly
    // under a sanitizer build on a busy machine). mutter may leave out a pointer update
    // that comes just after a picture it sent, so `act` makes the motion again each second.
    const auto hearUntil = [&](auto enough, auto act) {
        for (int tries = 0; tries < 200 && !enough(); ++tries) {
            if (tries % 20 == 0) act(tries / 20);
            engine.run_for(50ms);
        }
        return enough();
    };
    const auto user = [&](std::size_t from) {
        return std::find(heard.begin() + static_cast<std::ptrdiff_t>(from), heard.end(), 0) != heard.end();
    };
    const auto ourMotion = [&](double x, double y) {
        return [this, &bounds, x, y](int again) { input.post(motion(bounds.x + x + again % 2, bounds.y + y)); };
    };
    for (const double x : {100.0, 140.0}) ASSERT_TRUE(input.post(motion(bounds.x + x, bounds.y + 100)));
    ASSERT_TRUE(hearUntil([&] { return !heard.empty(); }, ourMotion(180, 100)));
    EXPECT_FALSE(user(0)) << "our own motion taken for the user's";

    const auto other = sessionBus();
    const auto path = call(other.get(), "org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                           "org.gnome.Mutter.RemoteDesktop", "CreateSession", nullptr, "(o)");
    const gchar* session = nullptr;
    g_variant_get(path.get(), "(&o)", &session);
    const auto inSession = [&](const char* method, GVariant* arguments) {
        call(other.get(), "org.gnome.Mutter.RemoteDesktop", session, "org.gnome.Mutter.RemoteDesktop.Session", method, arguments, "()");
    };
    inSession("Start", nullptr);
    const std::size_t ours = heard.size();
    const auto theirMotion = [&](int again) {
        const double step = again % 2 == 0 ? 1.0 : -1.0; // back and forth, staying on our display
        inSession("NotifyPointerMotionRelative", g_variant_new("(dd)", 30.0 * step, 20.0 * step));
    };
    EXPECT_TRUE(hearUntil([&] { return user(ours); }, theirMotion));
    // Ours again after the user's.
    const std::size_t theirs = heard.size();
    EXPECT_TRUE(hearUntil([&] { return heard.size() > theirs && heard.back() == CursorPolicy::remoteEventMarker; },
                          ourMotion(400, 300)));
}

// FakeDesk's display 7 is its built-in panel, 5 an external monitor.
TEST(SettingsDaemonBrightness, DrivesOnlyTheBuiltInPanel) {
    const Connection bus = sessionBus();
    testing::FakeDesk desk;
    SettingsDaemonBrightness brightness(bus.get(), desk);
    EXPECT_FALSE(brightness.brightness(7)) << "no settings daemon: no slider";
    // GNOME's settings daemon as far as brightness goes: the Screen interface's percentage.
    int percent = 40;
    const testing::FakeDBusService daemon(
        sessionBus(), "org.gnome.SettingsDaemon.Power", "/org/gnome/SettingsDaemon/Power",
        "<node><interface name='org.gnome.SettingsDaemon.Power.Screen'>"
        "<property name='Brightness' type='i' access='readwrite'/></interface></node>",
        {.get = [&](const gchar*) { return g_variant_new_int32(percent); },
         .set = [&](const gchar*, GVariant* value) { percent = g_variant_get_int32(value); }});
    EXPECT_EQ(brightness.brightness(7), 0.4);
    EXPECT_FALSE(brightness.brightness(5)) << "an external monitor is not the daemon's";
    EXPECT_TRUE(brightness.setBrightness(7, 0.755));
    EXPECT_EQ(brightness.brightness(7), 0.76);
    EXPECT_FALSE(brightness.setBrightness(5, 0.5));
    percent = -1; // the daemon found no backlight
    EXPECT_FALSE(brightness.brightness(7));
}

} // namespace
} // namespace tavelin::gnome
