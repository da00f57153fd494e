#pragma once

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "engine/task.hpp"

namespace tavelin {
class AppModel;
}

namespace tavelin::ui {

// The mirrored fields, each written once: its Qt type, its name and, for a field the
// controls edit, the name its setter carries. The model's published fields come in the
// model's own order (the model names a change by that position), then the values derived
// on the engine. displayProfiles entries are {"id", "name", "active"}.
#define TAVELIN_BRIDGE_FIELDS(EDITED, SHOWN, DERIVED) \
    EDITED(QString, width, Width) \
    EDITED(QString, height, Height) \
    EDITED(int, fps, Fps) \
    EDITED(double, bitrate, Bitrate) \
    EDITED(bool, hiDPI, HiDPI) \
    EDITED(bool, showArrangeHelp, ShowArrangeHelp) \
    EDITED(bool, showCursor, ShowCursor) \
    EDITED(bool, smoothMotion, SmoothMotion) \
    EDITED(double, receiverBrightness, ReceiverBrightness) \
    EDITED(double, receiverContrast, ReceiverContrast) \
    EDITED(double, receiverSaturation, ReceiverSaturation) \
    EDITED(int, receiverRotation, ReceiverRotation) \
    EDITED(bool, receiverFlip, ReceiverFlip) \
    EDITED(bool, receiverBlank, ReceiverBlank) \
    EDITED(QString, receiverFit, ReceiverFit) \
    SHOWN(QString, streamDiagnostics) \
    EDITED(QString, port, Port) \
    SHOWN(bool, isRunning) \
    SHOWN(bool, isBusy) \
    SHOWN(QString, status) \
    SHOWN(QString, error) \
    SHOWN(QStringList, addresses) \
    EDITED(QString, selectedAddress, SelectedAddress) \
    SHOWN(bool, mousePermissionGranted) \
    SHOWN(bool, permissionGranted) \
    EDITED(QString, selectedTab, SelectedTab) \
    SHOWN(QVariantList, displayProfiles) \
    SHOWN(QString, selectedDisplayID) \
    SHOWN(QStringList, activeDisplayIDs) \
    SHOWN(QString, pairingCode) \
    SHOWN(bool, openAtLogin) \
    SHOWN(QString, openAtLoginError) \
    DERIVED(QString, receiverURL) \
    DERIVED(QString, selectedDisplayName) \
    DERIVED(bool, selectedDisplayActive) \
    DERIVED(bool, selectedMirrorMain)

#define TAVELIN_BRIDGE_IGNORE(...)
#define TAVELIN_BRIDGE_EDITED_PROPERTY(Type, name, Name) Q_PROPERTY(Type name READ name WRITE set##Name NOTIFY name##Changed)
#define TAVELIN_BRIDGE_SHOWN_PROPERTY(Type, name) Q_PROPERTY(Type name READ name NOTIFY name##Changed)
#define TAVELIN_BRIDGE_GETTER(Type, name, ...) Type name() const { return value(Mirror::name).value<Type>(); }
#define TAVELIN_BRIDGE_SETTER(Type, name, Name) void set##Name(const Type& v) { edit(Mirror::name, QVariant::fromValue(v)); }
#define TAVELIN_BRIDGE_ENUMERATOR(Type, name, ...) name,
#define TAVELIN_BRIDGE_SIGNAL(Type, name, ...) void name##Changed();

// The model as the interface sees it: every published field of the AppModel mirrored as
// a property on the GUI thread. The engine posts each change here; the controls write
// back through the setters, which post the new value to the engine. The model itself is
// only ever touched on the engine.
//
// Typing is never overwritten: while an edit of a field is on its way, changes of that
// field coming back from the engine are stale echoes and are dropped; once the last
// edit is acknowledged, the model's value then wins. An action the model may refuse
// (choosing a display, mirroring) re-sends the value it left, so that a control the user
// moved snaps back to what the model holds.
//
// The engine must be stopped (or no longer run) before the bridge is destroyed.
class ModelBridge : public QObject {
    Q_OBJECT
    TAVELIN_BRIDGE_FIELDS(TAVELIN_BRIDGE_EDITED_PROPERTY, TAVELIN_BRIDGE_SHOWN_PROPERTY, TAVELIN_BRIDGE_SHOWN_PROPERTY)
    // The resolution preset the width and height fields name, or -1 ("Custom").
    Q_PROPERTY(int presetIndex READ presetIndex NOTIFY presetIndexChanged)

public:
    ModelBridge(std::weak_ptr<AppModel> model, Executor engine, QObject* parent = nullptr);
    ~ModelBridge() override;

