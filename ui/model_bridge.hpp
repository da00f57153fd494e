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
    Q_PROPERTY(QString width READ width WRITE setWidth NOTIFY widthChanged)
    Q_PROPERTY(QString height READ height WRITE setHeight NOTIFY heightChanged)
    Q_PROPERTY(int fps READ fps WRITE setFps NOTIFY fpsChanged)
    Q_PROPERTY(double bitrate READ bitrate WRITE setBitrate NOTIFY bitrateChanged)
    Q_PROPERTY(bool hiDPI READ hiDPI WRITE setHiDPI NOTIFY hiDPIChanged)
    Q_PROPERTY(bool showArrangeHelp READ showArrangeHelp WRITE setShowArrangeHelp NOTIFY showArrangeHelpChanged)
    Q_PROPERTY(bool showCursor READ showCursor WRITE setShowCursor NOTIFY showCursorChanged)
    Q_PROPERTY(bool smoothMotion READ smoothMotion WRITE setSmoothMotion NOTIFY smoothMotionChanged)
    Q_PROPERTY(double receiverBrightness READ receiverBrightness WRITE setReceiverBrightness NOTIFY receiverBrightnessChanged)
    Q_PROPERTY(double receiverContrast READ receiverContrast WRITE setReceiverContrast NOTIFY receiverContrastChanged)
    Q_PROPERTY(double receiverSaturation READ receiverSaturation WRITE setReceiverSaturation NOTIFY receiverSaturationChanged)
    Q_PROPERTY(int receiverRotation READ receiverRotation WRITE setReceiverRotation NOTIFY receiverRotationChanged)
    Q_PROPERTY(bool receiverFlip READ receiverFlip WRITE setReceiverFlip NOTIFY receiverFlipChanged)
    Q_PROPERTY(bool receiverBlank READ receiverBlank WRITE setReceiverBlank NOTIFY receiverBlankChanged)
    Q_PROPERTY(QString receiverFit READ receiverFit WRITE setReceiverFit NOTIFY receiverFitChanged)
    Q_PROPERTY(QString streamDiagnostics READ streamDiagnostics NOTIFY streamDiagnosticsChanged)
    Q_PROPERTY(QString port READ port WRITE setPort NOTIFY portChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY isBusyChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QStringList addresses READ addresses NOTIFY addressesChanged)
    Q_PROPERTY(QString selectedAddress READ selectedAddress WRITE setSelectedAddress NOTIFY selectedAddressChanged)
    Q_PROPERTY(bool mousePermissionGranted READ mousePermissionGranted NOTIFY mousePermissionGrantedChanged)
    Q_PROPERTY(bool permissionGranted READ permissionGranted NOTIFY permissionGrantedChanged)
    Q_PROPERTY(QString selectedTab READ selectedTab WRITE setSelectedTab NOTIFY selectedTabChanged)
    // Each entry: {"id", "name", "active"}.
    Q_PROPERTY(QVariantList displayProfiles READ displayProfiles NOTIFY displayProfilesChanged)
    Q_PROPERTY(QString selectedDisplayID READ selectedDisplayID NOTIFY selectedDisplayIDChanged)
    Q_PROPERTY(QStringList activeDisplayIDs READ activeDisplayIDs NOTIFY activeDisplayIDsChanged)
    Q_PROPERTY(QString pairingCode READ pairingCode NOTIFY pairingCodeChanged)
    // Derived on the engine from the fields above.
    Q_PROPERTY(QString receiverURL READ receiverURL NOTIFY receiverURLChanged)
    Q_PROPERTY(QString selectedDisplayName READ selectedDisplayName NOTIFY selectedDisplayNameChanged)
    Q_PROPERTY(bool selectedDisplayActive READ selectedDisplayActive NOTIFY selectedDisplayActiveChanged)
    Q_PROPERTY(bool selectedMirrorMain READ selectedMirrorMain NOTIFY selectedMirrorMainChanged)
    // The resolution preset the width and height fields name, or -1 ("Custom").
    Q_PROPERTY(int presetIndex READ presetIndex NOTIFY presetIndexChanged)

