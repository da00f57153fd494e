#include <cmath>
#include <limits>

#include "app/model.hpp"

namespace tavelin {

namespace {

constexpr int mirrorStatePolls = 20;

// Coordinates come from the display server as doubles; they are truncated toward zero,
// and values a 32-bit coordinate cannot hold saturate instead of being undefined.
std::int32_t coordinate(double value) {
    if (std::isnan(value)) return 0;
    constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
    constexpr auto highest = std::numeric_limits<std::int32_t>::max();
    if (value <= lowest) return lowest;
    if (value >= highest) return highest;
    return static_cast<std::int32_t>(value);
}

} // namespace

void AppModel::rememberArrangement() {
    auto profiles = displayProfiles();
    auto& server = platform_.displays;
    for (auto& saved : profiles) {
        if (restoringDisplayIDs_.contains(saved.id())) continue;
        const auto live = displays_.find(saved.id());
        if (live == displays_.end()) continue;
        const DisplayID display = live->second->displayID();
        // A mirror sits at its master's origin; keeping its own origin lets it return there.
        if (!server.isOnline(display) || saved.mirrorMain == true || server.mirrorsDisplay(display) != nullDisplay) {
            continue;
        }
        const auto bounds = server.bounds(display);
        saved.originX = coordinate(bounds.x);
        saved.originY = coordinate(bounds.y);
    }
    displayProfiles.set(std::move(profiles));
    persistDisplays();
}

void AppModel::placeDisplay(const std::string& direction) {
    const auto selected = selectedDisplay();
    const auto live = displays_.find(selectedDisplayID());
    if (isBusy() || (selected && selected->mirrorMain == true) || live == displays_.end()) return;

    auto& server = platform_.displays;
    const DisplayID display = live->second->displayID();
    const auto main = server.bounds(server.mainDisplay());
    const auto placed = server.bounds(display);
    double x = main.maxX();
    double y = main.y;
    if (direction == "Left") {
        x = main.x - placed.width;
    } else if (direction == "Above") {
        x = main.x;
        y = main.y - placed.height;
    } else if (direction == "Below") {
        x = main.x;
        y = main.maxY();
    }
    runTransaction([&](DisplayConfigurationTransaction& transaction) {
        return transaction.configureOrigin(display, coordinate(x), coordinate(y));
    });
    rememberArrangement();
}

void AppModel::makeMainDisplay() {
    const auto selected = selectedDisplay();
    const auto live = displays_.find(selectedDisplayID());
    if (isBusy() || (selected && selected->mirrorMain == true) || live == displays_.end()) return;

    auto& server = platform_.displays;
    const auto origin = server.bounds(live->second->displayID());
    const auto active = server.activeDisplays();
    if (!active) return;
    struct Placement {
        DisplayID display;
        DisplayBounds bounds;
    };
    std::vector<Placement> placements;
    for (const DisplayID display : *active) placements.push_back({display, server.bounds(display)});

    // Moving everything by the selected display's origin puts it at (0, 0), which makes
    // it the main display while the others keep their places relative to it.
    runTransaction([&](DisplayConfigurationTransaction& transaction) {
        for (const auto& placement : placements) {
            const auto refused = transaction.configureOrigin(
                placement.display, coordinate(placement.bounds.x - origin.x), coordinate(placement.bounds.y - origin.y));
            if (refused != DisplayError::none) return refused;
        }
        return DisplayError::none;
    });
    rememberArrangement();
}

Task<> AppModel::mirrorMainDisplay(bool mirror) {
    const UUID id = selectedDisplayID();
    if (isBusy() || !profile(id)) co_return;
    BusyScope busy(isBusy);
    setError(std::nullopt);
    rememberArrangement();
    const bool wasRunning = isRunning();
    if (wasRunning) co_await stop();

    const auto live = displays_.find(id);
    if (live == displays_.end()) {
        modifyProfile(id, [&](DisplayProfile& p) { p.mirrorMain = mirror; });
    } else if (const DisplayID display = live->second->displayID(); configureMirroring(display, mirror)) {
        modifyProfile(id, [&](DisplayProfile& p) { p.mirrorMain = mirror; });
        auto& server = platform_.displays;
        for (int poll = 0; poll < mirrorStatePolls && (server.mirrorsDisplay(display) != nullDisplay) != mirror;
             ++poll) {
            if (!co_await sleepFor(timings_.mirrorStatePoll)) break;
        }
        const auto* saved = profile(id);
        if (!mirror && saved && saved->originX && saved->originY) {
            const std::int32_t x = *saved->originX;
            const std::int32_t y = *saved->originY;
            runTransaction([&](DisplayConfigurationTransaction& transaction) {
                return transaction.configureOrigin(display, x, y);
            });
        }
    }
    persistDisplays();

    const auto kept = error();
    if (wasRunning) {
        busy.release();
        co_await start();
        if (!error() && kept) setError(kept);
    }
}

bool AppModel::configureMirroring(DisplayID display, bool mirror) {
    DisplayID master = nullDisplay;
    if (mirror) {
        master = platform_.displays.mainDisplay();
        if (display == master) {
            setError("Choose another main display in display settings before mirroring this display.");
            return false;
        }
    }
    return runTransaction([&](DisplayConfigurationTransaction& transaction) {
        return transaction.configureMirror(display, master);
    });
}

void AppModel::arrangeDisplays() {
    // Linux desktops share no link to their display settings, so the arrange help alone
    // explains where to arrange the displays.
    showArrangeHelp.set(true);
}

bool AppModel::runTransaction(const std::function<DisplayError(DisplayConfigurationTransaction&)>& configure) {
    const auto transaction = platform_.displays.beginConfiguration();
    if (!transaction) {
        setError("The display server could not begin changing the display arrangement.");
        return false;
    }
    if (const auto refused = configure(*transaction); refused != DisplayError::none) {
        transaction->cancel();
        setError("The display server rejected this display change (" + std::to_string(code(refused)) + ").");
        return false;
    }
    if (transaction->complete() != DisplayError::none) {
        setError("The display server could not apply this display change. Open display settings to adjust it.");
        return false;
    }
    return true;
}

} // namespace tavelin