    // Subscribes to the model on the engine and mirrors its whole state; call once.
    void attach();

    TAVELIN_BRIDGE_FIELDS(TAVELIN_BRIDGE_GETTER, TAVELIN_BRIDGE_GETTER, TAVELIN_BRIDGE_GETTER)
    int presetIndex() const;

    TAVELIN_BRIDGE_FIELDS(TAVELIN_BRIDGE_SETTER, TAVELIN_BRIDGE_IGNORE, TAVELIN_BRIDGE_IGNORE)

    // -- Operations, run on the engine
    Q_INVOKABLE void start();
    Q_INVOKABLE void stop();
    Q_INVOKABLE void generatePairingCode();
    Q_INVOKABLE void refreshNetwork();
    Q_INVOKABLE void refreshPermission();
    Q_INVOKABLE void requestMousePermission();
    Q_INVOKABLE void showWindow(const QString& tab);
    Q_INVOKABLE void toggleMotionTest();
    Q_INVOKABLE void togglePreview();
    Q_INVOKABLE void disconnectReceiver();
    Q_INVOKABLE void resetImage();
    Q_INVOKABLE void refreshDiagnostics();
    Q_INVOKABLE void choosePreset(int index);
    Q_INVOKABLE void selectDisplay(const QString& id);
    Q_INVOKABLE void addDisplay();
    Q_INVOKABLE void connectDisplay(const QString& id);
    Q_INVOKABLE void disableDisplay(const QString& id);
    Q_INVOKABLE void removeDisplay(const QString& id);
    Q_INVOKABLE void renameDisplay(const QString& id, const QString& name);
    Q_INVOKABLE void applyDisplayMode();
    Q_INVOKABLE void placeDisplay(const QString& direction);
    Q_INVOKABLE void makeMainDisplay();
    Q_INVOKABLE void mirrorMainDisplay(bool mirror);
    Q_INVOKABLE void arrangeDisplays();
    Q_INVOKABLE void rememberArrangement();
    Q_INVOKABLE void setOpenAtLogin(bool open);
    Q_INVOKABLE void refreshOpenAtLogin();
    // Puts exactly the receiver link on the clipboard (GUI thread only).
    Q_INVOKABLE void copyReceiverLink();

    enum class Mirror {
        TAVELIN_BRIDGE_FIELDS(TAVELIN_BRIDGE_ENUMERATOR, TAVELIN_BRIDGE_ENUMERATOR, TAVELIN_BRIDGE_ENUMERATOR)
        count
    };
    using Update = std::pair<Mirror, QVariant>;

Q_SIGNALS:
    TAVELIN_BRIDGE_FIELDS(TAVELIN_BRIDGE_SIGNAL, TAVELIN_BRIDGE_SIGNAL, TAVELIN_BRIDGE_SIGNAL)
    void presetIndexChanged();

private:
    // What engine-side work holds to reach the bridge; emptied when the bridge goes.
    struct Link {
        std::mutex lock;
        ModelBridge* bridge = nullptr;
    };
    static constexpr std::size_t mirrorCount = static_cast<std::size_t>(Mirror::count);

    const QVariant& value(Mirror field) const { return values_[static_cast<std::size_t>(field)]; }
    void emitChanged(Mirror field);
    void edit(Mirror field, QVariant value);

    // GUI side of the traffic from the engine.
    void receive(const std::vector<Update>& updates);
    void acknowledge(Mirror field, const QVariant& modelValue);
    void resync(const std::vector<Update>& updates);

    // Runs work on the engine if the model still exists; a refusable action names the
    // fields to send back afterwards.
    void post(std::function<void(AppModel&)> work, std::vector<Mirror> resyncFields = {});
    void spawn(std::function<Task<>(AppModel&)> work, std::vector<Mirror> resyncFields = {});
    static void toGui(const std::weak_ptr<Link>& link, std::function<void(ModelBridge&)> work);

    std::weak_ptr<AppModel> model_;
    Executor engine_;
    std::shared_ptr<Link> link_;
    std::array<QVariant, mirrorCount> values_;
    // Edits posted to the engine and not yet acknowledged, per field.
    std::array<int, mirrorCount> pendingEdits_{};
};

} // namespace tavelin::ui

#undef TAVELIN_BRIDGE_EDITED_PROPERTY
#undef TAVELIN_BRIDGE_SHOWN_PROPERTY
#undef TAVELIN_BRIDGE_GETTER
#undef TAVELIN_BRIDGE_SETTER
#undef TAVELIN_BRIDGE_ENUMERATOR
#undef TAVELIN_BRIDGE_SIGNAL
