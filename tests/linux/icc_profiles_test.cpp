// The profile listing on a tree of real profiles from colord-data and icc-profiles-free:
// which files count as display profiles, what they are called and in which order.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/linux/icc_profiles.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;
const fs::path kColord = "/usr/share/color/icc/colord";
const fs::path kFree = "/usr/share/color/icc";

class ProfileTree : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("tavelin-icc-" + std::to_string(::getpid()));
        fs::remove_all(root);
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
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
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

} // namespace
} // namespace tavelin
