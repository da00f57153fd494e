// The main() of every test program that needs GNOME: a private session bus, PipeWire with
// its session manager, and a headless mutter with one virtual monitor, for the whole
// program; never the developer's own session. Ends what it starts by its process id.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ranges>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/gnome/dbus_call.hpp"

namespace {

using namespace std::chrono_literals;

// Its input, its errors and, unless `output` takes it, its output on /dev/null; -1 when it
// could not start.
pid_t spawnQuiet(std::vector<std::string> command, int* output = nullptr) {
    std::vector<char*> argv;
    for (auto& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    GPid pid = -1;
    const int flags = G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL |
                      (output ? 0 : G_SPAWN_STDOUT_TO_DEV_NULL);
    return g_spawn_async_with_pipes(nullptr, argv.data(), nullptr, GSpawnFlags(flags), nullptr, nullptr, &pid, nullptr,
                                    output, nullptr, nullptr) ? pid : -1;
}

// Whether mutter's services are all on the bus.
bool muttersServicesUp() try {
    const auto bus = tavelin::gnome::sessionBus();
    for (const char* name : {"org.gnome.Mutter.DisplayConfig", "org.gnome.Mutter.ScreenCast", "org.gnome.Mutter.RemoteDesktop"}) {
        gboolean owned = FALSE;
        g_variant_get(tavelin::gnome::call(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name), "(b)",
                                           1000).get(), "(b)", &owned);
        if (!owned) return false;
    }
    return true;
} catch (const std::runtime_error&) { return false; }

// `ready` waited for up to `patience`.
template <typename Ready>
bool waitFor(Ready ready, std::chrono::milliseconds patience, std::chrono::milliseconds step) {
    for (auto end = std::chrono::steady_clock::now() + patience; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(step))
        if (ready()) return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    char folderTemplate[] = "/tmp/tavelin-gnome-XXXXXX";
    const std::filesystem::path root = mkdtemp(folderTemplate);
    setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::vector<pid_t> started; // -1 for one that could not start, never to be signalled
    const auto stop = [&](int result) {
        for (const pid_t pid : started | std::views::reverse)
            if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(root);
        return result;
    };
    // dbus-daemon prints its address once it listens.
    const std::string bus = "unix:path=" + (root / "bus").string();
    int printed = -1;
    started.push_back(spawnQuiet({"dbus-daemon", "--session", "--nofork", "--print-address=1", "--address=" + bus}, &printed));
    char first = 0;
    const bool listening = read(printed, &first, 1) == 1;
    close(printed);
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    // The session manager, which links streams to nodes, needs PipeWire's socket in place.
    started.push_back(spawnQuiet({"pipewire"}));
    waitFor([&] { return std::filesystem::exists(root / "pipewire-0"); }, 2s, 20ms);
    started.push_back(spawnQuiet({"wireplumber"}));
    started.push_back(spawnQuiet({"mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor", "1920x1080"}));
    if (!listening || std::ranges::count(started, -1) || !waitFor(muttersServicesUp, 30s, 100ms)) {
        std::fprintf(stderr, "headless mutter did not come up (needs dbus-daemon, pipewire, wireplumber, mutter)\n");
        return stop(1);
    }
    return stop(RUN_ALL_TESTS());
}
