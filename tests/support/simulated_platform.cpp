#include "tests/support/simulated_platform.hpp"

#include <algorithm>

namespace tavelin {

namespace {

class SimulatedVirtualDisplay final : public VirtualDisplay {
public:
    SimulatedVirtualDisplay(SimulatedPlatform& server, DisplayID id) : server_(server), id_(id) {}
    ~SimulatedVirtualDisplay() override { server_.release(id_); }
    DisplayID displayID() const override { return id_; }

private:
    SimulatedPlatform& server_;
    DisplayID id_;
};

// Changes are staged and reach the server only on a successful complete().
class SimulatedTransaction final : public DisplayConfigurationTransaction {
public:
    explicit SimulatedTransaction(SimulatedPlatform& server) : server_(server) {}

    DisplayError configureOrigin(DisplayID display, std::int32_t x, std::int32_t y) override {
        return stage({SimulatedPlatform::AppliedChange::Kind::origin, display, x, y, nullDisplay});
    }
    DisplayError configureMirror(DisplayID display, DisplayID master) override {
        return stage({SimulatedPlatform::AppliedChange::Kind::mirror, display, 0, 0, master});
    }
    DisplayError complete() override {
        if (const auto refused = server_.transactions.completeError; refused != DisplayError::none) return refused;
        server_.apply(staged_);
        return DisplayError::none;
    }
    void cancel() override { ++server_.cancelledTransactions; }

private:
    DisplayError stage(const SimulatedPlatform::AppliedChange& change) {
        if (const auto refused = server_.transactions.configureError; refused != DisplayError::none) return refused;
        staged_.push_back(change);
        return DisplayError::none;
    }

