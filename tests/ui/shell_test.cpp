// The whole interface offscreen: every view loads and binds without a warning from QML,
// and pictures of both tabs, the quick controls and the tray panel are kept for a look.

#include <gtest/gtest.h>

#include <functional>
#include <mutex>

#include <QDir>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include "tests/ui/simulated_engine.hpp"
#include "ui/desktop_shell.hpp"
#include "ui/model_bridge.hpp"

namespace tavelin::ui {
namespace {

std::mutex messagesLock;
QStringList messages;

// Only what QML reports: the offscreen platform has its own complaints (no tray, no raise).
void collect(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const bool fromQml = message.contains(".qml") || QString(context.file).endsWith(".qml");
    if (type == QtDebugMsg || type == QtInfoMsg || !fromQml) return;
    const std::lock_guard guard(messagesLock);
    messages.append(message);
}

void save(QQuickWindow& window, const QString& name) {
    const QString folder = qEnvironmentVariable("TAVELIN_UI_SHOTS", "/tmp/ui-shots");
    QDir().mkpath(folder);
    // The first grab polishes the layouts, and the measured receiver tab may resize the
    // window on the way; the second shows the window at the size it then has.
    (void)window.grabWindow();
    QCoreApplication::processEvents();
    const QImage picture = window.grabWindow();
    EXPECT_FALSE(picture.isNull()) << name.toStdString();
    picture.save(folder + "/" + name + ".png");
}

TEST(DesktopShell, EveryViewLoadsAndBindsCleanly) {
    const auto previous = qInstallMessageHandler(collect);
    testing::SimulatedEngine engine;
    int quits = 0;
    {
        DesktopShell shell(engine.model(), engine.context.get_executor(),
                           DesktopShell::Options{true, std::nullopt, [&] { ++quits; }});
        engine.call([&](AppModel& m) {
            shell.installHooks(m);
            m.showWindow("receiver");
        });
        engine.settle();
        QQuickWindow& main = *shell.mainWindow();
        ASSERT_TRUE(main.isVisible());
        EXPECT_EQ(main.width(), 640);
        // The sharing face carries every optional row: code, link, error, both permission rows.
        const std::pair<QString, std::function<void(AppModel&)>> faces[] = {
            {"receiver-tab", [](AppModel&) {}},
            {"receiver-sharing",
             [](AppModel& m) {
                 m.isRunning.set(true);
                 m.mousePermissionGranted.set(false);
                 m.permissionGranted.set(false);
                 m.setError("Sharing started, but the receiver link file could not be written.");
             }},
            {"displays-tab",
             [](AppModel& m) {
                 m.isRunning.set(false);
                 m.setError(std::nullopt);
                 m.selectedTab.set("displays");
             }},
        };
        for (const auto& [name, face] : faces) {
            engine.call(face);
            engine.settle();
            save(main, name);
        }

        engine.call([](AppModel& m) { m.selectedTab.set("receiver"); });
        auto* popover = main.findChild<QObject*>("quickControls");
        auto* button = main.findChild<QQuickItem*>("quickControlsButton");
        ASSERT_NE(popover, nullptr);
        ASSERT_NE(button, nullptr);
        const QPoint onButton = button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint();
        QTest::mouseClick(&main, Qt::LeftButton, {}, onButton);
        engine.settle();
        ASSERT_TRUE(popover->property("visible").toBool());
        save(main, "quick-controls");
        // The button closes its popover; the press must not close it only to have the click reopen it.
        QTest::mouseClick(&main, Qt::LeftButton, {}, onButton);
        engine.settle();
        EXPECT_FALSE(popover->property("visible").toBool());

        shell.togglePanel();
        engine.settle();
        ASSERT_TRUE(shell.panelWindow()->isVisible());
        EXPECT_EQ(shell.panelWindow()->width(), 420);
        save(*shell.panelWindow(), "tray-panel");

        engine.call([](AppModel& m) { m.arrangeDisplays(); });
        engine.settle();
        save(main, "arrange-help");

        shell.quit();
        shell.quit();
        EXPECT_EQ(quits, 1);
        engine.call([](AppModel& m) { m.windowHooks = {}; });
    }
    qInstallMessageHandler(previous);
    const std::lock_guard guard(messagesLock);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

} // namespace
} // namespace tavelin::ui
