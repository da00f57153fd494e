#pragma once

// Display profiles through colord, the system's colour manager: the desktop's session
// daemon applies what colord holds as each monitor's default profile.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "displays/edid.hpp"
#include "platform/gnome/dbus_call.hpp"
#include "platform/linux/icc_profiles.hpp"
#include "platform/physical_displays.hpp"

namespace tavelin {

// What colord knows a display by: the display server's name for its output and the
// monitor's EDID.
struct ColordOutput {
    std::string name;
    std::vector<std::uint8_t> edid;
};
using ColordOutputLookup = std::function<std::optional<ColordOutput>(DisplayID)>;

// The device id GNOME gives a monitor in colord: "xrandr" followed by the EDID's vendor
// code, monitor name and serial number, each after a dash and left out when empty.
std::string colordDeviceID(const displays::EDIDIdentity& edid, const std::string& outputName);

class ColordProfiles final : public ColorProfiles {
public:
    // Reaches colord on the system bus at `busAddress` (empty: $DBUS_SYSTEM_BUS_ADDRESS,
    // else the standard socket), starting it by activation; nothing when it does not
    // answer.
    static std::unique_ptr<ColordProfiles> connect(ColordOutputLookup outputs,
                                                   std::vector<std::filesystem::path> folders = iccProfileFolders(),
                                                   const std::string& busAddress = {});

    // Thread-safe: reads the folders only.
    std::vector<ColorProfileFile> available() override;
    // Displays without an EDID cannot be told apart by colord and are not supported.
    // The profile colord made from the EDID counts as the factory profile.
    std::optional<std::optional<ColorProfileFile>> current(DisplayID display) override;
    // A monitor that colord does not know yet is added as a device first. The factory
    // profile is the one made from the EDID when colord has it; else the hard
    // assignments (ours) are taken back and colord's own choice applies.
    bool assign(DisplayID display, const std::optional<std::filesystem::path>& file) override;

private:
    ColordProfiles(gnome::Connection bus, ColordOutputLookup outputs, std::vector<std::filesystem::path> folders);

    struct Monitor {
        ColordOutput output;
        displays::EDIDIdentity edid;
    };
    std::optional<Monitor> monitor(DisplayID display);
    std::optional<std::string> findDevice(const Monitor& monitor);
    std::string createDevice(const Monitor& monitor);
    std::string profileFor(const std::filesystem::path& file);

    gnome::Connection bus_;
    ColordOutputLookup outputs_;
    const std::vector<std::filesystem::path> folders_;
};

} // namespace tavelin
