// The Linux desktop beside the display server, on files and buses of the test's own:
// brightness (the kernel's backlight devices in a sysfs tree, logind's SetBrightness
// answered by a stand-in on a private system bus, and DDC/CI monitors behind a scripted
// bus), the profile listing on a tree of real profiles from colord-data and
// icc-profiles-free (which files count as display profiles, what they are called and in
// which order), and the autostart entry in a temporary XDG_CONFIG_HOME.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <tuple>

#include "core/uuid.hpp"
#include "platform/gnome/dbus_call.hpp"
#include "platform/linux/ddc_brightness.hpp"
#include "platform/linux/icc_profiles.hpp"
#include "platform/linux/sysfs_backlight.hpp"
#include "platform/linux/xdg_autostart.hpp"
#include "tests/support/fake_dbus_service.hpp"
#include "tests/support/private_system_bus.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;

// A folder of the test's own, gone after it.
struct TempFolder : ::testing::Test {
    ~TempFolder() override { fs::remove_all(root); }
    const fs::path root = fs::temp_directory_path() / ("tavelin-linux-" + UUID::random().uuidString());
};

std::vector<std::uint8_t> monitorEDID(std::uint8_t tag) {
    std::vector<std::uint8_t> edid(256, 0);
    edid[8] = tag; // the base block differs; the extension is never compared
    return edid;
}

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string read(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
}

struct RecordingWriter final : BacklightWriter {
    bool write(const std::string& device, std::uint32_t value) override {
        written.emplace_back(device, value);
        return true;
    }
    std::vector<std::pair<std::string, std::uint32_t>> written;
};

class Backlights : public TempFolder {
protected:
    // A device under class/backlight; `connector` empty: it hangs off firmware, not a connector.
    fs::path device(const std::string& name, const std::string& type, const std::string& connector = {},
                    bool enabled = true, std::uint8_t edidTag = 1) {
        const fs::path dir = root / "class/backlight" / name;
        put(dir / "type", type + "\n");
        put(dir / "max_brightness", "1000\n");
        put(dir / "actual_brightness", "250\n");
        put(dir / "brightness", "250\n");
        if (!connector.empty()) {
            put(dir / "device/status", "connected\n");
            put(dir / "device/enabled", enabled ? "enabled\n" : "disabled\n");
            const auto edid = monitorEDID(edidTag);
            std::ofstream(dir / "device/edid", std::ios::binary).write(reinterpret_cast<const char*>(edid.data()),
                                                                      edid.size());
        }
        return dir;
    }

    RecordingWriter* writer = new RecordingWriter;
    SysfsBacklight backlight{root, std::unique_ptr<BacklightWriter>(writer)};
    const std::vector<std::uint8_t> panel = monitorEDID(1);
};

TEST_F(Backlights, ChoosesAsDesktopsDo) {
    struct Case {
        const char* what; std::vector<std::tuple<std::string, std::string, std::string, bool, std::uint8_t>> devices;
        bool soleBuiltIn; std::optional<std::string> chosen;
    };
    const std::vector<Case> cases = {
        {"firmware before raw", {{"intel_backlight", "raw", "eDP-1", true, 1}, {"acpi_video0", "firmware", "", true, 1}},
         true, "acpi_video0"},
        {"platform before raw", {{"intel_backlight", "raw", "eDP-1", true, 1}, {"dell", "platform", "", true, 1}},
         true, "dell"},
        {"a device off any connector is only the sole panel's",
         {{"intel_backlight", "raw", "eDP-1", true, 1}, {"acpi_video0", "firmware", "", true, 1}}, false,
         "intel_backlight"},
        {"raw behind a disabled connector", {{"intel_backlight", "raw", "eDP-1", false, 1}}, true, std::nullopt},
        {"a connector with another monitor", {{"amdgpu_bl1", "firmware", "eDP-2", true, 2}}, true, std::nullopt},
        {"an unknown type", {{"odd", "led", "", true, 1}}, true, std::nullopt},
    };
    for (const auto& c : cases) {
        fs::remove_all(root);
        for (const auto& [name, type, connector, enabled, tag] : c.devices) device(name, type, connector, enabled, tag);
        EXPECT_EQ(backlight.device(panel, c.soleBuiltIn), c.chosen) << c.what;
    }
}

