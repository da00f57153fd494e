#include "platform/gnome/mutter_display_services.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "platform/gnome/mutter_virtual_monitor.hpp"

namespace tavelin::gnome {

namespace {

// The primary logical monitor's origin, which global coordinates start from.
std::pair<std::int32_t, std::int32_t> mainOrigin(const MonitorsState& state) {
    for (const auto& logical : state.logicalMonitors) {
        if (logical.primary) return {logical.x, logical.y};
    }
    return {0, 0};
}

std::uint64_t modeHandle(const std::string& id) { return displayIDOf(id); }

DisplayMode displayMode(const MonitorMode& mode, double scale) {
    const auto points = [&](std::int32_t pixels) { return static_cast<std::int64_t>(pixels / scale); };
    return {modeHandle(mode.id), mode.width, mode.height, points(mode.width), points(mode.height), mode.refreshRate};
}

class Transaction final : public DisplayConfigurationTransaction {
public:
    Transaction(MutterDisplayServices& services, MonitorsState state)
        : services_(services), state_(std::move(state)) {}

    DisplayError configureOrigin(DisplayID display, std::int32_t x, std::int32_t y) override {
        const auto connector = connectorOf(display);
        if (!connector) return DisplayError::illegalArgument;
        origins_[*connector] = {x, y};
        return DisplayError::none;
    }

    DisplayError configureMirror(DisplayID display, DisplayID master) override {
        const auto connector = connectorOf(display);
        const auto masterConnector = master == nullDisplay ? std::optional<std::string>("") : connectorOf(master);
        if (!connector || !masterConnector || *connector == *masterConnector) return DisplayError::illegalArgument;
        mirrors_[*connector] = *masterConnector;
        return DisplayError::none;
    }

    DisplayError complete() override {
        if (origins_.empty() && mirrors_.empty()) return DisplayError::failure;
        const auto [mainX, mainY] = mainOrigin(state_);
        // Each lit monitor with its place (global) and master, then the staged changes.
        struct Entry {
            std::string connector;
            LogicalMonitor logical;
            std::string master;
        };
        std::vector<Entry> entries;
        for (const auto& logical : state_.logicalMonitors) {
            for (const auto& connector : logical.connectors) {
                LogicalMonitor own = logical;
                own.x -= mainX;
                own.y -= mainY;
                own.connectors = {connector};
                const bool first = connector == logical.connectors.front();
                own.primary = logical.primary && first;
                entries.push_back({connector, own, first ? "" : logical.connectors.front()});
            }
        }
        std::vector<std::string> freed; // stop mirroring, without a place of their own
        for (auto& e : entries) {
            if (const auto mirror = mirrors_.find(e.connector); mirror != mirrors_.end()) {
                if (mirror->second.empty() && !e.master.empty() && !origins_.contains(e.connector)) {
                    freed.push_back(e.connector);
                }
                e.master = mirror->second;
            }
            if (const auto origin = origins_.find(e.connector); origin != origins_.end()) {
                std::tie(e.logical.x, e.logical.y) = origin->second;
            }
        }
        // Those go to the right of the others, as on X11.
        std::int32_t right = 0;
        for (const auto& e : entries) {
            const auto bounds = state_.bounds(e.connector);
            if (bounds && e.master.empty() && std::ranges::find(freed, e.connector) == freed.end()) {
                right = std::max(right, static_cast<std::int32_t>(e.logical.x + bounds->width));
            }
        }
        for (auto& e : entries) {
            if (std::ranges::find(freed, e.connector) == freed.end()) continue;
            e.logical.x = right;
            right += static_cast<std::int32_t>(state_.bounds(e.connector)->width);
        }
        // One left where it was must not end up under one moved there (a display placed at
        // the main display's origin becomes main): it is pushed aside to the right.
        const auto box = [&](const Entry& e) {
            const auto bounds = state_.bounds(e.connector).value_or(DisplayBounds{});
            return DisplayBounds{static_cast<double>(e.logical.x), static_cast<double>(e.logical.y), bounds.width,
                                 bounds.height};
        };
        const auto overlap = [](const DisplayBounds& p, const DisplayBounds& q) {
            return p.x < q.maxX() && q.x < p.maxX() && p.y < q.maxY() && q.y < p.maxY();
        };
        for (auto& still : entries) {
            if (!still.master.empty() || origins_.contains(still.connector)) continue;
            const bool covered = std::ranges::any_of(entries, [&](const Entry& moved) {
                return &moved != &still && moved.master.empty() && origins_.contains(moved.connector) &&
                       overlap(box(still), box(moved));
            });
            if (!covered) continue;
            double edge = 0;
            for (const auto& other : entries) {
                if (&other != &still && other.master.empty()) edge = std::max(edge, box(other).maxX());
            }
            still.logical.x = static_cast<std::int32_t>(edge);
        }
        std::vector<LogicalMonitor> layout;
        for (const auto& e : entries) {
            if (e.master.empty()) layout.push_back(e.logical);
        }
        for (const auto& e : entries) {
            if (e.master.empty()) continue;
            const auto into = std::ranges::find_if(layout, [&](const auto& l) { return l.connectors.front() == e.master; });
            if (into == layout.end()) return DisplayError::illegalArgument; // a master that mirrors itself
            into->connectors.push_back(e.connector);
            into->primary = into->primary || e.logical.primary;
        }
        // The one placed at the global origin becomes the main display; mutter wants the
        // layout's corner at (0, 0).
        const auto placedAtOrigin = [&](const LogicalMonitor& l) {
            return l.x == 0 && l.y == 0 && origins_.contains(l.connectors.front());
        };
        const bool newMain = std::ranges::any_of(layout, placedAtOrigin);
        std::int32_t left = std::numeric_limits<std::int32_t>::max(), top = left;
        for (auto& logical : layout) {
            if (newMain) logical.primary = placedAtOrigin(logical);
            left = std::min(left, logical.x);
            top = std::min(top, logical.y);
        }
        for (auto& logical : layout) {
            logical.x -= left;
            logical.y -= top;
        }
        return services_.apply(state_, std::move(layout));
    }

