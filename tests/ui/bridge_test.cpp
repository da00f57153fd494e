// The bridge between the engine's model and the GUI thread, the rules the views bind
// to, and the whole interface, whose every view loads, binds and draws without a warning
// from QML; offscreen.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <tuple>

#include <QClipboard>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include "tests/support/model_fixture.hpp"
#include "tests/ui/simulated_engine.hpp"
#include "ui/desktop_shell.hpp"
#include "ui/display_settings.hpp"
#include "ui/model_bridge.hpp"
#include "ui/system_displays_bridge.hpp"

namespace tavelin::ui {
namespace {

TEST(DisplaySettings, TheDesktopsOwnToolComesFirst) {
    using Command = DisplaySettingsCommand;
    struct Case { std::string_view desktops; std::vector<std::string> installed; std::optional<Command> command; };
    const Case cases[] = {
        {"ubuntu:GNOME", {"arandr", "gnome-control-center"}, Command{"gnome-control-center", {"display"}}},
        {"KDE", {"gnome-control-center", "systemsettings"}, Command{"systemsettings", {"kcm_kscreen"}}},
        {"xfce", {"arandr", "xfce4-display-settings"}, Command{"xfce4-display-settings", {}}}, // any case
        // Another desktop's tool still beats none; a bare X server may have only arandr.
        {"XFCE", {"gnome-control-center"}, Command{"gnome-control-center", {"display"}}},
        {"", {"arandr"}, Command{"arandr", {}}}, {"GNOME", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto installed = [&](const std::string& program) { return std::ranges::count(c.installed, program) > 0; };
        EXPECT_EQ(displaySettingsCommand(c.desktops, installed), c.command) << c.desktops;
    }
}

TEST(ModelBridge, ModelChangesArriveOnTheGuiThread) {
    testing::SimulatedEngine engine;
    ModelBridge bridge(engine.model, engine.context.get_executor());
    bridge.attach();
    engine.settle();
    EXPECT_EQ(bridge.width(), "1920");
    EXPECT_EQ(bridge.receiverURL(), "http://192.168.1.20:8420/" + bridge.pairingCode());

    QThread* emittedOn = nullptr;
    QObject::connect(&bridge, &ModelBridge::portChanged, &bridge, [&] { emittedOn = QThread::currentThread(); },
                     Qt::DirectConnection);
    QSignalSpy urlChanged(&bridge, &ModelBridge::receiverURLChanged);
    engine.call([](AppModel& m) { m.port.set("9000"); });
    ASSERT_TRUE(urlChanged.wait(5000));
    EXPECT_EQ(emittedOn, QThread::currentThread());
    EXPECT_EQ(std::tuple(bridge.port(), bridge.receiverURL()),
              std::tuple("9000", "http://192.168.1.20:9000/" + bridge.pairingCode()));

    bridge.copyReceiverLink();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), bridge.receiverURL());
}

TEST(SystemDisplaysBridge, ListsTheDesktopsDisplaysButNotTavelinsOwn) {
    testing::SimulatedEngine engine;
    SystemDisplaysBridge bridge(engine.model, engine.context.get_executor());
    bridge.attach();
    engine.call([](AppModel& m) { m.systemDisplays()->refresh(); });
    engine.settle();
    ASSERT_EQ(bridge.displays().size(), 2);
    const auto panel = bridge.displays()[0].toMap();
    EXPECT_EQ(panel["brightnessPercent"], "50%");
    QStringList titles;
    for (const auto& group : panel["modeGroups"].toList()) titles.append(group.toMap()["title"].toString());
    EXPECT_EQ(titles, (QStringList{"640 × 480", "1280 × 720", "1920 × 1080"})) << "submenus by width, then height";
    const auto largest = panel["modeGroups"].toList().back().toMap()["modes"].toList();
    EXPECT_TRUE(largest.at(0).toMap()["current"].toBool());

    // A display Tavelin made is lit like any other, and left out of the menu.
    engine.call([](AppModel& m) { m.spawn(m.addDisplay()); });
    engine.settle();
    engine.call([&](AppModel& m) {
        ASSERT_EQ(m.displays().size(), 1u);
        engine.desk.live[m.displays().begin()->second->displayID()] = testing::deskMode(1, 1280, 720, 60);
        m.systemDisplays()->refresh();
        EXPECT_EQ(m.systemDisplays()->displays().size(), 3u);
    });
    engine.settle();
    EXPECT_EQ(bridge.displays().size(), 2);
}

// The engine runs by hand here, so that the order of echoes and typing is the test's.
class HandRunBridge : public support::ModelTest {
protected:
    HandRunBridge() { bridge.attach(); pump(); }
    void pump() { drain(); QCoreApplication::processEvents(); }

    ModelBridge bridge{model, ctx.get_executor()};
};

TEST_F(HandRunBridge, EditsReachTheModelOnceAndLateEchoesDoNotOverwriteTyping) {
    int hiDPIChanges = 0;
    model->subscribe([&](ModelField field) { hiDPIChanges += field == ModelField::hiDPI; });
    QSignalSpy hiDPIShown(&bridge, &ModelBridge::hiDPIChanged);
    bridge.setHiDPI(false); // what the model holds: neither shown nor sent again
    bridge.setHiDPI(true);
    pump();
    EXPECT_EQ(std::tuple(hiDPIChanges, hiDPIShown.count(), model->hiDPI()), std::tuple(1, 1, true));

    bridge.setWidth("2");
    bridge.setWidth("25");
    drain();                 // the engine took both; their echoes are on their way
    bridge.setWidth("256");  // typed before the GUI thread saw them
    QCoreApplication::processEvents();
    EXPECT_EQ(bridge.width(), "256");
    pump();
    EXPECT_EQ(std::tuple(bridge.width(), model->width()), std::tuple("256", "256"));

    // Once the edits are through, the model's own changes show again.
    model->width.set("3840");
    pump();
    EXPECT_EQ(bridge.width(), "3840");
}

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
