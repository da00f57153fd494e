#include "tests/support/simulated_platform.hpp"

#include <algorithm>

namespace tavelin {

namespace {

struct SimulatedVirtualDisplay final : VirtualDisplay {
    SimulatedVirtualDisplay(SimulatedPlatform& server, DisplayID id) : server(server), id(id) {}
    ~SimulatedVirtualDisplay() override { server.release(id); }
    DisplayID displayID() const override { return id; }
    SimulatedPlatform& server;
    const DisplayID id;
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
        const auto refused = server_.transactions.completeError;
        if (refused == DisplayError::none) server_.apply(staged_);
        return refused;
    }
    void cancel() override { ++server_.cancelledTransactions; }

private:
    DisplayError stage(const SimulatedPlatform::AppliedChange& change) {
        const auto refused = server_.transactions.configureError;
        if (refused == DisplayError::none) staged_.push_back(change);
        return refused;
    }

    SimulatedPlatform& server_;
    std::vector<SimulatedPlatform::AppliedChange> staged_;
};

} // namespace

SimulatedPlatform::SimulatedPlatform() {
    const DisplayMode mode{1, 2560, 1440, 2560, 1440, 60.0};
    displays.emplace(mainDisplayID, Display{.bounds = {0, 0, 2560, 1440}, .modes = {mode}, .current = mode});
}

ModelDependencies SimulatedPlatform::modelDependencies(const Executor& engine, SettingsStore& store) {
    using namespace std::chrono_literals;
    const Timings timings{.displayModePoll = 1ms, .mirrorStatePoll = 1ms, .displayChangeDebounce = 20ms};
    return {.engine = engine, .platform = {*this, *this, *this, *this, *this, *this}, .defaults = store,
            .makeSession = nullptr, .makeServer = nullptr, .arguments = {"tavelin"}, .timings = timings, .webRoot = {},
            .systemDisplays = {}};
}

std::vector<DisplayMode> SimulatedPlatform::modes(DisplayID display) {
    ++modeQueries;
    auto* shown = find(display);
    return shown && ++shown->modeQueries > shown->hiddenModeQueries ? shown->modes : std::vector<DisplayMode>{};
}

DisplayError SimulatedPlatform::setMode(DisplayID display, const DisplayMode& mode) {
    auto* shown = find(display);
    if (shown && shown->setModeError == DisplayError::none) shown->current = mode;
    return shown ? shown->setModeError : DisplayError::illegalArgument;
}

DisplayID SimulatedPlatform::mirrorsDisplay(DisplayID display) {
    auto* shown = find(display);
    if (!shown) return nullDisplay;
    if (shown->unsettledQueries > 0) {
        --shown->unsettledQueries;
        return shown->reportedMaster;
    }
    return shown->reportedMaster = shown->master;
}

std::optional<std::vector<DisplayID>> SimulatedPlatform::activeDisplays() {
    if (failActiveDisplays) return std::nullopt;
    std::vector<DisplayID> list{mainDisplayID};
    for (const auto& [id, shown] : displays) if (id != mainDisplayID && shown.online) list.push_back(id);
    return list;
}

std::unique_ptr<DisplayConfigurationTransaction> SimulatedPlatform::beginConfiguration() {
    return transactions.failBegin ? nullptr : std::make_unique<SimulatedTransaction>(*this);
}

std::unique_ptr<VirtualDisplay> SimulatedPlatform::create(std::int64_t width, std::int64_t height, double refreshRate,
                                                          bool hiDPI, const std::string& name,
                                                          const std::string& identifier) {
    const auto& script = newDisplays;
    if (!script.failure.empty()) throw VirtualDisplayError(script.failure);
    const std::int64_t scale = hiDPI ? 2 : 1;
    const DisplayMode offered{nextDisplayID_, width, height, width / scale, height / scale,
                              script.modeRefreshRate.value_or(refreshRate)};
    const DisplayID id = nextDisplayID_++;
    // A new display appears to the right of everything else, as X servers place outputs.
    displays.emplace(id, Display{.bounds = {rightEdge(), 0, double(width), double(height)}, .online = script.online,
                                 .modes = {offered}, .hiddenModeQueries = script.hiddenModeQueries,
                                 .setModeError = script.setModeError, .reportedMode = script.reportedMode});
    created.push_back({id, width, name, identifier});
    return std::make_unique<SimulatedVirtualDisplay>(*this, id);
}

bool SimulatedPlatform::fill(std::span<std::uint8_t> bytes) {
    if (failRandom) return false;
    for (auto& byte : bytes) byte = nextRandomByte++;
    return true;
}

void SimulatedPlatform::apply(const std::vector<AppliedChange>& changes) {
    for (const auto& change : changes) {
        auto* shown = find(change.display);
        if (!shown) continue;
        applied.push_back(change);
        if (change.kind == AppliedChange::Kind::origin) {
            shown->bounds.x = change.x;
            shown->bounds.y = change.y;
            continue;
        }
        shown->reportedMaster = shown->master;
        shown->unsettledQueries = shown->mirrorSettleQueries;
        shown->master = change.master;
        // A mirror shows the master's region; an unmirrored display goes back to the right edge.
        const auto* master = find(change.master);
        shown->bounds.x = master ? master->bounds.x : rightEdge();
        shown->bounds.y = master ? master->bounds.y : 0;
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

void SimulatedPlatform::release(DisplayID display) { releasedDisplays += int(displays.erase(display)); }

double SimulatedPlatform::rightEdge() const {
    double edge = 0;
    for (const auto& [id, shown] : displays) edge = std::max(edge, shown.bounds.maxX());
    return edge;
}

} // namespace tavelin
