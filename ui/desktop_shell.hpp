#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QRect>

#include "engine/task.hpp"

class QQmlApplicationEngine;
class QSystemTrayIcon;
class QMenu;

namespace tavelin {
class AppModel;
}

namespace tavelin::ui {

class ModelBridge;
class SystemDisplaysBridge;
class ViewRules;
class WindowStateRecorder;
class MotionTestHost;

// Everything of the desktop on the GUI thread: the main window "Tavelin", the tray icon
// with its panel, and the motion test window; and the window operations the model asks
// for from the engine. Without the interface (a headless benchmark run) only the motion
// test exists.
class DesktopShell : public QObject {
    Q_OBJECT
public:
    struct Options {
        bool interface = true;
        std::optional<std::filesystem::path> windowStateFile;
        // Asks the engine to remember the arrangement, stop sharing and then end Qt.
        std::function<void()> requestQuit;
    };

    DesktopShell(std::weak_ptr<AppModel> model, Executor engine, Options options);
    ~DesktopShell() override;

    // Gives the model its window operations. Call on the engine, or before it runs.
    void installHooks(AppModel& model);
    // Shows the main window (the tray icon alone is not enough: the window opens at
    // launch so that a user sees where to start, unless Tavelin starts in the tray).
    void showInterface();

    ModelBridge* bridge() const { return bridge_; }
    QQuickWindow* mainWindow() const { return mainWindow_; }
    QQuickWindow* panelWindow() const { return panelWindow_; }

    Q_INVOKABLE void showMainWindow();
    Q_INVOKABLE void togglePanel();
    Q_INVOKABLE void quit();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showMotionTestAt(QRect globalBounds);
    void closeMotionTest();

    std::weak_ptr<AppModel> model_;
    Executor engine_;
    Options options_;
    ModelBridge* bridge_ = nullptr;
    SystemDisplaysBridge* systemDisplays_ = nullptr;
    ViewRules* rules_ = nullptr;
    std::unique_ptr<QQmlApplicationEngine> qml_;
    QPointer<QQuickWindow> mainWindow_;
    QPointer<QQuickWindow> panelWindow_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<QMenu> trayMenu_;
    std::unique_ptr<MotionTestHost> motionTest_;
    bool refreshedNetwork_ = false;
    bool quitting_ = false;
};

} // namespace tavelin::ui
