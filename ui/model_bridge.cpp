#include "ui/model_bridge.hpp"

#include <algorithm>
#include <concepts>

#include <QClipboard>
#include <QGuiApplication>
#include <QVariantMap>

#include "app/model.hpp"
#include "ui/choices.hpp"

namespace tavelin::ui {

namespace {

using Mirror = ModelBridge::Mirror;
using Update = ModelBridge::Update;

QString qtText(const std::string& text) { return QString::fromStdString(text); }

QStringList qtTexts(const std::vector<std::string>& texts) {
    QStringList list;
    for (const auto& text : texts) list.append(qtText(text));
    return list;
}

std::optional<UUID> parseID(const QString& id) { return UUID::parse(id.toStdString()); }

// The model's value of a mirrored field, read on the engine.
QVariant read(const AppModel& m, Mirror field) {
    const auto selected = [&] { return m.selectedDisplay(); };
    switch (field) {
    case Mirror::width: return qtText(m.width());
    case Mirror::height: return qtText(m.height());
    case Mirror::fps: return static_cast<int>(m.fps());
    case Mirror::bitrate: return m.bitrate();
    case Mirror::hiDPI: return m.hiDPI();
    case Mirror::showArrangeHelp: return m.showArrangeHelp();
    case Mirror::showCursor: return m.showCursor();
    case Mirror::smoothMotion: return m.smoothMotion();
    case Mirror::receiverBrightness: return m.receiverBrightness();
    case Mirror::receiverContrast: return m.receiverContrast();
    case Mirror::receiverSaturation: return m.receiverSaturation();
    case Mirror::receiverRotation: return static_cast<int>(m.receiverRotation());
    case Mirror::receiverFlip: return m.receiverFlip();
    case Mirror::receiverBlank: return m.receiverBlank();
    case Mirror::receiverFit: return qtText(m.receiverFit());
    case Mirror::streamDiagnostics: return qtText(m.streamDiagnostics());
    case Mirror::port: return qtText(m.port());
    case Mirror::isRunning: return m.isRunning();
    case Mirror::isBusy: return m.isBusy();
    case Mirror::status: return qtText(m.status());
    case Mirror::error: return qtText(m.error().value_or(""));
    case Mirror::addresses: return qtTexts(m.addresses());
    case Mirror::selectedAddress: return qtText(m.selectedAddress());
    case Mirror::mousePermissionGranted: return m.mousePermissionGranted();
    case Mirror::permissionGranted: return m.permissionGranted();
    case Mirror::selectedTab: return qtText(m.selectedTab());
    case Mirror::displayProfiles: {
        QVariantList list;
        for (const auto& profile : m.displayProfiles()) {
            list.append(QVariantMap{{"id", qtText(profile.id().uuidString())},
                                    {"name", qtText(profile.name)},
                                    {"active", m.activeDisplayIDs().contains(profile.id())}});
        }
        return list;
    }
    case Mirror::selectedDisplayID: return qtText(m.selectedDisplayID().uuidString());
    case Mirror::activeDisplayIDs: {
        QStringList ids;
        for (const auto& id : m.activeDisplayIDs()) ids.append(qtText(id.uuidString()));
        return ids;
    }
    case Mirror::pairingCode: return qtText(m.pairingCode());
    case Mirror::receiverURL: return qtText(m.receiverURL());
    case Mirror::selectedDisplayName: {
        const auto profile = selected();
        return profile ? qtText(profile->name) : QString();
    }
    case Mirror::selectedDisplayActive: return m.activeDisplayIDs().contains(m.selectedDisplayID());
    case Mirror::selectedMirrorMain: {
        const auto profile = selected();
        return profile && profile->mirrorMain.value_or(false);
    }
    case Mirror::count: break;
    }
    return {};
}

// Writes a field the interface edits, on the engine.
void write(AppModel& m, Mirror field, const QVariant& value) {
    const auto text = [&] { return value.toString().toStdString(); };
    switch (field) {
    case Mirror::width: m.width.set(text()); break;
    case Mirror::height: m.height.set(text()); break;
    case Mirror::fps: m.fps.set(value.toInt()); break;
    case Mirror::bitrate: m.bitrate.set(value.toDouble()); break;
    case Mirror::hiDPI: m.hiDPI.set(value.toBool()); break;
    case Mirror::showArrangeHelp: m.showArrangeHelp.set(value.toBool()); break;
    case Mirror::showCursor: m.showCursor.set(value.toBool()); break;
    case Mirror::smoothMotion: m.smoothMotion.set(value.toBool()); break;
    case Mirror::receiverBrightness: m.receiverBrightness.set(value.toDouble()); break;
    case Mirror::receiverContrast: m.receiverContrast.set(value.toDouble()); break;
    case Mirror::receiverSaturation: m.receiverSaturation.set(value.toDouble()); break;
    case Mirror::receiverRotation: m.receiverRotation.set(value.toInt()); break;
    case Mirror::receiverFlip: m.receiverFlip.set(value.toBool()); break;
    case Mirror::receiverBlank: m.receiverBlank.set(value.toBool()); break;
    case Mirror::receiverFit: m.receiverFit.set(text()); break;
    case Mirror::port: m.port.set(text()); break;
    case Mirror::selectedAddress: m.selectedAddress.set(text()); break;
    case Mirror::selectedTab: m.selectedTab.set(text()); break;
    default: break; // read-only in the interface
    }
}

// A changed model field and the derived values that depend on it.
std::vector<Mirror> affected(ModelField field) {
    std::vector<Mirror> fields{static_cast<Mirror>(field)};
    switch (field) {
    case ModelField::addresses:
    case ModelField::selectedAddress:
    case ModelField::port:
    case ModelField::pairingCode:
        fields.push_back(Mirror::receiverURL);
        break;
    case ModelField::activeDisplayIDs:
        fields.push_back(Mirror::displayProfiles);
        [[fallthrough]];
    case ModelField::displayProfiles:
    case ModelField::selectedDisplayID:
        fields.insert(fields.end(), {Mirror::selectedDisplayName, Mirror::selectedDisplayActive, Mirror::selectedMirrorMain});
        break;
    default:
        break;
    }
    return fields;
}

std::vector<Update> readAll(const AppModel& m, const std::vector<Mirror>& fields) {
    std::vector<Update> updates;
    for (const auto field : fields) updates.emplace_back(field, read(m, field));
    return updates;
}

// Preview belongs to the session side; until the model offers it, the button says so.
template <typename Model>
void togglePreviewOf(Model& m) {
    if constexpr (requires { { m.togglePreview() } -> std::same_as<void>; }) {
        m.togglePreview();
    } else if constexpr (requires { { m.togglePreview() } -> std::same_as<Task<>>; }) {
        m.spawn(m.togglePreview());
    } else {
        m.setError("Video preview is unavailable on this computer.");
    }
}

} // namespace

ModelBridge::ModelBridge(std::weak_ptr<AppModel> model, Executor engine, QObject* parent)
    : QObject(parent), model_(std::move(model)), engine_(std::move(engine)), link_(std::make_shared<Link>()) {
    link_->bridge = this;
    for (const auto field : {Mirror::width, Mirror::height}) {
        connect(this, field == Mirror::width ? &ModelBridge::widthChanged : &ModelBridge::heightChanged, this,
                &ModelBridge::presetIndexChanged);
    }
}

ModelBridge::~ModelBridge() {
    const std::lock_guard guard(link_->lock);
    link_->bridge = nullptr;
}

void ModelBridge::attach() {
    post([link = std::weak_ptr<Link>(link_)](AppModel& m) {
        m.subscribe([&m, link](ModelField field) {
            toGui(link, [updates = readAll(m, affected(field))](ModelBridge& bridge) { bridge.receive(updates); });
        });
        std::vector<Mirror> all;
        for (std::size_t i = 0; i < mirrorCount; ++i) all.push_back(static_cast<Mirror>(i));
        toGui(link, [updates = readAll(m, all)](ModelBridge& bridge) { bridge.receive(updates); });
    });
}

void ModelBridge::toGui(const std::weak_ptr<Link>& link, std::function<void(ModelBridge&)> work) {
    const auto strong = link.lock();
    if (!strong) return;
    const std::lock_guard guard(strong->lock);
    if (!strong->bridge) return;
    // Qt drops the call if the bridge is destroyed before it runs.
    QMetaObject::invokeMethod(
        strong->bridge, [bridge = strong->bridge, work = std::move(work)] { work(*bridge); }, Qt::QueuedConnection);
}

void ModelBridge::post(std::function<void(AppModel&)> work, std::vector<Mirror> resyncFields) {
    asio::post(engine_, [model = model_, link = std::weak_ptr<Link>(link_), work = std::move(work),
                         resyncFields = std::move(resyncFields)] {
        const auto m = model.lock();
        if (!m) return;
        work(*m);
        if (!resyncFields.empty()) {
            toGui(link, [updates = readAll(*m, resyncFields)](ModelBridge& bridge) { bridge.resync(updates); });
        }
    });
}

void ModelBridge::spawn(std::function<Task<>(AppModel&)> work, std::vector<Mirror> resyncFields) {
    auto run = [](std::shared_ptr<AppModel> m, std::weak_ptr<Link> link, std::function<Task<>(AppModel&)> operation,
                  std::vector<Mirror> fields) -> Task<> {
        co_await operation(*m);
        if (!fields.empty()) {
            toGui(link, [updates = readAll(*m, fields)](ModelBridge& bridge) { bridge.resync(updates); });
        }
    };
    post([run, link = std::weak_ptr<Link>(link_), work = std::move(work),
          resyncFields = std::move(resyncFields)](AppModel& m) {
        m.spawn(run(m.shared_from_this(), link, work, resyncFields));
    });
}

void ModelBridge::emitChanged(Mirror field) {
    static constexpr std::array<void (ModelBridge::*)(), mirrorCount> signalOf{
        &ModelBridge::widthChanged, &ModelBridge::heightChanged, &ModelBridge::fpsChanged,
        &ModelBridge::bitrateChanged, &ModelBridge::hiDPIChanged, &ModelBridge::showArrangeHelpChanged,
        &ModelBridge::showCursorChanged, &ModelBridge::smoothMotionChanged, &ModelBridge::receiverBrightnessChanged,
        &ModelBridge::receiverContrastChanged, &ModelBridge::receiverSaturationChanged,
        &ModelBridge::receiverRotationChanged, &ModelBridge::receiverFlipChanged, &ModelBridge::receiverBlankChanged,
        &ModelBridge::receiverFitChanged, &ModelBridge::streamDiagnosticsChanged, &ModelBridge::portChanged,
        &ModelBridge::isRunningChanged, &ModelBridge::isBusyChanged, &ModelBridge::statusChanged,
        &ModelBridge::errorChanged, &ModelBridge::addressesChanged, &ModelBridge::selectedAddressChanged,
        &ModelBridge::mousePermissionGrantedChanged, &ModelBridge::permissionGrantedChanged,
        &ModelBridge::selectedTabChanged, &ModelBridge::displayProfilesChanged, &ModelBridge::selectedDisplayIDChanged,
        &ModelBridge::activeDisplayIDsChanged, &ModelBridge::pairingCodeChanged, &ModelBridge::receiverURLChanged,
        &ModelBridge::selectedDisplayNameChanged, &ModelBridge::selectedDisplayActiveChanged,
        &ModelBridge::selectedMirrorMainChanged,
    };
    Q_EMIT(this->*signalOf[static_cast<std::size_t>(field)])();
}

void ModelBridge::edit(Mirror field, QVariant newValue) {
    auto& current = values_[static_cast<std::size_t>(field)];
    if (current == newValue) return;
    current = newValue;
    ++pendingEdits_[static_cast<std::size_t>(field)];
    emitChanged(field);
    asio::post(engine_, [model = model_, link = std::weak_ptr<Link>(link_), field, newValue] {
        const auto m = model.lock();
        if (!m) return;
        write(*m, field, newValue);
        toGui(link, [field, now = read(*m, field)](ModelBridge& bridge) { bridge.acknowledge(field, now); });
    });
}

void ModelBridge::receive(const std::vector<Update>& updates) {
    for (const auto& [field, newValue] : updates) {
        auto& current = values_[static_cast<std::size_t>(field)];
        // While the user's edits travel, what comes back predates them.
        if (pendingEdits_[static_cast<std::size_t>(field)] > 0 || current == newValue) continue;
        current = newValue;
        emitChanged(field);
    }
}

void ModelBridge::acknowledge(Mirror field, const QVariant& modelValue) {
    auto& pending = pendingEdits_[static_cast<std::size_t>(field)];
    if (--pending > 0) return;
    auto& current = values_[static_cast<std::size_t>(field)];
    if (current == modelValue) return;
    current = modelValue;
    emitChanged(field);
}

void ModelBridge::resync(const std::vector<Update>& updates) {
    for (const auto& [field, newValue] : updates) {
        if (pendingEdits_[static_cast<std::size_t>(field)] > 0) continue;
        values_[static_cast<std::size_t>(field)] = newValue;
        // Always: the control may show the user's refused choice, not this value.
        emitChanged(field);
    }
}

int ModelBridge::presetIndex() const {
    const auto index = Choices::presetIndex(width().toStdString(), height().toStdString());
    return index ? static_cast<int>(*index) : -1;
}

void ModelBridge::start() {
    spawn([](AppModel& m) { return m.start(); });
}
void ModelBridge::stop() {
    spawn([](AppModel& m) { return m.stop(); });
}
void ModelBridge::generatePairingCode() {
    post([](AppModel& m) { m.generatePairingCode(); });
}
void ModelBridge::refreshNetwork() {
    post([](AppModel& m) { m.refreshNetwork(); });
}
void ModelBridge::refreshPermission() {
    post([](AppModel& m) { m.refreshPermission(); });
}
void ModelBridge::requestMousePermission() {
    post([](AppModel& m) { m.requestMousePermission(); });
}
void ModelBridge::showWindow(const QString& tab) {
    post([tab = tab.toStdString()](AppModel& m) { m.showWindow(tab); });
}
void ModelBridge::toggleMotionTest() {
    post([](AppModel& m) { m.toggleMotionTest(); });
}
void ModelBridge::togglePreview() {
    post([](AppModel& m) { togglePreviewOf(m); });
}
void ModelBridge::disconnectReceiver() {
    post([](AppModel& m) {
        if (m.session()) m.session()->disconnect({});
    });
}
void ModelBridge::resetImage() {
    post([](AppModel& m) { m.resetImage(); });
}
void ModelBridge::refreshDiagnostics() {
    spawn([](AppModel& m) { return m.refreshDiagnostics(); });
}

void ModelBridge::choosePreset(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= Choices::presets.size()) return;
    const auto& [presetWidth, presetHeight] = Choices::presets[static_cast<std::size_t>(index)];
    setWidth(QString::number(presetWidth));
    setHeight(QString::number(presetHeight));
}

