#include <algorithm>
#include <cmath>
#include <limits>

#include "app/model.hpp"
#include "core/decimal.hpp"

namespace tavelin {

namespace {

constexpr int activationAttempts = 40;
constexpr const char* activationFailed =
    "The display server did not activate the requested display mode. Try connecting this display again.";
constexpr const char* activationCancelled = "The display change was cancelled.";
constexpr const char* mirroringFailed = "The display server could not mirror this display.";
constexpr const char* invalidName = "Use a display name between 1 and 80 characters.";

// Display servers report fractional rates (CVT "60 Hz" reads 59.94), so a mode counts
// as the requested rate within half a hertz.
bool sameRate(double rate, std::int64_t wanted) {
    return std::fabs(rate - static_cast<double>(wanted)) < 0.5;
}

// One activation attempt: switch the display into the profile's mode and confirm it.
bool activateMode(DisplayServices& server, DisplayID display, const DisplayProfile& wanted) {
    const auto modes = server.modes(display);
    if (!server.isOnline(display)) return false;
    const std::int64_t scale = wanted.hiDPI ? 2 : 1;
    const auto match = std::ranges::find_if(modes, [&](const DisplayMode& mode) {
        return mode.pixelWidth == wanted.width && mode.pixelHeight == wanted.height &&
               mode.width == wanted.width / scale && mode.height == wanted.height / scale &&
               sameRate(mode.refreshRate, wanted.refreshRate);
    });
    if (match == modes.end() || server.setMode(display, *match) != DisplayError::none) return false;
    const auto current = server.currentMode(display);
    return current && current->pixelWidth == wanted.width && current->pixelHeight == wanted.height &&
           sameRate(current->refreshRate, wanted.refreshRate);
}

// The bitrate field truncated toward zero; NaN and values beyond the range saturate, and
// then fail validation like any other out-of-range bitrate.
std::int64_t truncatedBitrate(double rate) {
    if (std::isnan(rate)) return 0;
    constexpr auto lowest = std::numeric_limits<std::int64_t>::min();
    constexpr auto highest = std::numeric_limits<std::int64_t>::max();
    if (rate <= static_cast<double>(lowest)) return lowest;
    if (rate >= static_cast<double>(highest)) return highest;
    return static_cast<std::int64_t>(rate);
}

} // namespace

DisplayProfile* AppModel::profile(const UUID& id) {
    // Published only hands out const access so that every write notifies; the pointer is
    // for reading, and changes go through modifyProfile.
    auto& profiles = const_cast<std::vector<DisplayProfile>&>(displayProfiles());
    const auto found = std::ranges::find_if(profiles, [&](const DisplayProfile& p) { return p.id() == id; });
    return found == profiles.end() ? nullptr : &*found;
}

void AppModel::modifyProfile(const UUID& id, const std::function<void(DisplayProfile&)>& change) {
    if (!profile(id)) return;
    displayProfiles.modify([&](std::vector<DisplayProfile>& profiles) {
        change(*std::ranges::find_if(profiles, [&](const DisplayProfile& p) { return p.id() == id; }));
    });
}

void AppModel::dropDisplay(const UUID& id) {
    displays_.erase(id);
    if (activeDisplayIDs().contains(id)) {
        auto ids = activeDisplayIDs();
        ids.erase(id);
        activeDisplayIDs.set(std::move(ids));
    }
}

void AppModel::selectDisplay(const UUID& id) {
    if (isRunning() || isBusy() || !profile(id)) return;
    selectedDisplayID.set(id);
    loadSelectedMode();
    persistDisplays();
}

Task<> AppModel::addDisplay() {
    if (isBusy()) co_return;
    std::string name(DisplayProfile::defaultName);
    if (const auto count = displayProfiles().size(); count > 0) name += " " + std::to_string(count + 1);
    const UUID id = UUID::random();
    displayProfiles.modify([&](std::vector<DisplayProfile>& profiles) {
        profiles.push_back(DisplayProfile::withDefaultMode(id, std::move(name)));
    });
    if (!isRunning()) selectDisplay(id);
    persistDisplays();

    const BusyScope busy(isBusy);
    co_await enableDisplay(id);
}

Task<> AppModel::connectDisplay(UUID id) {
    if (isBusy()) co_return;
    const BusyScope busy(isBusy);
    co_await enableDisplay(id);
}

Task<> AppModel::disableDisplay(UUID id) {
    if (isBusy()) co_return;
    const BusyScope busy(isBusy);
    if (id == selectedDisplayID() && isRunning()) co_await stop();
    rememberArrangement();
    dropDisplay(id);
    modifyProfile(id, [](DisplayProfile& p) { p.enabled = false; });
    persistDisplays();
}

Task<> AppModel::removeDisplay(UUID id) {
    if (isBusy()) co_return;
    const BusyScope busy(isBusy);
    if (id == selectedDisplayID() && isRunning()) co_await stop();
    dropDisplay(id);
    auto profiles = displayProfiles();
    std::erase_if(profiles, [&](const DisplayProfile& p) { return p.id() == id; });
    displayProfiles.set(std::move(profiles));
    if (id == selectedDisplayID()) {
        const auto& remaining = displayProfiles();
        selectedDisplayID.set(remaining.empty() ? UUID::random() : remaining.front().id());
        loadSelectedMode();
    }
    persistDisplays();
}

Task<> AppModel::renameDisplay(UUID id, std::string name) {
    const auto cleaned = DisplayProfile::validateName(name);
    if (!cleaned) {
        setError(invalidName);
        co_return;
    }
    const auto* saved = profile(id);
    if (!saved || isBusy() || saved->name == *cleaned) co_return;

    BusyScope busy(isBusy);
    const bool wasLive = activeDisplayIDs().contains(id);
    const bool restartSharing = isRunning() && id == selectedDisplayID();
    if (restartSharing) co_await stop();
    rememberArrangement();
    dropDisplay(id);
    modifyProfile(id, [&](DisplayProfile& p) { p.name = *cleaned; });
    persistDisplays();
    if (wasLive) co_await enableDisplay(id);
    busy.release();
    if (restartSharing) co_await start();
}

Task<> AppModel::restoreDisplays() {
    if (isBusy()) co_return;
    const BusyScope busy(isBusy);
    const auto snapshot = displayProfiles();
    for (const auto& saved : snapshot) {
        if (saved.enabled) co_await enableDisplay(saved.id());
    }
}

Task<> AppModel::applyDisplayMode() {
    const UUID id = selectedDisplayID();
    if (isBusy() || !profile(id)) co_return;
    BusyScope busy(isBusy);

    const auto parsedWidth = parseDecimalInt64(width());
    const auto parsedHeight = parseDecimalInt64(height());
    const std::int64_t rate = truncatedBitrate(bitrate());
    std::optional<ConfigurationError::Kind> refused = ConfigurationError::Kind::invalidResolution;
    if (parsedWidth && parsedHeight) {
        refused = DisplayConfiguration::check(*parsedWidth, *parsedHeight, fps(), rate, hiDPI());
    }
    if (refused) {
        setError(ConfigurationError::message(*refused));
        co_return;
    }

    const bool wasRunning = isRunning();
    if (wasRunning) co_await stop();
    rememberArrangement();
    const bool wasLive = activeDisplayIDs().contains(id);
    dropDisplay(id);
    modifyProfile(id, [&](DisplayProfile& p) {
        p.width = *parsedWidth;
        p.height = *parsedHeight;
        p.refreshRate = fps();
        p.bitrateMbps = rate;
        p.hiDPI = hiDPI();
    });
    persistDisplays();
    if (wasLive) co_await enableDisplay(id);
    busy.release();
    if (wasRunning) co_await start();
}

void AppModel::displayConfigurationChanged() {
    arrangementTask_.cancel();
    // The capture waits for the burst of changes to end, and never records positions of
    // displays still being created or while an operation moves them.
    auto capture = [](std::weak_ptr<AppModel> weakModel, Timings::Duration delay) -> Task<> {
        if (!co_await sleepFor(delay)) co_return;
        const auto model = weakModel.lock();
        if (!model || model->isBusy() || !model->restoringDisplayIDs_.empty()) co_return;
        model->rememberArrangement();
    };
    arrangementTask_ = TaskHandle::spawn(engine_, capture(weak_from_this(), timings_.displayChangeDebounce));
}

Task<> AppModel::enableDisplay(UUID id) {
    if (displays_.contains(id)) co_return;
    const auto* saved = profile(id);
    if (!saved) co_return;
    // A copy: the list may change while the activation waits.
    const DisplayProfile wanted = *saved;
    restoringDisplayIDs_.insert(id);

    std::optional<std::string> failure;
    try {
        const auto configuration = wanted.validated();
        displays_[id] = platform_.virtualDisplays.create(configuration.width(), configuration.height(),
                                                         static_cast<double>(configuration.refreshRate()),
                                                         configuration.hiDPI(), wanted.name, id.uuidString());
    } catch (const std::exception& error) {
        failure = error.what();
    }

    if (!failure) {
        const DisplayID display = displays_.at(id)->displayID();
        for (int attempt = 0; attempt < activationAttempts; ++attempt) {
            if (activateMode(platform_.displays, display, wanted)) break;
            if (!co_await sleepFor(timings_.displayModePoll)) {
                failure = activationCancelled;
            } else if (attempt == activationAttempts - 1) {
                failure = activationFailed;
            }
            if (failure) break;
        }

        if (!failure) {
            auto ids = activeDisplayIDs();
            ids.insert(id);
            activeDisplayIDs.set(std::move(ids));
            modifyProfile(id, [](DisplayProfile& p) { p.enabled = true; });

            if (wanted.mirrorMain == true) {
                if (!configureMirroring(display, true)) {
                    const auto shown = error();
                    failure = shown && !shown->empty() ? *shown : mirroringFailed;
                }
            } else if (wanted.originX && wanted.originY) {
                // A refused move is reported but keeps the display where the server put it.
                runTransaction([&](DisplayConfigurationTransaction& transaction) {
                    return transaction.configureOrigin(display, *wanted.originX, *wanted.originY);
                });
            }
        }
        if (!failure) persistDisplays();
    }

    if (failure) {
        dropDisplay(id);
        setError(std::move(failure));
    }
    restoringDisplayIDs_.erase(id);
}

} // namespace tavelin
