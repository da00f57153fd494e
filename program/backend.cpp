#include "program/backend.hpp"

#include <cstdlib>
#include <stdexcept>

#include "platform/gnome/gnome_backend.hpp"
#include "platform/gstreamer/gst_webrtc_factory.hpp"
#include "platform/linux/xdg_autostart.hpp"
#include "platform/x11/x11_backend.hpp"
#include "server/local_sharing_server.hpp"

namespace tavelin {

namespace {

std::unique_ptr<DesktopBackend> connectDesktop(const Executor& engine) {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland && *wayland) {
        // Xwayland's RandR cannot make displays: only GNOME's own interfaces can.
        if (!gnome::GnomeBackend::available()) {
            throw std::runtime_error(
                "This Wayland desktop does not let Tavelin create displays. Log in to a GNOME or X11 session.");
        }
        return gnome::GnomeBackend::connect(engine);
    }
    return x11::X11Backend::connect(engine);
}

// Opens this very program at login: the installed copy by name, a build by its path.
std::shared_ptr<LoginItems> autostart() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    const char* searchPath = std::getenv("PATH");
    return std::make_shared<XdgAutostart>(XdgAutostart::defaultEntry(),
                                          XdgAutostart::programFor(executable, searchPath ? searchPath : ""));
}

} // namespace

Backend::Backend(const Executor& engine, PreviewFactory* previews)
    : engine_(engine),
      desktop_(connectDesktop(engine)),
      defaults_(FileSettingsStore::defaultPath()),
      webrtc_(std::make_unique<GstWebRTCFactory>(engine)),
      sessionPorts_{desktop_->ports.displays,        desktop_->ports.capture,     desktop_->ports.input,
                    desktop_->ports.pointerMonitors, desktop_->ports.permissions, *webrtc_, previews} {}

Backend::~Backend() = default;

ModelDependencies Backend::modelDependencies(std::vector<std::string> arguments, std::filesystem::path webRoot) {
    const auto& ports = desktop_->ports;
    return ModelDependencies{
        engine_,
        Platform{ports.displays, ports.virtualDisplays, ports.permissions, urls_, network_, random_},
        defaults_,
        [engine = engine_, ports = sessionPorts_, timings = timings_] {
            return std::make_shared<LiveStreamSession>(engine, ports, timings);
        },
        [timings = timings_] { return std::make_unique<LocalSharingServer>(timings); },
        std::move(arguments),
        timings_,
        std::move(webRoot),
        SystemDisplayController::create(engine_,
                                        {ports.displays, ports.physicalDisplays, ports.brightness, ports.colorProfiles}),
        autostart(),
    };
}

void Backend::watchConfiguration(std::weak_ptr<AppModel> model) {
    desktop_->onConfigurationChanged([weak = std::move(model)] {
        const auto m = weak.lock();
        if (!m) return;
        m->displayConfigurationChanged();
        if (m->systemDisplays()) m->systemDisplays()->refresh();
    });
}

void Backend::onDesktopLost(std::function<void()> handler) { desktop_->onConnectionLost(std::move(handler)); }

void Backend::stopEvents() { desktop_->stopEvents(); }

} // namespace tavelin