void ModelBridge::selectDisplay(const QString& id) {
    post(
        [id = parseID(id)](AppModel& m) {
            if (id) m.selectDisplay(*id);
        },
        {Mirror::selectedDisplayID});
}
void ModelBridge::addDisplay() {
    spawn([](AppModel& m) { return m.addDisplay(); });
}
void ModelBridge::connectDisplay(const QString& id) {
    if (const auto parsed = parseID(id)) spawn([id = *parsed](AppModel& m) { return m.connectDisplay(id); });
}
void ModelBridge::disableDisplay(const QString& id) {
    if (const auto parsed = parseID(id)) spawn([id = *parsed](AppModel& m) { return m.disableDisplay(id); });
}
void ModelBridge::removeDisplay(const QString& id) {
    if (const auto parsed = parseID(id)) spawn([id = *parsed](AppModel& m) { return m.removeDisplay(id); });
}
void ModelBridge::renameDisplay(const QString& id, const QString& name) {
    if (const auto parsed = parseID(id)) {
        spawn([id = *parsed, name = name.toStdString()](AppModel& m) { return m.renameDisplay(id, name); },
              {Mirror::selectedDisplayName});
    }
}
void ModelBridge::applyDisplayMode() {
    spawn([](AppModel& m) { return m.applyDisplayMode(); });
}
void ModelBridge::placeDisplay(const QString& direction) {
    post([direction = direction.toStdString()](AppModel& m) { m.placeDisplay(direction); });
}
void ModelBridge::makeMainDisplay() {
    post([](AppModel& m) { m.makeMainDisplay(); });
}
void ModelBridge::mirrorMainDisplay(bool mirror) {
    spawn([mirror](AppModel& m) { return m.mirrorMainDisplay(mirror); }, {Mirror::selectedMirrorMain});
}
void ModelBridge::arrangeDisplays() {
    post([](AppModel& m) { m.arrangeDisplays(); });
}
void ModelBridge::rememberArrangement() {
    post([](AppModel& m) { m.rememberArrangement(); });
}

void ModelBridge::copyReceiverLink() {
    auto* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(receiverURL());
}

} // namespace tavelin::ui
