// The whole interface offscreen: every view loads, binds and draws without a warning from
// QML.

#include <gtest/gtest.h>

#include <functional>
#include <mutex>

#include <QQuickItem>
#include <QRegularExpression>
#include <QQuickWindow>
#include <QTest>

#include "tests/ui/simulated_engine.hpp"
#include "ui/desktop_shell.hpp"

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

// Draws the window as it is now: its layouts polish, and may complain, as on a screen.
void draw(QQuickWindow& window) {
    EXPECT_FALSE(window.grabWindow().isNull()) << window.title().toStdString();
    QCoreApplication::processEvents();
}

TEST(DesktopShell, EveryViewLoadsAndBindsCleanly) {
    const auto previous = qInstallMessageHandler(collect);
    testing::SimulatedEngine engine;
    int quits = 0;
    {
        DesktopShell shell(engine.model, engine.context.get_executor(),
                           DesktopShell::Options{true, std::nullopt, [&] { ++quits; }});
        engine.call([&](AppModel& m) {
            shell.installHooks(m);
            m.showWindow("receiver");
        });
        engine.settle();
        QQuickWindow& main = *shell.mainWindow();
        ASSERT_TRUE(main.isVisible());
        EXPECT_EQ(main.width(), 640);
        // The receiver tab, then sharing with every optional row (code, link, error, both
        // permission rows), then the displays tab.
        const std::function<void(AppModel&)> faces[] = {
            [](AppModel&) {},
            [](AppModel& m) {
                m.isRunning.set(true);
                m.mousePermissionGranted.set(false);
                m.permissionGranted.set(false);
                m.setError("Sharing started, but the receiver link file could not be written.");
            },
            [](AppModel& m) {
                m.isRunning.set(false);
                m.setError(std::nullopt);
                m.selectedTab.set("displays");
            },
        };
        for (const auto& face : faces) {
            engine.call(face);
            engine.settle();
            draw(main);
        }

        engine.call([](AppModel& m) { m.selectedTab.set("receiver"); });
        auto* popover = main.findChild<QObject*>("quickControls");
        auto* button = main.findChild<QQuickItem*>("quickControlsButton");
        ASSERT_TRUE(popover && button);
        const QPoint onButton = button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint();
        QTest::mouseClick(&main, Qt::LeftButton, {}, onButton);
        engine.settle();
        ASSERT_TRUE(popover->property("visible").toBool());
        draw(main);
        // The button closes its popover; the press must not close it only to have the click reopen it.
        QTest::mouseClick(&main, Qt::LeftButton, {}, onButton);
        engine.settle();
        EXPECT_FALSE(popover->property("visible").toBool());

        shell.togglePanel();
        engine.settle();
        ASSERT_TRUE(shell.panelWindow()->isVisible());
        EXPECT_EQ(shell.panelWindow()->width(), 420);
        draw(*shell.panelWindow());

        // The connected displays with a mode change waiting: the menu and its countdown.
        engine.call([](AppModel& m) {
            m.systemDisplays()->refresh();
            m.systemDisplays()->previewMode(7, "2-1280-720-1280-720-60.0");
        });
        engine.settle();
        auto* group = shell.panelWindow()->findChild<QQuickItem*>("connectedDisplaysGroup");
        auto* countdown = shell.panelWindow()->findChild<QQuickItem*>("revertCountdown");
        ASSERT_TRUE(group && countdown);
        EXPECT_TRUE(countdown->isVisible());
        // The countdown runs on the clock: an instrumented build may be a second in already.
        EXPECT_TRUE(QRegularExpression("^Reverts in 1[45] seconds\\.$").match(countdown->property("text").toString()).hasMatch())
            << countdown->property("text").toString().toStdString();
        draw(*shell.panelWindow());
        engine.call([](AppModel& m) { m.systemDisplays()->keepMode(); });

        engine.call([](AppModel& m) { m.arrangeDisplays(); });
        engine.settle();
        draw(main);

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