    SimulatedPlatform& server_;
    std::vector<SimulatedPlatform::AppliedChange> staged_;
};

} // namespace

SimulatedPlatform::SimulatedPlatform() {
    const DisplayMode mode{1, 2560, 1440, 2560, 1440, 60.0};
    Display main;
    main.bounds = {0, 0, 2560, 1440};
    main.modes = {mode};
    main.current = mode;
    displays.emplace(mainDisplayID, main);
}

ModelDependencies SimulatedPlatform::modelDependencies(const Executor& engine, SettingsStore& store,
                                                       DisplayServices& displays,
                                                       VirtualDisplayFactory& virtualDisplays) {
    using namespace std::chrono_literals;
    Timings timings;
    timings.displayModePoll = 1ms;
    timings.mirrorStatePoll = 1ms;
    timings.displayChangeDebounce = 20ms;
    return {.engine = engine,
            .platform = {displays, virtualDisplays, *this, *this, *this, *this},
            .defaults = store,
            .makeSession = nullptr,
            .makeServer = nullptr,
            .arguments = {"tavelin"},
            .timings = timings,
            .webRoot = {}};
}

std::vector<DisplayMode> SimulatedPlatform::modes(DisplayID display) {
    ++modeQueries;
    const auto found = displays.find(display);
    if (found == displays.end()) return {};
    auto& shown = found->second;
    return ++shown.modeQueries > shown.hiddenModeQueries ? shown.modes : std::vector<DisplayMode>{};
}

std::optional<DisplayMode> SimulatedPlatform::currentMode(DisplayID display) {
    const auto found = displays.find(display);
    if (found == displays.end()) return std::nullopt;
    return found->second.reportedMode ? found->second.reportedMode : found->second.current;
}

DisplayError SimulatedPlatform::setMode(DisplayID display, const DisplayMode& mode) {
    const auto found = displays.find(display);
    if (found == displays.end()) return DisplayError::illegalArgument;
    if (found->second.setModeError != DisplayError::none) return found->second.setModeError;
    found->second.current = mode;
    return DisplayError::none;
}

bool SimulatedPlatform::isOnline(DisplayID display) {
    const auto found = displays.find(display);
    return found != displays.end() && found->second.online;
}

DisplayBounds SimulatedPlatform::bounds(DisplayID display) {
    ++boundsQueries;
    const auto found = displays.find(display);
    return found == displays.end() ? DisplayBounds{} : found->second.bounds;
}

DisplayID SimulatedPlatform::mirrorsDisplay(DisplayID display) {
    const auto found = displays.find(display);
    if (found == displays.end()) return nullDisplay;
    auto& shown = found->second;
    if (shown.unsettledQueries > 0) {
        --shown.unsettledQueries;
        return shown.reportedMaster;
    }
    shown.reportedMaster = shown.master;
    return shown.master;
}

std::optional<std::vector<DisplayID>> SimulatedPlatform::activeDisplays() {
    if (failActiveDisplays) return std::nullopt;
    std::vector<DisplayID> list{mainDisplayID};
    for (const auto& [id, shown] : displays) {
        if (id != mainDisplayID && shown.online) list.push_back(id);
    }
    return list;
}

std::unique_ptr<DisplayConfigurationTransaction> SimulatedPlatform::beginConfiguration() {
    if (transactions.failBegin) return nullptr;
    return std::make_unique<SimulatedTransaction>(*this);
}

std::unique_ptr<VirtualDisplay> SimulatedPlatform::create(std::int64_t width, std::int64_t height,
                                                          double refreshRate, bool hiDPI,
                                                          const std::string& name,
                                                          const std::string& identifier) {
    const auto& script = newDisplays;
    if (!script.failure.empty()) throw VirtualDisplayError(script.failure);
    const std::int64_t scale = hiDPI ? 2 : 1;
    const DisplayMode offered{nextDisplayID_, width, height, width / scale, height / scale,
                              script.modeRefreshRate.value_or(refreshRate)};
    Display shown;
    // A new display appears to the right of everything else, as X servers place outputs.
    shown.bounds = {rightEdge(), 0, static_cast<double>(offered.width), static_cast<double>(offered.height)};
    shown.online = script.online;
    shown.modes = {offered};
    shown.hiddenModeQueries = script.hiddenModeQueries;
    shown.setModeError = script.setModeError;
    shown.reportedMode = script.reportedMode;
    shown.mirrorSettleQueries = script.mirrorSettleQueries;

    const DisplayID id = nextDisplayID_++;
    displays.emplace(id, shown);
    created.push_back({id, width, height, refreshRate, hiDPI, name, identifier});
    return std::make_unique<SimulatedVirtualDisplay>(*this, id);
}

bool SimulatedPlatform::fill(std::span<std::uint8_t> bytes) {
    if (failRandom) return false;
    for (auto& byte : bytes) byte = nextRandomByte++;
    return true;
}

void SimulatedPlatform::apply(const std::vector<AppliedChange>& changes) {
    for (const auto& change : changes) {
        const auto found = displays.find(change.display);
        if (found == displays.end()) continue;
        auto& shown = found->second;
        applied.push_back(change);
        if (change.kind == AppliedChange::Kind::origin) {
            shown.bounds.x = change.x;
            shown.bounds.y = change.y;
            continue;
        }
        shown.reportedMaster = shown.master;
        shown.unsettledQueries = shown.mirrorSettleQueries;
        shown.master = change.master;
        // A mirror shows the master's region; an unmirrored display goes back to the right edge.
        const auto master = displays.find(change.master);
        if (master != displays.end()) {
            shown.bounds.x = master->second.bounds.x;
            shown.bounds.y = master->second.bounds.y;
        } else {
            shown.bounds.x = rightEdge();
            shown.bounds.y = 0;
        }
    }
    // The display at the origin is the main display, as in global display coordinates.
    const auto& main = displays.at(mainDisplayID).bounds;
    if (main.x == 0 && main.y == 0) return;
    for (const auto& [id, shown] : displays) {
        if (shown.master == nullDisplay && shown.bounds.x == 0 && shown.bounds.y == 0) {
            mainDisplayID = id;
            return;
        }
    }
}

void SimulatedPlatform::release(DisplayID display) {
    if (displays.erase(display) == 0) return;
    ++releasedDisplays;
    for (auto& [id, shown] : displays) {
        if (shown.master == display) shown.master = nullDisplay;
    }
}

double SimulatedPlatform::rightEdge() const {
    double edge = 0;
    for (const auto& [id, shown] : displays) edge = std::max(edge, shown.bounds.maxX());
    return edge;
}

} // namespace tavelin
