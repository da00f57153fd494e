#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "platform/linux/icc_profiles.hpp"
#include "platform/physical_displays.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

// The monitor number of an output under X's ICC profile convention: its place among
// the lit outputs, the primary first, then the others in the server's order. Nothing
// when the output shows no picture.
std::optional<std::size_t> iccMonitorIndex(const Connection& connection, std::uint32_t output);

// The root window property that holds monitor n's profile: _ICC_PROFILE, _ICC_PROFILE_1, ...
std::string iccRootPropertyName(std::size_t monitor);

// Display profiles applied by Tavelin itself where no colour manager runs, as X's ICC
// profile convention has it: the profile's bytes on the root window for its monitor
// number and in the output's _ICC_PROFILE property, the convention's version on the
// root, and the profile's calibration curves in the CRTC's gamma ramp. Applications
// that colour-manage read the properties; the ramp calibrates everything else.
class XColorProfiles final : public ColorProfiles {
public:
    explicit XColorProfiles(Connection& connection, std::vector<std::filesystem::path> folders = iccProfileFolders())
        : connection_(connection), folders_(std::move(folders)) {}

    // Thread-safe: reads the folders only, never the display server.
    std::vector<ColorProfileFile> available() override;
    // Only connected outputs driven by a CRTC take a profile. A profile set by someone
    // else is named by its description and has no file.
    std::optional<std::optional<ColorProfileFile>> current(DisplayID display) override;
    // The factory profile: the properties deleted and the ramp linear.
    bool assign(DisplayID display, const std::optional<std::filesystem::path>& file) override;

private:
    struct Assigned {
        ColorProfileFile profile;
        std::vector<std::uint8_t> bytes;
    };

    Connection& connection_;
    const std::vector<std::filesystem::path> folders_;
    std::map<DisplayID, Assigned> assigned_; // what assign() last put on each output
};

} // namespace tavelin::x11