TEST_F(Backlights, ReadsTheHardwareAndNeverSwitchesARawPanelOff) {
    const fs::path raw = device("intel_backlight", "raw", "eDP-1");
    put(raw / "actual_brightness", "400\n"); // what the panel shows, not the last request
    EXPECT_EQ(backlight.brightness(panel, true), 0.4);
    EXPECT_TRUE(backlight.setBrightness(panel, true, 0.0));
    EXPECT_EQ(read(raw / "brightness"), "1");

    const fs::path firmware = device("acpi_video0", "firmware");
    EXPECT_TRUE(backlight.setBrightness(panel, true, 0.0));
    EXPECT_EQ(read(firmware / "brightness"), "0");
    // sysfs not writable for this user: handed to logind with the device's own scale.
    fs::remove(firmware / "brightness");
    EXPECT_TRUE(backlight.setBrightness(panel, true, 0.6666));
    EXPECT_EQ(writer->written, (std::vector<std::pair<std::string, std::uint32_t>>{{"acpi_video0", 667}}));
}

TEST_F(Backlights, ConnectorsEDIDIsFoundOnAnyCard) {
    put(root / "class/drm/card1-eDP-1/edid", "panel");
    put(root / "class/drm/card1-DP-11/edid", "other");
    EXPECT_EQ(drmConnectorEDID("eDP-1", root), (std::vector<std::uint8_t>{'p', 'a', 'n', 'e', 'l'}));
    EXPECT_TRUE(drmConnectorEDID("DP-1", root).empty()) << "DP-11 is another connector";
}

TEST(LogindBacklightWriter, AsksTheSessionOnTheSystemBus) {
    testing::PrivateSystemBus bus;
    LogindBacklightWriter writer; // the standard system bus, which the test's bus stands in for
    EXPECT_FALSE(writer.write("intel_backlight", 300)) << "no logind: refused, not pretended";
    std::vector<std::string> calls; // read once the writer's call has been answered
    // logind's session object as far as brightness goes.
    const testing::FakeDBusService logind(
        gnome::systemBus(bus.address()), "org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
        "<node><interface name='org.freedesktop.login1.Session'><method name='SetBrightness'>"
        "<arg type='s'/><arg type='s'/><arg type='u'/></method></interface></node>",
        {.method = [&](const gchar* method, GVariant* arguments) {
            gchar* text = g_variant_print(arguments, FALSE);
            calls.push_back(method + std::string(text));
            g_free(text);
        }});
    EXPECT_TRUE(writer.write("intel_backlight", 300));
    EXPECT_EQ(calls, std::vector<std::string>{"SetBrightness('backlight', 'intel_backlight', 300)"});
}

// Two monitors answer detection; only the first reports a brightness.
using Writes = std::vector<std::tuple<std::size_t, std::uint8_t, std::uint16_t>>;
struct ScriptedDDC final : DDCBus {
    std::vector<EDID> detect() override {
        EDID first{}, second{};
        first[8] = 1, second[8] = 2;
        return {first, second};
    }
    std::optional<Value> read(std::size_t monitor, std::uint8_t feature) override {
        if (monitor != 0 || feature != 0x10) return std::nullopt;
        return Value{30, 120};
    }
    bool write(std::size_t monitor, std::uint8_t feature, std::uint16_t value) override {
        writes->emplace_back(monitor, feature, value);
        return true;
    }
    std::shared_ptr<Writes> writes = std::make_shared<Writes>();
};

