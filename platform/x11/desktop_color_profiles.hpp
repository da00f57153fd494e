#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/icc_profiles.hpp"
#include "platform/physical_displays.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

// Display profiles on an X desktop: through colord when it answers on the system bus,
// since the desktop's session daemon then applies its choice and would overwrite ours;
// else by X's ICC profile convention (XColorProfiles). Chosen once, at construction.
class DesktopColorProfiles final : public ColorProfiles {
public:
    // `busAddress` empty means $DBUS_SYSTEM_BUS_ADDRESS, else the standard system bus.
    explicit DesktopColorProfiles(Connection& connection,
                                  std::vector<std::filesystem::path> folders = iccProfileFolders(),
                                  const std::string& busAddress = {});
    ~DesktopColorProfiles() override;

    bool usesColord() const { return usesColord_; }

    std::vector<ColorProfileFile> available() override { return chosen_->available(); }
    std::optional<std::optional<ColorProfileFile>> current(DisplayID display) override {
        return chosen_->current(display);
    }
    bool assign(DisplayID display, const std::optional<std::filesystem::path>& file) override {
        return chosen_->assign(display, file);
    }

private:
    std::unique_ptr<ColorProfiles> chosen_;
    bool usesColord_ = false;
};

} // namespace tavelin::x11
