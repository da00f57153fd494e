// The autostart entry as real files in a temporary XDG_CONFIG_HOME.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/uuid.hpp"
#include "platform/linux/xdg_autostart.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& file) {
    std::ostringstream text;
    text << std::ifstream(file).rdbuf();
    return text.str();
}

class Autostart : public ::testing::Test {
protected:
    Autostart() {
        fs::create_directories(root);
        ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    }
    ~Autostart() override { fs::remove_all(root); }

    const fs::path root = fs::temp_directory_path() / ("tavelin-autostart-" + UUID::random().uuidString());
    const fs::path entry = root / "config" / "autostart" / "tavelin.desktop";
};

TEST_F(Autostart, OnWritesAValidEntryThatStartsTavelinInTheTrayOffRemovesIt) {
    ASSERT_EQ(XdgAutostart::defaultEntry(), entry);
    XdgAutostart autostart(entry, R"(/opt/my "builds" 100%/tavelin)");
    EXPECT_FALSE(autostart.opensAtLogin());
    ASSERT_EQ(autostart.setOpensAtLogin(true), std::nullopt);
    EXPECT_TRUE(autostart.opensAtLogin());
    // Quoted for the space, the quotes escaped twice over, '%' doubled.
    EXPECT_NE(contents(entry).find("\nExec=\"/opt/my \\\\\"builds\\\\\" 100%%/tavelin\" --tray\n"), std::string::npos)
        << contents(entry);
    if (std::system("command -v desktop-file-validate >/dev/null") == 0) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + entry.string() + "'").c_str()), 0) << contents(entry);
    }
    EXPECT_EQ(autostart.setOpensAtLogin(false), std::nullopt);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(autostart.opensAtLogin());

    // The folder cannot be made: the sentence, and still off.
    fs::remove_all(root / "config");
    std::ofstream(root / "config") << "not a folder";
    EXPECT_EQ(autostart.setOpensAtLogin(true),
              "Tavelin cannot open at login: writing " + entry.string() + " failed (Not a directory).");
    EXPECT_FALSE(autostart.opensAtLogin());
}

// Whoever wrote the file: only an entry that starts Tavelin is ours to read and remove.
TEST_F(Autostart, OnlyAnEntryStartingTavelinCountsUnlessHiddenOrDisabled) {
    const std::string ours = XdgAutostart::entryText("tavelin");
    const struct {
        std::string text;
        bool opens, ours;
    } cases[] = {
        {ours, true, true},
        {"[Desktop Entry]\nExec = \"/a b/tavelin\" --tray\n", true, true}, // spaces round '=', a quoted path
        {"[Desktop Entry]\nExec=/usr/bin/tavelin\n", true, true},          // the menu's entry, copied by the user
        {ours + "Hidden=true\n", false, true},                             // a desktop removed it
        {"[Desktop Entry]\nExec=tavelin\nX-GNOME-Autostart-enabled=false\n", false, true}, // GNOME's switch
        {"[Desktop Entry]\nExec=tavelin-helper --tray\n", false, false},
        {"[Desktop Entry]\nExec=other\n[Desktop Action tray]\nExec=tavelin\n", false, false},
    };
    XdgAutostart autostart(entry, "tavelin");
    for (const auto& [text, opens, isOurs] : cases) {
        SCOPED_TRACE(text);
        fs::create_directories(entry.parent_path());
        std::ofstream(entry) << text;
        EXPECT_EQ(autostart.opensAtLogin(), opens);
        EXPECT_EQ(autostart.setOpensAtLogin(false), std::nullopt);
        EXPECT_EQ(fs::exists(entry), !isOurs);
    }
}

// The desktop searches PATH for the name: only this very executable may go by it.
TEST_F(Autostart, TheProgramGoesByNameOnlyWhenThePathFindsThisExecutable) {
    const auto executable = root / "build" / "tavelin";
    for (const auto& folder : {"build", "installed", "other"}) fs::create_directories(root / folder);
    std::ofstream(executable) << "#!/bin/sh\n";
    std::ofstream(root / "other" / "tavelin") << "#!/bin/sh\n";
    for (const auto& program : {executable, root / "other" / "tavelin"}) fs::permissions(program, fs::perms::owner_all);
    fs::create_symlink(executable, root / "installed" / "tavelin");
    const auto in = [&](const char* folder) { return (root / folder).string(); };
    EXPECT_EQ(XdgAutostart::programFor(executable, "/nowhere:" + in("installed")), "tavelin");
    EXPECT_EQ(XdgAutostart::programFor(executable, in("other") + ":" + in("installed")), executable.string());
    EXPECT_EQ(XdgAutostart::programFor(executable, "/usr/bin:/bin"), executable.string());
}

} // namespace
} // namespace tavelin
