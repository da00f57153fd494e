#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/ddc_brightness.hpp"
#include "platform/linux/sysfs_backlight.hpp"
#include "platform/physical_displays.hpp"
#include "platform/x11/randr_brightness.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

// Brightness on an X desktop, asked of each output in turn: the driver's backlight
// property, then for the built-in panel the kernel's backlight device, then the monitor
// itself over DDC/CI. An output none of them answers for has no brightness.
class DesktopBrightness final : public Brightness {
public:
    struct Sources {
        std::filesystem::path sysRoot = "/sys";
        std::unique_ptr<BacklightWriter> backlightWriter = std::make_unique<LogindBacklightWriter>();
        std::unique_ptr<DDCBus> ddc = openDDCUtil();
    };
    // `ddcDetected` runs on a thread of its own once the DDC/CI monitors are known.
    DesktopBrightness(Connection& connection, Sources sources, std::function<void()> ddcDetected = {});

    std::optional<double> brightness(DisplayID display) override;
    bool setBrightness(DisplayID display, double level) override;

private:
    bool soleBuiltIn(DisplayID display);

    Connection& connection_;
    RandRBacklight randr_;
    SysfsBacklight sysfs_;
    DDCBrightness ddc_;
};

} // namespace tavelin::x11
