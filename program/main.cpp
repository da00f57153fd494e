// The tavelin program: one copy per user and a clean stop of sharing on SIGINT, SIGTERM
// or Quit. With a desktop it shows its window, Qt on the main thread and the engine on
// its own; with --headless, or without a desktop (then on its own X server), the engine
// runs on the main thread and Qt is never started, unless --benchmark needs the motion
// test on the shared display.

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <malloc.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>

#include "app/model.hpp"
#include "core/atomic_file.hpp"
#include "core/log.hpp"
#include "core/unique_fd.hpp"
#include "platform/gstreamer/gst_default_context.hpp"
#include "platform/x11/embedded_server.hpp"
#include "program/activation.hpp"
#include "program/backend.hpp"
#include "program/control.hpp"
#include "program/desktop_run.hpp"
#include "program/options.hpp"
#include "program/single_instance.hpp"

namespace {

using namespace tavelin;
namespace fs = std::filesystem;

// The receiver page: installed beside the program, else in the build tree.
fs::path findWebRoot() {
    std::error_code error;
    const auto executable = fs::read_symlink("/proc/self/exe", error);
    const auto installed = executable.parent_path().parent_path() / "share" / "tavelin" / "Web";
    const fs::path built = TAVELIN_BUILD_WEB_DIR;
    for (const auto& candidate : {installed, built}) {
        if (fs::is_regular_file(candidate / "index.html", error)) return candidate;
    }
    log::plain("could not load resource bundle: from ", installed.string(), " or ", built.string());
    std::exit(1);
}

// True when standard error is a stream of the journal: systemd names its device and
// inode in JOURNAL_STREAM, in decimal.
bool standardErrorIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (!stream || ::fstat(STDERR_FILENO, &status) != 0) return false;
    return stream == std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

} // namespace

