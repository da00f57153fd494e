#include "program/backend.hpp"

#include "platform/gstreamer/gst_webrtc_factory.hpp"
#include "platform/x11/x11_backend.hpp"
#include "server/local_sharing_server.hpp"

namespace tavelin {

Backend::Backend(const Executor& engine, PreviewFactory* previews)
    : engine_(engine),
      desktop_(x11::X11Backend::connect(engine)),
      defaults_(FileSettingsStore::defaultPath()),
      webrtc_(std::make_unique<GstWebRTCFactory>(engine)),
      sessionPorts_{desktop_->displays(),        desktop_->capture(),     desktop_->input(),
                    desktop_->pointerMonitors(), desktop_->permissions(), *webrtc_,
                    previews} {}

Backend::~Backend() = default;

ModelDependencies Backend::modelDependencies(std::vector<std::string> arguments, std::filesystem::path webRoot) {
    return ModelDependencies{
        engine_,
        Platform{desktop_->displays(), desktop_->virtualDisplays(), desktop_->permissions(), urls_, network_, random_},
        defaults_,
        [engine = engine_, ports = sessionPorts_, timings = timings_] {
            return std::make_shared<LiveStreamSession>(engine, ports, timings);
        },
        [timings = timings_] { return std::make_unique<LocalSharingServer>(timings); },
        std::move(arguments),
        timings_,
        std::move(webRoot),
    };
}

void Backend::watchConfiguration(std::weak_ptr<AppModel> model) {
    desktop_->onConfigurationChanged([weak = std::move(model)] {
        if (const auto m = weak.lock()) m->displayConfigurationChanged();
    });
}

void Backend::stopEvents() { desktop_->stopEvents(); }

} // namespace tavelin