TEST(DDCBrightness, MonitorsAreMatchedByTheirEDIDAfterDetection) {
    auto bus = std::make_unique<ScriptedDDC>();
    const auto writes = bus->writes;
    std::promise<void> detected;
    DDCBrightness ddc(std::move(bus), [&] { detected.set_value(); });
    detected.get_future().wait();
    EXPECT_EQ(ddc.brightness(monitorEDID(1)), 0.25);
    EXPECT_FALSE(ddc.brightness(monitorEDID(2))) << "no brightness over DDC/CI";
    EXPECT_FALSE(ddc.brightness(monitorEDID(3)));
    EXPECT_TRUE(ddc.setBrightness(monitorEDID(1), 0.5));
    EXPECT_EQ(*writes, (Writes{{0, 0x10, 60}}));
    EXPECT_EQ(ddc.brightness(monitorEDID(1)), 0.5) << "our own write is the value from now on";

    EXPECT_EQ(openDDCUtil("libtavelin-absent.so.4"), nullptr);
    DDCBrightness none(nullptr);
    EXPECT_FALSE(none.brightness(monitorEDID(1)));
    EXPECT_FALSE(none.setBrightness(monitorEDID(1), 0.5));
}

const fs::path kColord = "/usr/share/color/icc/colord";
const fs::path kFree = "/usr/share/color/icc";

class ProfileTree : public TempFolder {
protected:
    ProfileTree() {
        for (const auto& [from, to] : std::vector<std::pair<fs::path, fs::path>>{
                 {kColord / "sRGB.icc", "a/sRGB.icc"},
                 {kColord / "AdobeRGB1998.icc", "a/Adobe.ICM"},  // extensions compare in lower case
                 {kColord / "WideGamutRGB.icc", "a/wide.icc"},   // "Wide..." sorts after "sRGB"
                 {kColord / "Bluish.icc", "a/sub/Bluish.icc"},
                 {kColord / "Crayons.icc", "a/Crayons.icc"},     // named colours, not a display
                 {kColord / "x11-colors.icc", "a/sub/x11-colors.icc"},
                 {kFree / "CineLogCurve.icc", "a/CineLogCurve.icc"},
                 {kFree / "ITULab.icc", "a/ITULab.icc"},          // Lab, not RGB
                 {kColord / "Gamma5000K.icc", "a/.hidden.icc"},
                 {kColord / "Rec709.icc", "a/.cache/Rec709.icc"}, // inside a hidden folder
                 {kColord / "ProPhotoRGB.icc", "a/ProPhoto.txt"},
             }) {
            fs::create_directories((root / to).parent_path());
            fs::copy_file(from, root / to);
        }
        std::ofstream(root / "a/broken.icc") << "not a profile";
        fs::create_directory_symlink(root / "a/sub", root / "b");
        fs::create_directory_symlink(root / "a", root / "a/sub/loop");
    }
};

TEST_F(ProfileTree, ListsEachDisplayProfileOnceSortedByNameWithoutCase) {
    const auto listed = listDisplayProfiles({root / "a", root / "b", root / "missing"});
    std::vector<std::pair<std::string, fs::path>> seen;
    for (const auto& profile : listed) seen.emplace_back(profile.name, profile.file);
    const std::vector<std::pair<std::string, fs::path>> expected{
        {"Blue", root / "a/sub/Bluish.icc"}, // also reachable as b/Bluish.icc and through loop/
        {"Compatible with Adobe RGB (1998)", root / "a/Adobe.ICM"},
        {"sRGB", root / "a/sRGB.icc"},
        {"Wide Gamut RGB", root / "a/wide.icc"},
    };
    EXPECT_EQ(seen, expected);
}

TEST(ProfileFolders, FollowTheXDGVariablesAndTheirDefaults) {
    ::setenv("HOME", "/home/u", 1);
    ::setenv("XDG_DATA_HOME", "/data", 1);
    ::setenv("XDG_DATA_DIRS", "/opt/share:relative:/usr/share", 1);
    EXPECT_EQ(iccProfileFolders(),
              (std::vector<fs::path>{"/data/icc", "/data/color/icc", "/home/u/.color/icc", "/opt/share/color/icc",
                                     "/usr/share/color/icc", "/var/lib/color/icc", "/var/lib/colord/icc"}));
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_DATA_DIRS");
    EXPECT_EQ(iccProfileFolders(),
              (std::vector<fs::path>{"/home/u/.local/share/icc", "/home/u/.local/share/color/icc",
                                     "/home/u/.color/icc", "/usr/local/share/color/icc", "/usr/share/color/icc",
                                     "/var/lib/color/icc", "/var/lib/colord/icc"}));
}

struct Autostart : TempFolder {
    Autostart() { ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1); }
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
