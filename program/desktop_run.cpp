#include "program/desktop_run.hpp"

#include <cstdlib>
#include <thread>
#include <utility>

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QQuickStyle>

#include "app/model.hpp"
#include "core/log.hpp"
#include "ui/desktop_shell.hpp"
#include "ui/preview_window.hpp"

namespace tavelin {

namespace {

// Qt's xcb platform ends the process with exit(1) from the GUI thread when its X
// connection breaks, while the engine may be in the middle of a save or a display
// change. While Qt runs, that exit first stops sharing through the one shutdown path and
// joins the engine, then ends the process with our line instead of Qt's.
struct EngineInFlight {
    std::function<void()> requestShutdown;
    std::thread* engineThread = nullptr;
};
EngineInFlight* inFlight = nullptr;
QtMessageHandler qtMessages = nullptr;

void stopEngineBeforeExit() {
    const auto run = std::exchange(inFlight, nullptr);
    if (!run || run->engineThread->get_id() == std::this_thread::get_id()) return;
    log::error("The connection to the display server broke, so Tavelin stops.");
    run->requestShutdown();
    run->engineThread->join();
    std::_Exit(1);
}

void filterQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("The X11 connection broke"))) return; // said by stopEngineBeforeExit
    if (qtMessages) qtMessages(type, context, message);
}

} // namespace

struct DesktopRun::State {
    Options options;
    std::unique_ptr<QGuiApplication> application;
    std::unique_ptr<ui::PreviewWindowFactory> previews;
};

DesktopRun::DesktopRun(int& argc, char** argv, Options options) : state_(std::make_unique<State>()) {
    state_->options = std::move(options);
    if (state_->options.interface) {
        // The tray icon is a widget of Qt's.
        QQuickStyle::setStyle("Fusion");
        state_->application = std::make_unique<QApplication>(argc, argv);
    } else {
        state_->application = std::make_unique<QGuiApplication>(argc, argv);
    }
    QGuiApplication::setApplicationName("Tavelin");
    QGuiApplication::setDesktopFileName("tavelin");
    // Closing the window is a decision of the shell, not the end of the program.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    static const bool exitHandled = [] {
        qtMessages = qInstallMessageHandler(filterQtMessages);
        return std::atexit(stopEngineBeforeExit) == 0;
    }();
    (void)exitHandled;
    state_->previews = ui::PreviewWindowFactory::createIfAvailable();
}

DesktopRun::~DesktopRun() {
    state_->previews.reset();
    state_->application.reset();
}

void DesktopRun::showFailure(const std::string& sentence) {
    if (!state_->options.interface) return;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Tavelin"), QString::fromStdString(sentence), QMessageBox::Close);
    box.exec();
}

PreviewFactory* DesktopRun::previews() const { return state_->previews.get(); }

void DesktopRun::run(asio::io_context& engine, const std::shared_ptr<AppModel>& model,
                     const std::function<void()>& requestShutdown) {
    auto shell = std::make_unique<ui::DesktopShell>(
        model, engine.get_executor(),
        ui::DesktopShell::Options{state_->options.interface, state_->options.windowStateFile, requestShutdown});
    shell->installHooks(*model);
    if (!state_->options.startInTray) shell->showInterface();

    std::thread engineThread([&engine] {
        engine.run();
        // However the engine ended (shutdown, its X server gone), Qt ends with it.
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    EngineInFlight engineInFlight{requestShutdown, &engineThread};
    inFlight = &engineInFlight;
    QCoreApplication::exec();
    inFlight = nullptr;
    // Qt may end first (its last window closed with no tray to live in): the engine still
    // stops sharing.
    requestShutdown();
    engineThread.join();

    model->windowHooks = {};
    shell.reset();
}

} // namespace tavelin
