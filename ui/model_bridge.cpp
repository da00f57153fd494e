#include "ui/model_bridge.hpp"

#include <algorithm>
#include <concepts>
#include <set>

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

std::optional<UUID> parseID(const QString& id) { return UUID::parse(id.toStdString()); }

// A published field's value as the interface holds it.
QVariant toQt(const AppModel&, const std::string& text) { return qtText(text); }
QVariant toQt(const AppModel&, const std::optional<std::string>& text) { return qtText(text.value_or("")); }
QVariant toQt(const AppModel&, bool on) { return on; }
QVariant toQt(const AppModel&, double number) { return number; }
QVariant toQt(const AppModel&, std::int64_t number) { return static_cast<int>(number); }
QVariant toQt(const AppModel&, const UUID& id) { return qtText(id.uuidString()); }
template <typename Texts>
QStringList qtTexts(const Texts& items) {
    QStringList list;
    for (const auto& item : items) {
        if constexpr (std::same_as<typename Texts::value_type, UUID>) {
            list.append(qtText(item.uuidString()));
        } else {
            list.append(qtText(item));
        }
    }
    return list;
}
QVariant toQt(const AppModel&, const std::vector<std::string>& texts) { return qtTexts(texts); }
QVariant toQt(const AppModel&, const std::set<UUID>& ids) { return qtTexts(ids); }
QVariant toQt(const AppModel& m, const std::vector<DisplayProfile>& profiles) {
    QVariantList list;
    for (const auto& profile : profiles) {
        list.append(QVariantMap{{"id", qtText(profile.id().uuidString())},
                                {"name", qtText(profile.name)},
                                {"active", m.activeDisplayIDs().contains(profile.id())}});
    }
    return list;
}

// What the interface edits, back in the model's type.
template <typename T>
T fromQt(const QVariant& value) {
    if constexpr (std::same_as<T, std::string>) {
        return value.toString().toStdString();
    } else if constexpr (std::same_as<T, std::int64_t>) {
        return value.toInt();
    } else {
        return value.value<T>();
    }
}

// The derived values, one function each, named after its field.
namespace derive {
QVariant receiverURL(const AppModel& m) { return qtText(m.receiverURL()); }
QVariant selectedDisplayName(const AppModel& m) {
    const auto profile = m.selectedDisplay();
    return profile ? qtText(profile->name) : QString();
}
QVariant selectedDisplayActive(const AppModel& m) { return m.activeDisplayIDs().contains(m.selectedDisplayID()); }
QVariant selectedMirrorMain(const AppModel& m) {
    const auto profile = m.selectedDisplay();
    return profile && profile->mirrorMain.value_or(false);
}
} // namespace derive

// The model names a change by the position its field has in both lists.
#define TAVELIN_SAME_POSITION(Type, name, ...) \
    static_assert(static_cast<int>(Mirror::name) == static_cast<int>(ModelField::name));
TAVELIN_BRIDGE_FIELDS(TAVELIN_SAME_POSITION, TAVELIN_SAME_POSITION, TAVELIN_BRIDGE_IGNORE)
#undef TAVELIN_SAME_POSITION

// The model's value of a mirrored field, read on the engine.
QVariant read(const AppModel& m, Mirror field) {
#define TAVELIN_READ_FIELD(Type, name, ...) case Mirror::name: return toQt(m, m.name());
#define TAVELIN_READ_DERIVED(Type, name) case Mirror::name: return derive::name(m);
    switch (field) {
    TAVELIN_BRIDGE_FIELDS(TAVELIN_READ_FIELD, TAVELIN_READ_FIELD, TAVELIN_READ_DERIVED)
    case Mirror::count: break;
    }
#undef TAVELIN_READ_FIELD
#undef TAVELIN_READ_DERIVED
    return {};
}

// Writes a field the interface edits, on the engine.
void write(AppModel& m, Mirror field, const QVariant& value) {
#define TAVELIN_WRITE_FIELD(Type, name, Name) \
    case Mirror::name: m.name.set(fromQt<std::decay_t<decltype(m.name())>>(value)); break;
    switch (field) {
    TAVELIN_BRIDGE_FIELDS(TAVELIN_WRITE_FIELD, TAVELIN_BRIDGE_IGNORE, TAVELIN_BRIDGE_IGNORE)
    default: break; // read-only in the interface
    }
#undef TAVELIN_WRITE_FIELD
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
    connect(this, &ModelBridge::widthChanged, this, &ModelBridge::presetIndexChanged);
    connect(this, &ModelBridge::heightChanged, this, &ModelBridge::presetIndexChanged);
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
#define TAVELIN_SIGNAL_OF(Type, name, ...) &ModelBridge::name##Changed,
    static constexpr std::array<void (ModelBridge::*)(), mirrorCount> signalOf{
        TAVELIN_BRIDGE_FIELDS(TAVELIN_SIGNAL_OF, TAVELIN_SIGNAL_OF, TAVELIN_SIGNAL_OF)};
#undef TAVELIN_SIGNAL_OF
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

void ModelBridge::setOpenAtLogin(bool open) {
    post([open](AppModel& m) { m.setOpenAtLogin(open); }, {Mirror::openAtLogin});
}
void ModelBridge::refreshOpenAtLogin() {
    post([](AppModel& m) { m.refreshOpenAtLogin(); });
}

void ModelBridge::copyReceiverLink() {
    auto* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(receiverURL());
}

} // namespace tavelin::ui
