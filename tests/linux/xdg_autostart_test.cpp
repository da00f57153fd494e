// The autostart entry as real files in a temporary XDG_CONFIG_HOME.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

#include "core/uuid.hpp"
#include "platform/linux/xdg_autostart.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;

struct Autostart : ::testing::Test {
    Autostart() { ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1); }
    ~Autostart() override { fs::remove_all(root); }
    const fs::path root = fs::temp_directory_path() / ("tavelin-autostart-" + UUID::random().uuidString());
    const fs::path entry = root / "config" / "autostart" / "tavelin.desktop";
};

TEST_F(Autostart, OnWritesAValidEntryThatStartsTavelinInTheTrayOffRemovesIt) {
    ASSERT_EQ(XdgAutostart::defaultEntry(), entry);
    // The desktop searches PATH for the name: only this very executable may go by it.
    const auto self = fs::read_symlink("/proc/self/exe"), installed = root / "bin" / "tavelin";
    fs::create_directories(installed.parent_path());
    fs::create_symlink(self, installed);
    EXPECT_EQ(XdgAutostart::programFor(self, "/nowhere:" + installed.parent_path().string()), "tavelin");
    EXPECT_EQ(XdgAutostart::programFor(self, "/usr/bin:/bin"), self.string());
    XdgAutostart autostart(entry, R"(/opt/my "builds" 100%/tavelin)");
    ASSERT_EQ(autostart.setOpensAtLogin(true), std::nullopt);
    EXPECT_TRUE(autostart.opensAtLogin());
    const auto text = (std::ostringstream() << std::ifstream(entry).rdbuf()).str();
    // Quoted for the space, the quotes escaped twice over, '%' doubled.
    EXPECT_NE(text.find("\nExec=\"/opt/my \\\\\"builds\\\\\" 100%%/tavelin\" --tray\n"), std::string::npos) << text;
    if (std::system("command -v desktop-file-validate >/dev/null") == 0) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + entry.string() + "'").c_str()), 0) << text;
    }
    EXPECT_EQ(autostart.setOpensAtLogin(false), std::nullopt);
    EXPECT_FALSE(fs::exists(entry));
    fs::remove_all(root / "config");
    std::ofstream(root / "config") << "a file where its folder goes";
    EXPECT_EQ(autostart.setOpensAtLogin(true),
              "Tavelin cannot open at login: writing " + entry.string() + " failed (Not a directory).");
    EXPECT_FALSE(autostart.opensAtLogin());
}

// Whoever wrote the file: only an entry that starts Tavelin is ours to read and remove.
TEST_F(Autostart, OnlyAnEntryStartingTavelinCountsUnlessHiddenOrDisabled) {
    const std::string group = "[Desktop Entry]\nExec=tavelin\n";
    const std::tuple<std::string, bool, bool> cases[] = { // text, opens at login, ours to remove
        {"[Desktop Entry]\nExec = \"/a b/tavelin\" --tray\n", true, true}, // spaces round '=', a quoted path
        {group + "Hidden=true\n", false, true},                            // a desktop removed it
        {group + "X-GNOME-Autostart-enabled=false\n", false, true},        // GNOME's switch turned it off
        {"[Desktop Entry]\nExec=tavelin-helper\n[Desktop Action tray]\nExec=tavelin\n", false, false},
    };
    XdgAutostart autostart(entry, "tavelin");
    fs::create_directories(entry.parent_path());
    for (const auto& [text, opens, ours] : cases) {
        std::ofstream(entry) << text;
        EXPECT_EQ(autostart.opensAtLogin(), opens) << text;
        EXPECT_EQ(autostart.setOpensAtLogin(false), std::nullopt);
        EXPECT_EQ(fs::exists(entry), !ours) << text;
    }
}

} // namespace
} // namespace tavelin
