#pragma once

#include "platform/display_services.hpp"
#include "platform/system_services.hpp"
#include "platform/virtual_display.hpp"

namespace tavelin {

// Stands in for a display server backend where none is built: it sees no displays and
// refuses to create one, so that sharing fails with a sentence instead of a crash.
class UnavailableDisplayBackend final : public DisplayServices, public VirtualDisplayFactory, public Permissions {
public:
    std::vector<DisplayMode> modes(DisplayID) override { return {}; }
    std::optional<DisplayMode> currentMode(DisplayID) override { return std::nullopt; }
    int setMode(DisplayID, const DisplayMode&) override { return unsupported; }
    bool isOnline(DisplayID) override { return false; }
    DisplayBounds bounds(DisplayID) override { return {}; }
    DisplayID mainDisplay() override { return nullDisplay; }
    DisplayID mirrorsDisplay(DisplayID) override { return nullDisplay; }
    std::optional<std::vector<DisplayID>> activeDisplays() override { return std::nullopt; }
    std::unique_ptr<DisplayConfigurationTransaction> beginConfiguration() override { return nullptr; }

    std::unique_ptr<VirtualDisplay> create(std::int64_t, std::int64_t, double, bool, const std::string&,
                                           const std::string&) override {
        throw VirtualDisplayError("This build of Tavelin has no display server backend, so it cannot create "
                                  "virtual displays.");
    }

    bool isInputTrusted() override { return false; }
    bool requestInputTrust() override { return false; }
    bool canCaptureScreen() override { return false; }

private:
    static constexpr int unsupported = 1004;
};

} // namespace tavelin
