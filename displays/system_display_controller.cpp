#include "displays/system_display_controller.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <utility>

namespace tavelin {

namespace {

std::string shortestDecimal(double value) {
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    std::string text(buffer, end);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

bool isHiDPI(const DisplayMode& mode) { return mode.pixelWidth > mode.width; }

} // namespace

std::string SystemDisplayMode::id() const {
    return std::to_string(mode.id) + "-" + std::to_string(mode.width) + "-" + std::to_string(mode.height) + "-" +
           std::to_string(mode.pixelWidth) + "-" + std::to_string(mode.pixelHeight) + "-" +
           shortestDecimal(mode.refreshRate);
}

std::string SystemDisplayMode::refresh() const {
    if (!(mode.refreshRate > 0)) return "Refresh rate not reported";
    // At most two fraction digits, without trailing zeros: 60, 59.94, 74.9.
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, std::round(mode.refreshRate * 100) / 100,
                                   std::chars_format::fixed, 2).ptr;
    std::string text(buffer, end);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text + " Hz";
}

std::string SystemDisplayMode::label() const {
    return std::to_string(mode.width) + " × " + std::to_string(mode.height) + " · " + refresh() +
           (isHiDPI(mode) ? " · HiDPI" : "");
}

bool modeBefore(const DisplayMode& a, const DisplayMode& b) {
    if (a.width != b.width) return a.width < b.width;
    if (a.height != b.height) return a.height < b.height;
    if (isHiDPI(a) != isHiDPI(b)) return isHiDPI(a);
    return a.refreshRate < b.refreshRate;
}

std::string DisplayColorProfile::identity() const { return std::filesystem::absolute(url).lexically_normal().string(); }

std::shared_ptr<SystemDisplayController> SystemDisplayController::create(Executor engine, Ports ports,
                                                                         Timings timings) {
    return std::shared_ptr<SystemDisplayController>(new SystemDisplayController(std::move(engine), ports, timings));
}

SystemDisplayController::SystemDisplayController(Executor engine, Ports ports, Timings timings)
    : notify_([this](SystemDisplayField field) {
          for (const auto& observer : observers_) observer(field);
      }),
      engine_(std::move(engine)), ports_(ports), timings_(timings) {}

SystemDisplayController::~SystemDisplayController() {
    revertTask_.cancel();
    for (auto& [id, task] : brightnessTasks_) task.cancel();
    std::lock_guard guard(scanLock_);
    if (scan_.joinable()) scan_.join();
}

const SystemDisplay* SystemDisplayController::find(DisplayID display) const {
    const auto& list = displays();
    const auto found = std::find_if(list.begin(), list.end(), [&](const SystemDisplay& d) { return d.id == display; });
    return found == list.end() ? nullptr : &*found;
}

SystemDisplay SystemDisplayController::describe(DisplayID id, DisplayID main) {
    SystemDisplay display;
    display.id = id;
    display.name = ports_.physical.name(id);
    if (display.name.empty()) display.name = "Display " + std::to_string(id);
    display.builtIn = ports_.physical.isBuiltIn(id);
    display.main = id == main;
    std::set<std::string> seen;
    for (const auto& mode : ports_.displays.modes(id)) {
        SystemDisplayMode entry{mode};
        if (mode.width <= 0 || mode.height <= 0 || !ports_.physical.isUsableForDesktop(id, mode)) continue;
        if (!seen.insert(entry.id()).second) continue;
        display.modes.push_back(entry);
    }
    std::stable_sort(display.modes.begin(), display.modes.end(),
                     [](const SystemDisplayMode& a, const SystemDisplayMode& b) { return modeBefore(a.mode, b.mode); });
    if (const auto profile = ports_.profiles.current(id)) {
        display.colorProfileSupported = true;
        if (*profile) {
            if (!(*profile)->name.empty()) display.colorProfileName = (*profile)->name;
            if (!(*profile)->file.empty()) display.colorProfileURL = (*profile)->file;
        }
    }
    if (const auto level = ports_.brightness.brightness(id); level && std::isfinite(*level) && *level >= 0 &&
                                                              *level <= 1) {
        display.brightness = level;
    }
    if (const auto current = ports_.displays.currentMode(id)) display.current = SystemDisplayMode{*current};
    return display;
}

void SystemDisplayController::refresh() {
    const auto ids = ports_.displays.activeDisplays();
    if (!ids) {
        error.set("The display server could not list the connected displays.");
        return;
    }
    const DisplayID main = ports_.displays.mainDisplay();
    std::vector<SystemDisplay> list;
    for (const DisplayID id : *ids) list.push_back(describe(id, main));
    displays.set(std::move(list));

    // A display that went takes its pending level with it; a level still being applied
    // is not overwritten by what the display reports meanwhile.
    auto levels = brightnessLevels();
    for (auto it = levels.begin(); it != levels.end();) {
        if (find(it->first)) {
            ++it;
            continue;
        }
        if (const auto task = brightnessTasks_.find(it->first); task != brightnessTasks_.end()) {
            task->second.cancel();
            brightnessTasks_.erase(task);
        }
        it = levels.erase(it);
    }
    for (const auto& display : displays()) {
        if (brightnessTasks_.contains(display.id)) continue;
        if (display.brightness) {
            levels[display.id] = *display.brightness;
        } else {
            levels.erase(display.id);
        }
    }
    brightnessLevels.set(std::move(levels));
}

void SystemDisplayController::previewMode(DisplayID displayID, const std::string& modeID) {
    if (pending_) {
        error.set("Keep or revert the current mode change first.");
        return;
    }
    refresh();
    const SystemDisplay* display = find(displayID);
    const SystemDisplayMode* mode = nullptr;
    if (display) {
        const auto found = std::find_if(display->modes.begin(), display->modes.end(),
                                        [&](const SystemDisplayMode& m) { return m.id() == modeID; });
        if (found != display->modes.end()) mode = &*found;
    }
    if (!mode || !display->current) {
        error.set("This display mode is no longer available. Refresh the display list.");
        return;
    }
    if (display->current->id() == modeID) return;
    const DisplayMode original = display->current->mode;
    const std::string name = display->name;
    if (const auto result = ports_.displays.setMode(displayID, mode->mode); result != DisplayError::none) {
        error.set("The display server could not apply this mode (" + std::to_string(code(result)) + ").");
        return;
    }
    error.set(std::nullopt);
    pending_ = PendingMode{displayID, ports_.physical.identity(displayID), original};
    pendingDisplayName.set(name);
    secondsRemaining.set(countdownSeconds);
    revertTask_ = TaskHandle::spawn(engine_, countdown());
    refresh();
}

Task<> SystemDisplayController::countdown() {
    const std::weak_ptr<SystemDisplayController> weak = weak_from_this();
    for (int n = countdownSeconds - 1; n >= 0; --n) {
        if (!co_await sleepFor(timings_.countdownTick)) co_return;
        const auto self = weak.lock();
        if (!self || !self->pending_) co_return;
        self->secondsRemaining.set(n);
        if (n == 0) self->revertMode();
    }
}

void SystemDisplayController::endPending() {
    pending_.reset();
    pendingDisplayName.set(std::nullopt);
    secondsRemaining.set(0);
}

void SystemDisplayController::keepMode() {
    revertTask_.cancel();
    revertTask_ = {};
    endPending();
    refresh();
}

void SystemDisplayController::revertMode() {
    revertTask_.cancel();
    revertTask_ = {};
    if (!pending_) return;
    const PendingMode change = *pending_;
    // Only the same monitor gets its old mode back: a display plugged in under the same
    // id meanwhile keeps whatever it has.
    if (ports_.displays.isOnline(change.displayID) && ports_.physical.identity(change.displayID) == change.identity) {
        if (const auto result = ports_.displays.setMode(change.displayID, change.original);
            result != DisplayError::none) {
            error.set("The display server could not restore the previous display mode (" +
                      std::to_string(code(result)) + "). Try Revert again or open Displays settings.");
            refresh();
            return;
        }
    }
    endPending();
    refresh();
}

void SystemDisplayController::setBrightness(DisplayID displayID, double level) {
    if (!(level >= 0 && level <= 1)) return;
    const SystemDisplay* display = find(displayID);
    if (!display || !display->brightness) return;
    brightnessLevels.modify([&](auto& levels) { levels[displayID] = level; });
    if (brightnessTasks_.contains(displayID)) return; // it applies the newest level
    brightnessTasks_[displayID] = TaskHandle::spawn(engine_, applyBrightness(displayID));
}

Task<> SystemDisplayController::applyBrightness(DisplayID displayID) {
    const std::weak_ptr<SystemDisplayController> weak = weak_from_this();
    if (!co_await sleepFor(timings_.brightnessDebounce)) co_return;
    const auto self = weak.lock();
    if (!self) co_return;
    self->brightnessTasks_.erase(displayID);
    const auto wanted = self->brightnessLevels().find(displayID);
    if (wanted == self->brightnessLevels().end()) co_return;
    const double level = wanted->second;
    if (!self->ports_.brightness.setBrightness(displayID, level)) {
        self->error.set("This display did not accept the brightness change.");
        self->refresh();
        co_return;
    }
    self->error.set(std::nullopt);
    const auto readBack = self->ports_.brightness.brightness(displayID);
    self->brightnessLevels.modify([&](auto& levels) { levels[displayID] = readBack.value_or(level); });
}

void SystemDisplayController::reloadColorProfiles() {
    // A listing under way is followed by one more, so the newest request is answered
    // without the engine waiting for the folders.
    if (scanning_) {
        rescan_ = true;
        return;
    }
    std::lock_guard guard(scanLock_);
    if (scan_.joinable()) scan_.join();
    scanning_ = true;
    scan_ = std::thread([weak = weak_from_this(), engine = engine_, &profiles = ports_.profiles] {
        std::vector<DisplayColorProfile> found;
        for (auto& file : profiles.available()) {
            if (!file.file.empty() && !file.name.empty()) found.push_back({std::move(file.file), std::move(file.name)});
        }
        postWeak(engine, weak, [found = std::move(found)](SystemDisplayController& self) mutable {
            self.scanning_ = false;
            self.colorProfiles.set(std::move(found));
            if (std::exchange(self.rescan_, false)) self.reloadColorProfiles();
        });
    });
}

void SystemDisplayController::setColorProfile(DisplayID displayID, const std::optional<std::string>& profileID) {
    const SystemDisplay* display = find(displayID);
    if (!display || !display->colorProfileSupported) {
        error.set("Colour profile selection is unavailable for this display.");
        return;
    }
    std::optional<std::filesystem::path> file;
    if (profileID) {
        const auto& list = colorProfiles();
        const auto found = std::find_if(list.begin(), list.end(),
                                        [&](const DisplayColorProfile& p) { return p.identity() == *profileID; });
        if (found == list.end()) {
            error.set("This color profile is no longer available. Refresh the profile list.");
            return;
        }
        file = found->url;
    }
    if (!ports_.profiles.assign(displayID, file)) {
        error.set("The display server did not accept this colour profile.");
        return;
    }
    error.set(std::nullopt);
    refresh();
}

} // namespace tavelin
