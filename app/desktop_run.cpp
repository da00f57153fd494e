#include "app/desktop_run.hpp"

#include <thread>

#include <QApplication>
#include <QGuiApplication>
#include <QQuickStyle>

#include "app/model.hpp"
#include "ui/desktop_shell.hpp"
#include "ui/preview_window.hpp"

namespace tavelin {

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
    state_->previews = ui::PreviewWindowFactory::createIfAvailable();
}

DesktopRun::~DesktopRun() {
    state_->previews.reset();
    state_->application.reset();
}

PreviewFactory* DesktopRun::previews() const { return state_->previews.get(); }

void DesktopRun::run(asio::io_context& engine, const std::shared_ptr<AppModel>& model,
                     const std::function<void()>& requestShutdown) {
    auto shell = std::make_unique<ui::DesktopShell>(
        model, engine.get_executor(),
        ui::DesktopShell::Options{state_->options.interface, state_->options.windowStateFile, requestShutdown});
    shell->installHooks(*model);
    shell->showInterface();

    std::thread engineThread([&engine] {
        engine.run();
        // However the engine ended (shutdown, its X server gone), Qt ends with it.
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    // Qt may end first (its last window closed with no tray to live in): the engine still
    // stops sharing. A lost display connection never comes back here: Qt's xcb platform
    // exits the process itself.
    requestShutdown();
    engineThread.join();

    model->windowHooks = {};
    shell.reset();
}

} // namespace tavelin