int main(int argc, char** argv) {
    // Frames are allocated and freed many times a second on threads that come and go
    // with every receiver. With an arena per thread, glibc kept each one's freed frames,
    // and the resident memory grew with every receiver; two arenas are shared by all.
    mallopt(M_ARENA_MAX, 2);
    const auto options = parseOptions(argc, argv);
    switch (options.action) {
    case ProgramOptions::Action::run:
        break;
    case ProgramOptions::Action::help:
    case ProgramOptions::Action::version:
        std::fputs(options.output.c_str(), stdout);
        return 0;
    case ProgramOptions::Action::usage:
        std::fputs(options.output.c_str(), stderr);
        return 2;
    }
    const auto supportFolder = dataFolder();
    // Before the lock: asking the running copy must never start one.
    if (options.controlRequest) return controlRunningCopy(supportFolder, *options.controlRequest);
    switch (SingleInstance::acquire(supportFolder)) {
    case SingleInstance::Outcome::acquired:
        break;
    case SingleInstance::Outcome::folderUnavailable:
        std::fputs("Tavelin could not open its application support folder.\n", stderr);
        return 1;
    case SingleInstance::Outcome::heldByAnother:
        SingleInstance::activateRunningCopy(supportFolder);
        std::fputs("Tavelin is already running. Open it from the tray or the application menu.\n", stderr);
        return 0;
    }
    // Only the copy that holds the lock may judge a temporary stale: another one may be
    // saving.
    removeStaleTemporaries(FileSettingsStore::defaultPath());
    const auto webRoot = findWebRoot();

    // Without a desktop, Tavelin brings its own X server and stops it on the way out.
    std::unique_ptr<x11::EmbeddedServer> ownServer;
    const auto set = [](const char* name) { return std::getenv(name) && *std::getenv(name); };
    const bool hasDesktop = set("DISPLAY") || set("WAYLAND_DISPLAY");
    if (!hasDesktop) {
        try {
            ownServer = x11::EmbeddedServer::start();
        } catch (const std::exception& error) {
            log::plain(error.what());
            return 1;
        }
        ownServer->exportEnvironment();
        log::info("Started its own X server on ", ownServer->displayName());
    }

    // The window needs a desktop of the user's; a benchmark shows its motion test on
    // any display, ours included.
    const bool showInterface = hasDesktop && !options.headless;
    std::unique_ptr<DesktopRun> qt;
    if (showInterface || options.benchmark) {
        qt = std::make_unique<DesktopRun>(argc, argv,
                                          DesktopRun::Options{showInterface, options.windowStateFile, options.tray});
    }

    // Without Qt nothing runs GLib's default context, which the WebRTC stack needs.
    std::unique_ptr<GLibDefaultContextThread> glibDefault;
    if (!qt) glibDefault = std::make_unique<GLibDefaultContextThread>();

    auto engineOwner = std::make_unique<asio::io_context>();
    asio::io_context& engine = *engineOwner;
    std::unique_ptr<Backend> backend;
    try {
        backend = std::make_unique<Backend>(engine.get_executor(), qt ? qt->previews() : nullptr);
    } catch (const std::exception& error) {
        // Started from the desktop's menu, nobody reads stderr: the window says it.
        log::plain(error.what());
        if (qt) qt->showFailure(error.what());
        return 1;
    }
    auto model = AppModel::create(backend->modelDependencies(options.arguments, webRoot));
    backend->watchConfiguration(model);

    // Without its X server Tavelin has nothing to show or capture: when the server ends,
    // Tavelin ends too, saying so once, whichever part noticed first.
    int exitStatus = 0;
    bool serverGone = false;
    const auto endWithoutServer = [&] {
        if (std::exchange(serverGone, true)) return;
        log::error(ownServer ? "Its own X server stopped, so Tavelin stops too."
                             : "The connection to the display server broke, so Tavelin stops.");
        exitStatus = 1;
        engine.stop();
    };
    std::unique_ptr<asio::posix::stream_descriptor> serverWatch;
    if (ownServer) {
        if (UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, ownServer->pid(), 0))); fd) {
            serverWatch = std::make_unique<asio::posix::stream_descriptor>(engine, fd.release());
            serverWatch->async_wait(asio::posix::stream_descriptor::wait_read, [&](const std::error_code& error) {
                if (!error) endWithoutServer();
            });
        }
    }
    // The desktop's connection tells it too (Qt's own exit covers a run with the window).
    if (ownServer || !qt) backend->onDesktopLost(endWithoutServer);

    // SIGINT, SIGTERM, Quit and a copy run with --quit stop sharing cleanly, remembering
    // the arrangement, then end the engine; asking again while that runs changes nothing.
    bool shuttingDown = false;
    const auto shutDown = [&] {
        if (std::exchange(shuttingDown, true)) return;
        auto work = [](std::shared_ptr<AppModel> m, asio::io_context& context) -> Task<> {
            // A mode change nobody confirmed does not outlive the program.
            if (m->systemDisplays()) m->systemDisplays()->revertMode();
            m->rememberArrangement();
            co_await m->stop();
            context.stop();
        };
        model->spawn(work(model, engine));
    };
    listenForActivation(engine, SingleInstance::socketPath(supportFolder), model, shutDown);
    auto signals = std::make_unique<asio::signal_set>(engine, SIGINT, SIGTERM);
    signals->async_wait([&](const std::error_code& error, int) {
        if (error) return;
        shutDown();
        signals->async_wait([](const std::error_code&, int) {});
    });

    // The link is printed whenever sharing starts, for a run without a window to read it in;
    // not into the journal, though, which keeps it for whoever may read the logs.
    model->subscribe([weak = std::weak_ptr<AppModel>(model), journal = standardErrorIsJournal()](ModelField field) {
        const auto m = weak.lock();
        if (!m || field != ModelField::isRunning || !m->isRunning()) return;
        if (journal) {
            log::info("Sharing started; tavelin --status shows the receiver link.");
        } else {
            log::info("Receiver link ", m->receiverURL());
        }
    });
    model->applyLaunchSettings();
    if (model->systemDisplays()) model->systemDisplays()->refresh();
    // Without a window nothing else can mend a start that failed: its sentence is said,
    // and the program ends with status 1.
    auto launch = [](std::shared_ptr<AppModel> m, std::function<void()> failed) -> Task<> {
        co_await m->restoreDisplays();
        if (std::ranges::find(m->arguments(), "--start") == m->arguments().end()) co_return;
        co_await m->start();
        if (failed && !m->isRunning()) failed();
    };
    std::function<void()> startFailed;
    if (!showInterface) {
        startFailed = [&] {
            exitStatus = 1;
            shutDown();
        };
    }
    model->spawn(launch(model, std::move(startFailed)));

    if (qt) {
        qt->run(engine, model, [&engine, &shutDown] { asio::post(engine, shutDown); });
    } else {
        engine.run();
    }

    // Work still suspended in the engine (a launch the signal interrupted) holds the
    // model, and the model holds displays that only the backend can release: end the
    // engine while the backend lives, after taking back what the backend keeps on it.
    signals.reset();
    serverWatch.reset();
    backend->stopEvents();
    model.reset();
    engineOwner.reset();
    backend.reset();
    qt.reset();
    return exitStatus;
}
