#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/published.hpp"
#include "engine/task.hpp"
#include "platform/display_services.hpp"
#include "platform/physical_displays.hpp"

namespace tavelin {

// One mode of a display, with the texts the menu shows.
struct SystemDisplayMode {
    DisplayMode mode;
    // The mode's identity across snapshots: server id, size in points, size in pixels and
    // refresh rate joined by "-", the rate in its shortest exact form ("60.0").
    std::string id() const;
    // "59.94 Hz", or "Refresh rate not reported" for a rate of 0.
    std::string refresh() const;
    // "1920 × 1080 · 60 Hz", with " · HiDPI" when the pixels exceed the points.
    std::string label() const;
    friend bool operator==(const SystemDisplayMode&, const SystemDisplayMode&) = default;
};

// Mode order for the menu: by width, then height, a HiDPI mode before its plain twin,
// then by refresh rate.
bool modeBefore(const DisplayMode& a, const DisplayMode& b);

struct SystemDisplay {
    DisplayID id = nullDisplay;
    std::string name;
    bool builtIn = false;
    bool main = false;
    std::optional<double> brightness; // absent: no slider
    bool colorProfileSupported = false;
    std::optional<std::string> colorProfileName;
    std::optional<std::filesystem::path> colorProfileURL;
    std::optional<SystemDisplayMode> current;
    std::vector<SystemDisplayMode> modes;
    friend bool operator==(const SystemDisplay&, const SystemDisplay&) = default;
};

struct DisplayColorProfile {
    std::filesystem::path url;
    std::string name;
    // Profiles are told apart by their normalised absolute path.
    std::string identity() const;
    friend bool operator==(const DisplayColorProfile&, const DisplayColorProfile&) = default;
};

// A mode change that waits for the user's confirmation, with who the display was.
struct PendingMode {
    DisplayID displayID = nullDisplay;
    DisplayIdentity identity;
    DisplayMode original;
};

enum class SystemDisplayField {
    displays, pendingDisplayName, secondsRemaining, error, colorProfiles, brightnessLevels,
};

struct SystemDisplayTimings {
    std::chrono::steady_clock::duration countdownTick = std::chrono::seconds(1);
    std::chrono::steady_clock::duration brightnessDebounce = std::chrono::milliseconds(30);
};

// The displays the desktop has lit (physical ones, and Tavelin's own, which the menu
// leaves out): their modes with a timed safety revert, brightness and colour profiles.
// Lives on the engine and is touched only there.
class SystemDisplayController : public std::enable_shared_from_this<SystemDisplayController> {
public:
    template <typename T>
    using Field = Published<T, SystemDisplayField>;

    struct Ports {
        DisplayServices& displays;
        PhysicalDisplays& physical;
        Brightness& brightness;
        ColorProfiles& profiles;
    };
    using Timings = SystemDisplayTimings;
    static constexpr int countdownSeconds = 15;

    static std::shared_ptr<SystemDisplayController> create(Executor engine, Ports ports, Timings timings = {});
    ~SystemDisplayController();
    SystemDisplayController(const SystemDisplayController&) = delete;
    SystemDisplayController& operator=(const SystemDisplayController&) = delete;

    using Observer = std::function<void(SystemDisplayField)>;
    void subscribe(Observer observer) { observers_.push_back(std::move(observer)); }

private:
    std::vector<Observer> observers_;
    std::function<void(SystemDisplayField)> notify_;

public:
    Field<std::vector<SystemDisplay>> displays{notify_, SystemDisplayField::displays, {}};
    Field<std::optional<std::string>> pendingDisplayName{notify_, SystemDisplayField::pendingDisplayName, {}};
    Field<int> secondsRemaining{notify_, SystemDisplayField::secondsRemaining, 0};
    Field<std::optional<std::string>> error{notify_, SystemDisplayField::error, {}};
    Field<std::vector<DisplayColorProfile>> colorProfiles{notify_, SystemDisplayField::colorProfiles, {}};
    Field<std::map<DisplayID, double>> brightnessLevels{notify_, SystemDisplayField::brightnessLevels, {}};
    const std::optional<PendingMode>& pending() const { return pending_; }

    void refresh();
    void previewMode(DisplayID display, const std::string& modeID);
    void keepMode();
    void revertMode();
    void setBrightness(DisplayID display, double level);
    // Lists the installed profiles off the engine and publishes them when done.
    void reloadColorProfiles();
    // No identity restores the factory profile.
    void setColorProfile(DisplayID display, const std::optional<std::string>& profileID);

private:
    SystemDisplayController(Executor engine, Ports ports, Timings timings);
    const SystemDisplay* find(DisplayID display) const;
    SystemDisplay describe(DisplayID id, DisplayID main);
    Task<> countdown();
    Task<> applyBrightness(DisplayID display);
    void endPending();

    Executor engine_;
    Ports ports_;
    Timings timings_;
    std::optional<PendingMode> pending_;
    TaskHandle revertTask_;
    std::map<DisplayID, TaskHandle> brightnessTasks_;
    std::mutex scanLock_;
    std::thread scan_;
    bool scanning_ = false; // engine-side: a listing runs
    bool rescan_ = false;
};

} // namespace tavelin
