#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/model.hpp"
#include "core/settings_store.hpp"
#include "engine/timing.hpp"
#include "platform/linux/posix_services.hpp"
#include "streaming/live_session.hpp"

namespace tavelin {

class GstWebRTCFactory;
class DesktopBackend;

// The Linux backend the model runs on: the desktop (GNOME's compositor under Wayland, else
// the X server), WebRTC over GStreamer, the POSIX services and the settings file, with
// sessions and servers made from them.
class Backend {
public:
    // With $WAYLAND_DISPLAY, connects to GNOME through its session bus (another Wayland
    // desktop is refused); else to the X server of $DISPLAY. Throws with the sentence to
    // print when it cannot. previews may be null where no window can be shown.
    Backend(const Executor& engine, PreviewFactory* previews);
    ~Backend();

    ModelDependencies modelDependencies(std::vector<std::string> arguments, std::filesystem::path webRoot);
    // Tells the model of every change of the display configuration.
    void watchConfiguration(std::weak_ptr<AppModel> model);
    // Called on the engine once the connection to the desktop breaks.
    void onDesktopLost(std::function<void()> handler);
    // Takes back what the backend keeps on the engine, before the engine ends.
    void stopEvents();

private:
    Executor engine_;
    std::unique_ptr<DesktopBackend> desktop_;
    FileSettingsStore defaults_;
    PosixNetworkInterfaces network_;
    KernelSecureRandom random_;
    XdgURLOpener urls_;
    const Timings timings_;
    // After the desktop, so that its pipelines end before the desktop they capture.
    std::unique_ptr<GstWebRTCFactory> webrtc_;
    SessionPorts sessionPorts_;
};

} // namespace tavelin
