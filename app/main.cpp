// The tavelin program: one copy per user and a clean stop of sharing on SIGINT, SIGTERM
// or Quit. With a desktop it shows its window, Qt on the main thread and the engine on
// its own; with --headless, or without a desktop (then on its own X server), the engine
// runs on the main thread and Qt is never started, unless --benchmark needs the motion
// test on the shared display.

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/signal_set.hpp>
#include <asio/streambuf.hpp>

#include "core/log.hpp"
#include "app/desktop_run.hpp"
#include "app/model.hpp"
#include "app/single_instance.hpp"
#include "platform/gstreamer/gst_webrtc_factory.hpp"
#include "platform/linux/posix_services.hpp"
#include "platform/x11/embedded_server.hpp"
#include "platform/x11/x11_backend.hpp"
#include "server/local_sharing_server.hpp"
#include "streaming/live_session.hpp"

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

// A second copy connects to the running one and asks it to show its main window.
void listenForActivation(asio::io_context& engine, const fs::path& socketPath, std::weak_ptr<AppModel> model) {
    using asio::local::stream_protocol;
    std::shared_ptr<stream_protocol::acceptor> acceptor;
    try {
        fs::remove(socketPath); // ours: we hold the lock, so any old socket is stale
        acceptor = std::make_shared<stream_protocol::acceptor>(engine, stream_protocol::endpoint(socketPath.string()));
    } catch (const std::exception& error) {
        // Without the socket a second copy still refuses to run; it only cannot bring
        // this one forward.
        log::error("Could not listen for other copies at ", socketPath.string(), ": ", error.what());
        return;
    }
    // Each request is read on its own, with a time limit, so that a client that never
    // writes cannot hold up the next one.
    // The timer's handler shares the socket: it may already be queued when the read
    // completes first and this coroutine ends.
    auto answer = [](std::shared_ptr<stream_protocol::socket> peer, std::weak_ptr<AppModel> owner) -> Task<> {
        asio::steady_timer limit(peer->get_executor(), std::chrono::seconds(2));
        limit.async_wait([peer](const std::error_code& error) {
            if (!error) peer->close();
        });
        asio::streambuf request(64);
        const auto [error, length] = co_await asio::async_read_until(*peer, request, '\n', asTuple);
        limit.cancel();
        if (error || length == 0) co_return;
        const std::string line(asio::buffers_begin(request.data()), asio::buffers_begin(request.data()) + length);
        if (line == "show\n") {
            if (auto strong = owner.lock()) strong->showWindow("receiver");
        }
    };
    auto serve = [answer](std::shared_ptr<stream_protocol::acceptor> listener, std::weak_ptr<AppModel> owner) -> Task<> {
        for (;;) {
            auto [error, peer] = co_await listener->async_accept(asTuple);
            if (error) co_return;
            detach(listener->get_executor(), answer(std::make_shared<stream_protocol::socket>(std::move(peer)), owner));
        }
    };
    detach(engine.get_executor(), serve(acceptor, std::move(model)));
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const auto hasArgument = [&](const char* option) { return std::ranges::find(arguments, option) != arguments.end(); };
    const auto supportFolder = dataFolder();
    switch (SingleInstance::acquire(supportFolder)) {
    case SingleInstance::Outcome::acquired:
        break;
    case SingleInstance::Outcome::folderUnavailable:
        std::fputs("Tavelin could not open its application support folder.\n", stderr);
        return 1;
    case SingleInstance::Outcome::heldByAnother:
        SingleInstance::activateRunningCopy(supportFolder);
        std::fputs("Tavelin is already running. Open it from the menu bar.\n", stderr);
        return 0;
    }
    const auto webRoot = findWebRoot();

    // Without a desktop, Tavelin brings its own X server and stops it on the way out.
    std::unique_ptr<x11::EmbeddedServer> ownServer;
    const char* display = std::getenv("DISPLAY");
    const bool hasDesktop = display && *display;
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
    const bool showInterface = hasDesktop && !hasArgument("--headless");
    std::unique_ptr<DesktopRun> qt;
    if (showInterface || hasArgument("--benchmark")) {
        DesktopRun::Options options{showInterface, std::nullopt};
        if (const auto file = std::ranges::find(arguments, "--window-state-file");
            file != arguments.end() && std::next(file) != arguments.end()) {
            options.windowStateFile = *std::next(file);
        }
        qt = std::make_unique<DesktopRun>(argc, argv, options);
    }

    auto engineOwner = std::make_unique<asio::io_context>();
    asio::io_context& engine = *engineOwner;
    std::unique_ptr<x11::X11Backend> desktop;
    try {
        desktop = x11::X11Backend::connect(engine.get_executor());
    } catch (const std::exception& error) {
        log::plain(error.what());
        return 1;
    }
    FileSettingsStore defaults(FileSettingsStore::defaultPath());
    PosixNetworkInterfaces network;
    KernelSecureRandom random;
    XdgURLOpener urls;
    const Timings timings;
    auto webrtc = std::make_unique<GstWebRTCFactory>(engine.get_executor());
    const SessionPorts sessionPorts{desktop->displays(),        desktop->capture(),     desktop->input(),
                                    desktop->pointerMonitors(), desktop->permissions(), *webrtc,
                                    qt ? qt->previews() : nullptr};

    auto model = AppModel::create(ModelDependencies{
        engine.get_executor(),
        Platform{desktop->displays(), desktop->virtualDisplays(), desktop->permissions(), urls, network, random},
        defaults,
        [&engine, sessionPorts, timings] {
            return std::make_shared<LiveStreamSession>(engine.get_executor(), sessionPorts, timings);
        },
        [timings] { return std::make_unique<LocalSharingServer>(timings); },
        arguments,
        timings,
        webRoot,
    });
    desktop->onConfigurationChanged([weak = std::weak_ptr<AppModel>(model)] {
        if (const auto m = weak.lock()) m->displayConfigurationChanged();
    });

    listenForActivation(engine, SingleInstance::socketPath(supportFolder), model);

    // Without its X server Tavelin has nothing to show or capture: when the server ends
    // on its own, Tavelin ends too.
    int exitStatus = 0;
    std::unique_ptr<asio::posix::stream_descriptor> serverWatch;
    if (ownServer) {
        if (const int fd = static_cast<int>(::syscall(SYS_pidfd_open, ownServer->pid(), 0)); fd >= 0) {
            serverWatch = std::make_unique<asio::posix::stream_descriptor>(engine, fd);
            serverWatch->async_wait(asio::posix::stream_descriptor::wait_read, [&](const std::error_code& error) {
                if (error) return;
                log::error("Its own X server stopped, so Tavelin stops too.");
                exitStatus = 1;
                engine.stop();
            });
        }
    }

    // SIGINT, SIGTERM and Quit stop sharing cleanly, remembering the arrangement, then
    // end the engine; asking again while that runs changes nothing.
    bool shuttingDown = false;
    const auto shutDown = [&] {
        if (std::exchange(shuttingDown, true)) return;
        auto work = [](std::shared_ptr<AppModel> m, asio::io_context& context) -> Task<> {
            m->rememberArrangement();
            co_await m->stop();
            context.stop();
        };
        model->spawn(work(model, engine));
    };
    auto signals = std::make_unique<asio::signal_set>(engine, SIGINT, SIGTERM);
    signals->async_wait([&](const std::error_code& error, int) {
        if (error) return;
        shutDown();
        signals->async_wait([](const std::error_code&, int) {});
    });

    // The link is printed whenever sharing starts, for a run without a window to read it in.
    model->subscribe([weak = std::weak_ptr<AppModel>(model)](ModelField field) {
        const auto m = weak.lock();
        if (m && field == ModelField::isRunning && m->isRunning()) {
            log::info("Receiver link ", m->receiverURL());
        }
    });
    model->applyLaunchSettings();
    auto launch = [](std::shared_ptr<AppModel> m) -> Task<> {
        co_await m->restoreDisplays();
        if (std::ranges::find(m->arguments(), "--start") != m->arguments().end()) co_await m->start();
    };
    model->spawn(launch(model));

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
    desktop->stopEvents();
    model.reset();
    engineOwner.reset();
    webrtc.reset();
    desktop.reset();
    qt.reset();
    return exitStatus;
}
