#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <QObject>
#include <QString>
#include <QVariant>

#include "engine/task.hpp"

namespace tavelin {
class AppModel;
class SystemDisplayController;
}

namespace tavelin::ui {

// The system displays menu and its confirmation row as the interface sees them: the
// controller's state in one snapshot built on the engine (Tavelin's own displays left
// out, modes grouped by size) and mirrored here on the GUI thread; every control posts
// its action to the engine.
//
// displays entries: {"id", "name", "builtIn", "main", "currentLabel", "hasBrightness",
// "brightness", "brightnessPercent", "colorProfileSupported", "colorProfileName",
// "colorProfileID", "modeGroups": [{"title", "modes": [{"id", "label", "current"}]}]}.
// colorProfiles entries: {"id", "name"}.
class SystemDisplaysBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool available READ available NOTIFY changed)
    Q_PROPERTY(QVariantList displays READ displays NOTIFY changed)
    Q_PROPERTY(QVariantList colorProfiles READ colorProfiles NOTIFY changed)
    Q_PROPERTY(QString pendingDisplayName READ pendingDisplayName NOTIFY changed)
    Q_PROPERTY(int secondsRemaining READ secondsRemaining NOTIFY changed)
    Q_PROPERTY(QString error READ error NOTIFY changed)

public:
    SystemDisplaysBridge(std::weak_ptr<AppModel> model, Executor engine, QObject* parent = nullptr);
    ~SystemDisplaysBridge() override;
    // Subscribes on the engine and mirrors the whole state; call once.
    void attach();

    bool available() const { return snapshot_.value("available").toBool(); }
    QVariantList displays() const { return snapshot_.value("displays").toList(); }
    QVariantList colorProfiles() const { return snapshot_.value("colorProfiles").toList(); }
    QString pendingDisplayName() const { return snapshot_.value("pendingDisplayName").toString(); }
    int secondsRemaining() const { return snapshot_.value("secondsRemaining").toInt(); }
    QString error() const { return snapshot_.value("error").toString(); }

    Q_INVOKABLE void refresh();
    Q_INVOKABLE void previewMode(const QString& displayID, const QString& modeID);
    Q_INVOKABLE void keepMode();
    Q_INVOKABLE void revertMode();
    Q_INVOKABLE void setBrightness(const QString& displayID, double level);
    Q_INVOKABLE void reloadColorProfiles();
    // An empty profile id restores the factory profile.
    Q_INVOKABLE void setColorProfile(const QString& displayID, const QString& profileID);

Q_SIGNALS:
    void changed();

private:
    struct Link {
        std::mutex lock;
        SystemDisplaysBridge* bridge = nullptr;
    };
    void post(std::function<void(SystemDisplayController&)> work);
    static void send(const std::weak_ptr<Link>& link, AppModel& model);

    std::weak_ptr<AppModel> model_;
    Executor engine_;
    std::shared_ptr<Link> link_;
    QVariantMap snapshot_;
};

// The snapshot the bridge mirrors, built on the engine; public for the tests.
QVariantMap systemDisplaysSnapshot(const AppModel& model);

} // namespace tavelin::ui
