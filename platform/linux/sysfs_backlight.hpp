#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavelin {

// The EDID the kernel read from a DRM connector ("eDP-1" is <root>/class/drm/card0-eDP-1);
// empty when no card has that connector or it holds no EDID.
std::vector<std::uint8_t> drmConnectorEDID(const std::string& connector,
                                           const std::filesystem::path& root = "/sys");

// Writes a backlight level on behalf of a user who may not write sysfs.
class BacklightWriter {
public:
    virtual ~BacklightWriter() = default;
    virtual bool write(const std::string& device, std::uint32_t value) = 0;
};

// systemd-logind's Session.SetBrightness for the caller's own session, on the system
// bus ($DBUS_SYSTEM_BUS_ADDRESS when set). logind lets the active session's user set it.
class LogindBacklightWriter final : public BacklightWriter {
public:
    // `busAddress` empty: the standard system bus.
    explicit LogindBacklightWriter(std::string busAddress = {});
    bool write(const std::string& device, std::uint32_t value) override;

private:
    std::string busAddress_;
};

// The built-in panel's backlight under <root>/class/backlight, chosen as desktops choose:
// a firmware device, else a platform one, else a raw one whose connector is lit.
class SysfsBacklight {
public:
    explicit SysfsBacklight(std::filesystem::path root = "/sys",
                            std::unique_ptr<BacklightWriter> writer = std::make_unique<LogindBacklightWriter>());

    // `edid` is the output's EDID; `soleBuiltIn` says the output is the only built-in one,
    // which is what a device that hangs off no connector (ACPI, a platform driver) lights.
    std::optional<double> brightness(std::span<const std::uint8_t> edid, bool soleBuiltIn);
    bool setBrightness(std::span<const std::uint8_t> edid, bool soleBuiltIn, double level);

    // The chosen device's name, for the log and for tests.
    std::optional<std::string> device(std::span<const std::uint8_t> edid, bool soleBuiltIn);

private:
    struct Device;
    std::optional<Device> choose(std::span<const std::uint8_t> edid, bool soleBuiltIn);

    std::filesystem::path root_;
    std::unique_ptr<BacklightWriter> writer_;
};

} // namespace tavelin