public:
    ModelBridge(std::weak_ptr<AppModel> model, Executor engine, QObject* parent = nullptr);
    ~ModelBridge() override;

    // Subscribes to the model on the engine and mirrors its whole state; call once.
    void attach();

    QString width() const { return value(Mirror::width).toString(); }
    QString height() const { return value(Mirror::height).toString(); }
    int fps() const { return value(Mirror::fps).toInt(); }
    double bitrate() const { return value(Mirror::bitrate).toDouble(); }
    bool hiDPI() const { return value(Mirror::hiDPI).toBool(); }
    bool showArrangeHelp() const { return value(Mirror::showArrangeHelp).toBool(); }
    bool showCursor() const { return value(Mirror::showCursor).toBool(); }
    bool smoothMotion() const { return value(Mirror::smoothMotion).toBool(); }
    double receiverBrightness() const { return value(Mirror::receiverBrightness).toDouble(); }
    double receiverContrast() const { return value(Mirror::receiverContrast).toDouble(); }
    double receiverSaturation() const { return value(Mirror::receiverSaturation).toDouble(); }
    int receiverRotation() const { return value(Mirror::receiverRotation).toInt(); }
    bool receiverFlip() const { return value(Mirror::receiverFlip).toBool(); }
    bool receiverBlank() const { return value(Mirror::receiverBlank).toBool(); }
    QString receiverFit() const { return value(Mirror::receiverFit).toString(); }
    QString streamDiagnostics() const { return value(Mirror::streamDiagnostics).toString(); }
    QString port() const { return value(Mirror::port).toString(); }
    bool isRunning() const { return value(Mirror::isRunning).toBool(); }
    bool isBusy() const { return value(Mirror::isBusy).toBool(); }
    QString status() const { return value(Mirror::status).toString(); }
    QString error() const { return value(Mirror::error).toString(); }
    QStringList addresses() const { return value(Mirror::addresses).toStringList(); }
    QString selectedAddress() const { return value(Mirror::selectedAddress).toString(); }
    bool mousePermissionGranted() const { return value(Mirror::mousePermissionGranted).toBool(); }
    bool permissionGranted() const { return value(Mirror::permissionGranted).toBool(); }
    QString selectedTab() const { return value(Mirror::selectedTab).toString(); }
    QVariantList displayProfiles() const { return value(Mirror::displayProfiles).toList(); }
    QString selectedDisplayID() const { return value(Mirror::selectedDisplayID).toString(); }
    QStringList activeDisplayIDs() const { return value(Mirror::activeDisplayIDs).toStringList(); }
    QString pairingCode() const { return value(Mirror::pairingCode).toString(); }
    QString receiverURL() const { return value(Mirror::receiverURL).toString(); }
    QString selectedDisplayName() const { return value(Mirror::selectedDisplayName).toString(); }
    bool selectedDisplayActive() const { return value(Mirror::selectedDisplayActive).toBool(); }
    bool selectedMirrorMain() const { return value(Mirror::selectedMirrorMain).toBool(); }
    int presetIndex() const;

    void setWidth(const QString& text) { edit(Mirror::width, text); }
    void setHeight(const QString& text) { edit(Mirror::height, text); }
    void setFps(int rate) { edit(Mirror::fps, rate); }
    void setBitrate(double mbps) { edit(Mirror::bitrate, mbps); }
    void setHiDPI(bool on) { edit(Mirror::hiDPI, on); }
    void setShowArrangeHelp(bool on) { edit(Mirror::showArrangeHelp, on); }
    void setShowCursor(bool on) { edit(Mirror::showCursor, on); }
    void setSmoothMotion(bool on) { edit(Mirror::smoothMotion, on); }
    void setReceiverBrightness(double level) { edit(Mirror::receiverBrightness, level); }
    void setReceiverContrast(double level) { edit(Mirror::receiverContrast, level); }
    void setReceiverSaturation(double level) { edit(Mirror::receiverSaturation, level); }
    void setReceiverRotation(int degrees) { edit(Mirror::receiverRotation, degrees); }
    void setReceiverFlip(bool on) { edit(Mirror::receiverFlip, on); }
    void setReceiverBlank(bool on) { edit(Mirror::receiverBlank, on); }
    void setReceiverFit(const QString& fit) { edit(Mirror::receiverFit, fit); }
    void setPort(const QString& text) { edit(Mirror::port, text); }
    void setSelectedAddress(const QString& address) { edit(Mirror::selectedAddress, address); }
    void setSelectedTab(const QString& tab) { edit(Mirror::selectedTab, tab); }

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
    // Puts exactly the receiver link on the clipboard (GUI thread only).
    Q_INVOKABLE void copyReceiverLink();

    // Mirrored values: the model's published fields in their own order, then the
    // derived ones.
    enum class Mirror {
        width, height, fps, bitrate, hiDPI, showArrangeHelp, showCursor, smoothMotion,
        receiverBrightness, receiverContrast, receiverSaturation, receiverRotation, receiverFlip,
        receiverBlank, receiverFit, streamDiagnostics, port, isRunning, isBusy, status, error,
        addresses, selectedAddress, mousePermissionGranted, permissionGranted, selectedTab,
        displayProfiles, selectedDisplayID, activeDisplayIDs, pairingCode,
        receiverURL, selectedDisplayName, selectedDisplayActive, selectedMirrorMain,
        count
    };
    using Update = std::pair<Mirror, QVariant>;

Q_SIGNALS:
    void widthChanged();
    void heightChanged();
    void fpsChanged();
    void bitrateChanged();
    void hiDPIChanged();
    void showArrangeHelpChanged();
    void showCursorChanged();
    void smoothMotionChanged();
    void receiverBrightnessChanged();
    void receiverContrastChanged();
    void receiverSaturationChanged();
    void receiverRotationChanged();
    void receiverFlipChanged();
    void receiverBlankChanged();
    void receiverFitChanged();
    void streamDiagnosticsChanged();
    void portChanged();
    void isRunningChanged();
    void isBusyChanged();
    void statusChanged();
    void errorChanged();
    void addressesChanged();
    void selectedAddressChanged();
    void mousePermissionGrantedChanged();
    void permissionGrantedChanged();
    void selectedTabChanged();
    void displayProfilesChanged();
    void selectedDisplayIDChanged();
    void activeDisplayIDsChanged();
    void pairingCodeChanged();
    void receiverURLChanged();
    void selectedDisplayNameChanged();
    void selectedDisplayActiveChanged();
    void selectedMirrorMainChanged();
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
