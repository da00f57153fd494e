#pragma once

#include <functional>

#include "platform/display_services.hpp"
#include "platform/input.hpp"
#include "platform/physical_displays.hpp"
#include "platform/screen_capture.hpp"
#include "platform/system_services.hpp"
#include "platform/virtual_display.hpp"

namespace tavelin {

// Every port of one desktop (an X server, or GNOME's compositor), owned by its backend.
struct DesktopPorts {
    DisplayServices& displays;
    VirtualDisplayFactory& virtualDisplays;
    Permissions& permissions;
    ScreenCapture& capture;
    InputPoster& input;
    PointerMonitors& pointerMonitors;
    // The controls of the lit displays beyond their modes.
    PhysicalDisplays& physicalDisplays;
    Brightness& brightness;
    ColorProfiles& colorProfiles;
};

// One desktop: the program chooses one at start and hands its ports to the model and the
// sessions.
class DesktopBackend {
public:
    explicit DesktopBackend(const DesktopPorts& ports) : ports(ports) {}
    virtual ~DesktopBackend() = default;
    DesktopBackend(const DesktopBackend&) = delete;
    DesktopBackend& operator=(const DesktopBackend&) = delete;

    const DesktopPorts ports;
    // Called on the engine whenever the desktop's display arrangement changed.
    virtual void onConfigurationChanged(std::function<void()> handler) = 0;
    // Called on the engine once when the connection to the desktop breaks, after
    // onConfigurationChanged. A backend that cannot tell never calls it.
    virtual void onConnectionLost(std::function<void()> handler) { static_cast<void>(handler); }
    // Releases what the backend keeps on the engine, so that the engine can end before
    // the backend does (its last work may still release displays through the backend).
    virtual void stopEvents() = 0;
};

} // namespace tavelin
