#include "ui/system_displays_bridge.hpp"

#include <cmath>
#include <map>
#include <set>

#include <asio/post.hpp>

#include "app/model.hpp"

namespace tavelin::ui {

namespace {

QString qtText(const std::string& text) { return QString::fromStdString(text); }

std::optional<DisplayID> parseDisplay(const QString& text) {
    bool ok = false;
    const auto value = text.toUInt(&ok);
    return ok ? std::optional<DisplayID>(value) : std::nullopt;
}

QVariantMap describe(const SystemDisplayController& controller, const SystemDisplay& display) {
    const std::string currentID = display.current ? display.current->id() : std::string();
    // Submenus by size, ordered by width then height; the modes keep the list's order.
    std::map<std::pair<std::int64_t, std::int64_t>, QVariantList> groups;
    for (const auto& mode : display.modes) {
        groups[{mode.mode.width, mode.mode.height}].append(QVariantMap{
            {"id", qtText(mode.id())}, {"label", qtText(mode.label())}, {"current", mode.id() == currentID}});
    }
    QVariantList modeGroups;
    for (const auto& [size, modes] : groups) {
        modeGroups.append(QVariantMap{
            {"title", QString::number(size.first) + " × " + QString::number(size.second)}, {"modes", modes}});
    }
    const auto level = controller.brightnessLevels().find(display.id);
    const double brightness = level != controller.brightnessLevels().end() ? level->second
                                                                           : display.brightness.value_or(0);
    QString profileID;
    if (display.colorProfileURL) profileID = qtText(DisplayColorProfile{*display.colorProfileURL, {}}.identity());
    return QVariantMap{
        {"id", QString::number(display.id)},
        {"name", qtText(display.name)},
        {"builtIn", display.builtIn},
        {"main", display.main},
        {"currentLabel", display.current ? qtText(display.current->label()) : QString()},
        {"hasBrightness", display.brightness.has_value()},
        {"brightness", brightness},
        {"brightnessPercent", QString::number(std::lround(brightness * 100)) + "%"},
        {"colorProfileSupported", display.colorProfileSupported},
        {"colorProfileName", qtText(display.colorProfileName.value_or(""))},
        {"colorProfileID", profileID},
        {"modeGroups", modeGroups},
    };
}

} // namespace

QVariantMap systemDisplaysSnapshot(const AppModel& model) {
    const auto& controller = model.systemDisplays();
    if (!controller) return {{"available", false}};
    std::set<DisplayID> ownDisplays;
    for (const auto& [id, display] : model.displays()) ownDisplays.insert(display->displayID());
    QVariantList displays;
    for (const auto& display : controller->displays()) {
        if (!ownDisplays.contains(display.id)) displays.append(describe(*controller, display));
    }
    QVariantList profiles;
    for (const auto& profile : controller->colorProfiles()) {
        profiles.append(QVariantMap{{"id", qtText(profile.identity())}, {"name", qtText(profile.name)}});
    }
    return {
        {"available", true},
        {"displays", displays},
        {"colorProfiles", profiles},
        {"pendingDisplayName", qtText(controller->pendingDisplayName().value_or(""))},
        {"secondsRemaining", controller->secondsRemaining()},
        {"error", qtText(controller->error().value_or(""))},
    };
}

SystemDisplaysBridge::SystemDisplaysBridge(std::weak_ptr<AppModel> model, Executor engine, QObject* parent)
    : QObject(parent), model_(std::move(model)), engine_(std::move(engine)), link_(std::make_shared<Link>()) {
    link_->bridge = this;
}

SystemDisplaysBridge::~SystemDisplaysBridge() {
    const std::lock_guard guard(link_->lock);
    link_->bridge = nullptr;
}

void SystemDisplaysBridge::send(const std::weak_ptr<Link>& link, AppModel& model) {
    const auto strong = link.lock();
    if (!strong) return;
    const std::lock_guard guard(strong->lock);
    if (!strong->bridge) return;
    QMetaObject::invokeMethod(
        strong->bridge,
        [bridge = strong->bridge, snapshot = systemDisplaysSnapshot(model)] {
            if (bridge->snapshot_ == snapshot) return;
            bridge->snapshot_ = snapshot;
            Q_EMIT bridge->changed();
        },
        Qt::QueuedConnection);
}

void SystemDisplaysBridge::attach() {
    asio::post(engine_, [model = model_, link = std::weak_ptr<Link>(link_), engine = engine_] {
        const auto m = model.lock();
        if (!m) return;
        // A burst of changes in one turn of the engine sends one snapshot.
        auto queued = std::make_shared<bool>(false);
        auto schedule = [weak = std::weak_ptr<AppModel>(m), link, engine, queued] {
            if (std::exchange(*queued, true)) return;
            asio::post(engine, [weak, link, queued] {
                *queued = false;
                if (const auto model = weak.lock()) send(link, *model);
            });
        };
        if (m->systemDisplays()) m->systemDisplays()->subscribe([schedule](SystemDisplayField) { schedule(); });
        m->subscribe([schedule](ModelField field) {
            if (field == ModelField::activeDisplayIDs) schedule();
        });
        send(link, *m);
    });
}

void SystemDisplaysBridge::post(std::function<void(SystemDisplayController&)> work) {
    asio::post(engine_, [model = model_, work = std::move(work)] {
        const auto m = model.lock();
        if (m && m->systemDisplays()) work(*m->systemDisplays());
    });
}

void SystemDisplaysBridge::refresh() {
    post([](SystemDisplayController& c) { c.refresh(); });
}
void SystemDisplaysBridge::previewMode(const QString& displayID, const QString& modeID) {
    if (const auto id = parseDisplay(displayID)) {
        post([id = *id, mode = modeID.toStdString()](SystemDisplayController& c) { c.previewMode(id, mode); });
    }
}
void SystemDisplaysBridge::keepMode() {
    post([](SystemDisplayController& c) { c.keepMode(); });
}
void SystemDisplaysBridge::revertMode() {
    post([](SystemDisplayController& c) { c.revertMode(); });
}
void SystemDisplaysBridge::setBrightness(const QString& displayID, double level) {
    if (const auto id = parseDisplay(displayID)) {
        post([id = *id, level](SystemDisplayController& c) { c.setBrightness(id, level); });
    }
}
void SystemDisplaysBridge::reloadColorProfiles() {
    post([](SystemDisplayController& c) { c.reloadColorProfiles(); });
}
void SystemDisplaysBridge::setColorProfile(const QString& displayID, const QString& profileID) {
    const auto id = parseDisplay(displayID);
    if (!id) return;
    std::optional<std::string> profile;
    if (!profileID.isEmpty()) profile = profileID.toStdString();
    post([id = *id, profile](SystemDisplayController& c) { c.setColorProfile(id, profile); });
}

} // namespace tavelin::ui
