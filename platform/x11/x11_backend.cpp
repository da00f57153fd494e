#include "platform/x11/x11_backend.hpp"

#include <asio/post.hpp>

#include "platform/x11/desktop_brightness.hpp"
#include "platform/x11/desktop_color_profiles.hpp"
#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/randr_physical_displays.hpp"
#include "platform/x11/randr_virtual_display.hpp"
#include "platform/x11/shm_capture.hpp"
#include "platform/x11/x11_permissions.hpp"
#include "platform/x11/xinput_pointer_monitors.hpp"
#include "platform/x11/xtest_input.hpp"

namespace tavelin::x11 {

struct X11Backend::Parts {
    Parts(Executor engine, const std::string& name)
        : engine(engine), displays(engine, name), virtualDisplays(displays), permissions(name), capture(name), input(name),
          pointerMonitors(engine, name), physical(displays.connection()),
          // DDC/CI monitors are found slowly, off the engine; the display list is read
          // again once they are known.
          brightness(displays.connection(), {},
                     [engine, changed = changed] { asio::post(engine, [changed] { if (*changed) (*changed)(); }); }),
          profiles(displays.connection()) {
        // A server that ended is reported once, by the displays' connection, rather than by
        // the capture that noticed first.
        capture.onConnectionLost(displays.connectionCheck());
    }
    Executor engine;
    // Read and written on the engine only.
    std::shared_ptr<std::function<void()>> changed = std::make_shared<std::function<void()>>();
    RandRDisplayServices displays;
    RandRVirtualDisplayFactory virtualDisplays;
    X11Permissions permissions;
    X11ScreenCapture capture;
    X11InputPoster input;
    X11PointerMonitors pointerMonitors;
    RandRPhysicalDisplays physical;
    DesktopBrightness brightness;
    DesktopColorProfiles profiles;
};

std::unique_ptr<X11Backend> X11Backend::connect(Executor engine, const std::string& displayName) {
    return std::unique_ptr<X11Backend>(new X11Backend(std::make_unique<Parts>(std::move(engine), displayName)));
}

X11Backend::X11Backend(std::unique_ptr<Parts> parts)
    : DesktopBackend({parts->displays, parts->virtualDisplays, parts->permissions, parts->capture, parts->input,
                      parts->pointerMonitors, parts->physical, parts->brightness, parts->profiles}),
      parts_(std::move(parts)) {}
X11Backend::~X11Backend() = default;

void X11Backend::stopEvents() { parts_->displays.stopEvents(); }

void X11Backend::onConnectionLost(std::function<void()> handler) {
    parts_->displays.onConnectionLost(std::move(handler));
}

void X11Backend::onConfigurationChanged(std::function<void()> handler) {
    asio::post(parts_->engine, [changed = parts_->changed, handler] { *changed = handler; });
    parts_->displays.onConfigurationChanged(std::move(handler));
}

} // namespace tavelin::x11