    void cancel() override {
        origins_.clear();
        mirrors_.clear();
    }

private:
    std::optional<std::string> connectorOf(DisplayID display) const {
        for (const auto& monitor : state_.monitors) {
            if (displayIDOf(monitor.connector) == display && state_.logicalMonitorOf(monitor.connector)) {
                return monitor.connector;
            }
        }
        return std::nullopt;
    }

    MutterDisplayServices& services_;
    MonitorsState state_;
    std::map<std::string, std::pair<std::int32_t, std::int32_t>> origins_;
    std::map<std::string, std::string> mirrors_; // "" ends mirroring
};

} // namespace

std::optional<MonitorsState> MutterDisplayServices::state() {
    try {
        return currentMonitors(bus_);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

std::optional<std::pair<MonitorsState, std::string>> MutterDisplayServices::find(DisplayID display) {
    auto now = state();
    if (!now) return std::nullopt;
    for (const auto& monitor : now->monitors) {
        if (displayIDOf(monitor.connector) == display) return std::pair{*now, monitor.connector};
    }
    return std::nullopt;
}

std::vector<DisplayMode> MutterDisplayServices::modes(DisplayID display) {
    const auto found = find(display);
    if (!found) return {};
    const auto& [state, connector] = *found;
    const LogicalMonitor* logical = state.logicalMonitorOf(connector);
    std::vector<DisplayMode> result;
    for (const auto& mode : state.monitor(connector)->modes) {
        result.push_back(displayMode(mode, logical ? logical->scale : mode.preferredScale));
    }
    return result;
}

std::optional<DisplayMode> MutterDisplayServices::currentMode(DisplayID display) {
    const auto found = find(display);
    if (!found) return std::nullopt;
    const auto& [state, connector] = *found;
    const MonitorMode* mode = state.monitor(connector)->currentMode();
    const LogicalMonitor* logical = state.logicalMonitorOf(connector);
    if (!mode || !logical) return std::nullopt;
    return displayMode(*mode, logical->scale);
}

DisplayError MutterDisplayServices::setMode(DisplayID display, const DisplayMode& mode) {
    auto found = find(display);
    if (!found) return DisplayError::illegalArgument;
    auto& [state, connector] = *found;
    Monitor& monitor = *std::ranges::find(state.monitors, connector, &Monitor::connector);
    const auto chosen = std::ranges::find(monitor.modes, mode.id, [](const MonitorMode& m) { return modeHandle(m.id); });
    if (chosen == monitor.modes.end() || !state.logicalMonitorOf(connector)) return DisplayError::illegalArgument;
    for (auto& each : monitor.modes) each.current = &each == &*chosen;
    return apply(state, state.logicalMonitors);
}

bool MutterDisplayServices::isOnline(DisplayID display) {
    const auto found = find(display);
    return found && found->first.logicalMonitorOf(found->second);
}

DisplayBounds MutterDisplayServices::bounds(DisplayID display) {
    const auto found = find(display);
    if (!found) return {};
    return found->first.globalBounds(found->second).value_or(DisplayBounds{});
}

DisplayID MutterDisplayServices::mainDisplay() {
    const auto now = state();
    for (const auto& logical : now ? now->logicalMonitors : std::vector<LogicalMonitor>{}) {
        if (logical.primary && !logical.connectors.empty()) return displayIDOf(logical.connectors.front());
    }
    return nullDisplay;
}

DisplayID MutterDisplayServices::mirrorsDisplay(DisplayID display) {
    const auto found = find(display);
    const LogicalMonitor* logical = found ? found->first.logicalMonitorOf(found->second) : nullptr;
    if (!logical || logical->connectors.front() == found->second) return nullDisplay;
    return displayIDOf(logical->connectors.front());
}

std::optional<std::vector<DisplayID>> MutterDisplayServices::activeDisplays() {
    const auto now = state();
    if (!now) return std::nullopt;
    std::vector<DisplayID> result;
    for (const auto& logical : now->logicalMonitors) {
        for (const auto& connector : logical.connectors) result.push_back(displayIDOf(connector));
    }
    return result;
}

std::unique_ptr<DisplayConfigurationTransaction> MutterDisplayServices::beginConfiguration() {
    auto now = state();
    if (!now) return nullptr;
    return std::make_unique<Transaction>(*this, std::move(*now));
}

DisplayError MutterDisplayServices::apply(MonitorsState state, std::vector<LogicalMonitor> logical) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            applyMonitors(bus_, state, logical, 1);
            return DisplayError::none;
        } catch (const std::runtime_error&) {
            // Another client changed the layout since we read it: once more on the new serial.
            const auto fresh = this->state();
            if (!fresh || fresh->serial == state.serial) return DisplayError::failure;
            state.serial = fresh->serial;
        }
    }
    return DisplayError::failure;
}

} // namespace tavelin::gnome
