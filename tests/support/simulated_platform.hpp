#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/model.hpp"
#include "platform/display_services.hpp"
#include "platform/system_services.hpp"
#include "platform/virtual_display.hpp"

namespace tavelin {

// An in-memory desktop for tests: a display server, virtual displays, transactions and the
// small system services, scripted and recorded through public fields. Single-threaded, like
// the engine; it must outlive every virtual display it created.
class SimulatedPlatform final : public DisplayServices, public VirtualDisplayFactory, public Permissions,
                                public URLOpener, public NetworkInterfaces, public SecureRandom {
public:
    static constexpr int forever = std::numeric_limits<int>::max(); // a count meaning "never"

    struct Display {
        DisplayBounds bounds;
        bool online = true;
        std::vector<DisplayMode> modes;
        std::optional<DisplayMode> current = {};
        int hiddenModeQueries = 0;                      // the first this many modes() calls list nothing
        DisplayError setModeError = DisplayError::none; // setMode() returns it (none: it switches)
        std::optional<DisplayMode> reportedMode = {};   // currentMode() reports it, not the mode set
        // After a mirroring change, mirrorsDisplay() reports the old master this many times.
        int mirrorSettleQueries = 0;
        DisplayID master = nullDisplay; // as applied by the last transaction

        // Records: modes() calls for this display, and the mirroring state still reported.
        int modeQueries = 0, unsettledQueries = 0;
        DisplayID reportedMaster = nullDisplay;
    };

    // How each virtual display created from now on behaves.
    struct NewDisplayScript {
        std::string failure = {}; // when not empty, create() throws VirtualDisplayError with it
        bool online = true;
        int hiddenModeQueries = 0;
        std::optional<double> modeRefreshRate = {}; // the offered mode's, not the requested rate
        DisplayError setModeError = DisplayError::none;
        std::optional<DisplayMode> reportedMode = {};
    };

    // What a test reads of one successful create().
    struct Creation { DisplayID display; std::int64_t width; std::string name, identifier; };

    // How the next transactions fail.
    struct TransactionScript {
        bool failBegin = false;
        DisplayError configureError = DisplayError::none; // returned by every configure call
        DisplayError completeError = DisplayError::none;  // nothing is applied then
    };

    // One change of a completed transaction.
    struct AppliedChange {
        enum class Kind { origin, mirror } kind; DisplayID display; std::int32_t x = 0, y = 0; DisplayID master = nullDisplay;
    };

    // The main display is id 1, 2560 × 1440 at the origin.
    SimulatedPlatform();

    // A model on this platform: no session or server factory, the arguments {"tavelin"},
    // 1 ms display polls and a 20 ms debounce.
    ModelDependencies modelDependencies(const Executor& engine, SettingsStore& store);

    DisplayID mainDisplayID = 1;
    std::map<DisplayID, Display> displays;
    Display& display(DisplayID id) { return displays.at(id); }
    NewDisplayScript newDisplays;
    TransactionScript transactions;
    bool failActiveDisplays = false;

    std::vector<Creation> created;
    int releasedDisplays = 0;
    std::vector<AppliedChange> applied;
    int cancelledTransactions = 0;
    int modeQueries = 0;   // modes() calls over all displays
    int boundsQueries = 0; // bounds() calls over all displays

    std::vector<InterfaceAddress> interfaces{{"192.168.1.20", true, true, false}, {"127.0.0.1", true, true, true}};
    bool inputTrusted = true;
    // fill() fails; otherwise it yields the bytes 0, 1, 2, … continuing across calls.
    bool failRandom = false;
    std::uint8_t nextRandomByte = 0;

    std::vector<DisplayMode> modes(DisplayID display) override;
    std::optional<DisplayMode> currentMode(DisplayID display) override {
        const auto* shown = find(display);
        return !shown ? std::nullopt : shown->reportedMode ? shown->reportedMode : shown->current;
    }
    DisplayError setMode(DisplayID display, const DisplayMode& mode) override;
    bool isOnline(DisplayID display) override { return find(display) && find(display)->online; }
    DisplayBounds bounds(DisplayID display) override {
        ++boundsQueries;
        return find(display) ? find(display)->bounds : DisplayBounds{};
    }
    DisplayID mainDisplay() override { return mainDisplayID; }
    DisplayID mirrorsDisplay(DisplayID display) override;
    std::optional<std::vector<DisplayID>> activeDisplays() override;
    std::unique_ptr<DisplayConfigurationTransaction> beginConfiguration() override;

    std::unique_ptr<VirtualDisplay> create(std::int64_t width, std::int64_t height, double refreshRate, bool hiDPI,
                                           const std::string& name, const std::string& identifier) override;

    bool isInputTrusted() override { return inputTrusted; }
    bool requestInputTrust() override { return inputTrusted; }
    bool canCaptureScreen() override { return true; }
    bool open(const std::string&) override { return true; }
    std::vector<InterfaceAddress> addresses() override { return interfaces; }
    bool fill(std::span<std::uint8_t> bytes) override;

    void apply(const std::vector<AppliedChange>& changes);
    void release(DisplayID display);

private:
    Display* find(DisplayID id) { return displays.contains(id) ? &displays.at(id) : nullptr; }
    double rightEdge() const;

    DisplayID nextDisplayID_ = 100;
};

} // namespace tavelin
