#include "app/model.hpp"

#include <algorithm>
#include <ranges>

#include "core/log.hpp"
#include "core/decimal.hpp"
#include "core/display_list_store.hpp"

namespace tavelin {

std::shared_ptr<AppModel> AppModel::create(ModelDependencies dependencies) {
    std::shared_ptr<AppModel> model(new AppModel(std::move(dependencies)));
    return model;
}

AppModel::AppModel(ModelDependencies dependencies)
    : engine_(std::move(dependencies.engine)), platform_(dependencies.platform),
      defaults_(dependencies.defaults), makeSession_(std::move(dependencies.makeSession)),
      makeServer_(std::move(dependencies.makeServer)), arguments_(std::move(dependencies.arguments)),
      timings_(dependencies.timings), webRoot_(std::move(dependencies.webRoot)),
      systemDisplays_(std::move(dependencies.systemDisplays)), loginItems_(std::move(dependencies.loginItems)) {
    notify_ = [this](ModelField field) {
        for (const auto& observer : observers_) observer(field);
    };
    addresses.set(usableAddresses(platform_.network.addresses()));
    mousePermissionGranted.set(platform_.permissions.isInputTrusted());
    permissionGranted.set(platform_.permissions.canCaptureScreen());
    // Without a random source there is no code yet: pairing refuses every code until
    // sharing starts and draws one.
    pairingCode.set(drawPairingCode().value_or(""));
    refreshOpenAtLogin();

    auto list = loadDisplayList(defaults_);
    displayProfiles.set(std::move(list.profiles));
    selectedDisplayID.set(list.selectedDisplayID);
    loadSelectedMode();
    persistDisplays();
}

AppModel::~AppModel() { arrangementTask_.cancel(); }

void AppModel::spawn(Task<> operation) {
    // The frame keeps the model alive until the operation ends.
    auto keepAlive = [](std::shared_ptr<AppModel>, Task<> work) -> Task<> { co_await std::move(work); };
    detach(engine_, keepAlive(shared_from_this(), std::move(operation)));
}

void AppModel::setStatus(std::string text) {
    log::info(text);
    status_.set(std::move(text));
}

void AppModel::setError(std::optional<std::string> message) {
    if (message) log::error(*message);
    error_.set(std::move(message));
}

std::optional<DisplayProfile> AppModel::selectedDisplay() const {
    const auto& profiles = displayProfiles();
    const auto found = std::ranges::find_if(profiles, [&](const DisplayProfile& p) { return p.id() == selectedDisplayID(); });
    if (found == profiles.end()) return std::nullopt;
    return *found;
}

std::string AppModel::receiverURL() const {
    std::string host = selectedAddress();
    if (host.empty()) host = addresses().empty() ? "127.0.0.1" : addresses().front();
    return "http://" + host + ":" + port() + "/" + pairingCode();
}

void AppModel::loadSelectedMode() {
    const auto selected = selectedDisplay();
    if (!selected) return;
    width.set(std::to_string(selected->width));
    height.set(std::to_string(selected->height));
    fps.set(selected->refreshRate);
    bitrate.set(static_cast<double>(selected->bitrateMbps));
    hiDPI.set(selected->hiDPI);
}

void AppModel::persistDisplays() { saveDisplayList(defaults_, displayProfiles(), selectedDisplayID()); }

bool AppModel::hasArgument(const std::string& option) const {
    return std::ranges::find(arguments_, option) != arguments_.end();
}

std::optional<std::string> AppModel::argumentValue(const std::string& option) const {
    const auto found = std::ranges::find(arguments_, option);
    if (found == arguments_.end() || std::next(found) == arguments_.end()) return std::nullopt;
    return *std::next(found);
}

void AppModel::applyLaunchSettings() {
    if (const auto value = argumentValue("--width")) width.set(*value);
    if (const auto value = argumentValue("--height")) height.set(*value);
    if (const auto value = argumentValue("--fps")) {
        if (const auto parsed = parseDecimalInt64(*value)) fps.set(*parsed);
    }
    if (hasArgument("--hidpi")) hiDPI.set(true);
    if (const auto value = argumentValue("--port")) port.set(*value);
}

void AppModel::refreshPermission() {
    mousePermissionGranted.set(platform_.permissions.isInputTrusted());
    if (!isRunning()) permissionGranted.set(platform_.permissions.canCaptureScreen());
}

void AppModel::requestMousePermission() {
    const bool trusted = platform_.permissions.requestInputTrust();
    mousePermissionGranted.set(trusted);
    // There is no settings page that grants input injection on X11; the arrange help
    // and the status explain what is missing instead.
}

void AppModel::showWindow(const std::string& tab) {
    selectedTab.set(tab);
    if (windowHooks.showMainWindow) windowHooks.showMainWindow(tab);
}

void AppModel::toggleMotionTest() {
    if (motionTestShown_) {
        if (windowHooks.closeMotionTest) windowHooks.closeMotionTest();
        motionTestShown_ = false;
        return;
    }
    const auto live = displays_.find(selectedDisplayID());
    if (live == displays_.end() || !windowHooks.showMotionTest) return;
    motionTestShown_ = windowHooks.showMotionTest(live->second->displayID());
}

void AppModel::resetImage() {
    receiverBrightness.set(1.0);
    receiverContrast.set(1.0);
    receiverSaturation.set(1.0);
    receiverRotation.set(0);
    receiverFlip.set(false);
    receiverBlank.set(false);
    receiverFit.set("contain");
}

namespace {

std::string diagnosticValue(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

} // namespace

Task<> AppModel::refreshDiagnostics() {
    const auto running = session_;
    if (!running) co_return;
    const auto statistics = co_await running->statistics();
    if (!statistics.is_object()) co_return;
    // nlohmann's object keeps its keys sorted, which is the order of the lines.
    std::string text;
    for (const auto& [name, value] : statistics.items()) {
        if (!text.empty()) text += '\n';
        text += name + ": " + diagnosticValue(value);
    }
    streamDiagnostics.set(std::move(text));
}

std::vector<std::string> usableAddresses(const std::vector<InterfaceAddress>& interfaces) {
    std::vector<std::string> result;
    for (const auto& entry : interfaces) {
        if (!entry.isIPv4 || !entry.isUp || entry.isLoopback || entry.numericHost.empty()) continue;
        if (std::ranges::find(result, entry.numericHost) == result.end()) result.push_back(entry.numericHost);
    }
    const auto rank = [](const std::string& address) {
        if (address.starts_with("192.168.")) return 0;
        if (address.starts_with("10.")) return 1;
        return 2;
    };
    std::ranges::stable_sort(result, {}, rank);
    return result;
}

} // namespace tavelin
