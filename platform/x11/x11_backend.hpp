#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/task.hpp"
#include "platform/display_services.hpp"
#include "platform/input.hpp"
#include "platform/screen_capture.hpp"
#include "platform/system_services.hpp"
#include "platform/virtual_display.hpp"

namespace tavelin::x11 {

// Every port on one X server: RandR displays and virtual displays, XShm capture, XTest
// input, XInput2 pointer watching and the permission checks. Callers see only the
// ports; nothing of X leaks through this header.
class X11Backend {
public:
    // `displayName` empty means $DISPLAY. Throws std::runtime_error with one sentence
    // when the server cannot be reached or lacks what Tavelin needs.
    static std::unique_ptr<X11Backend> connect(Executor engine, const std::string& displayName = {});
    ~X11Backend();

    DisplayServices& displays();
    VirtualDisplayFactory& virtualDisplays();
    Permissions& permissions();
    ScreenCapture& capture();
    InputPoster& input();
    PointerMonitors& pointerMonitors();
    // Called on the engine whenever the server's display arrangement changed.
    void onConfigurationChanged(std::function<void()> handler);
    // Releases what the backend keeps on the engine, so that the engine can end before
    // the backend does (its last work may still release displays through the backend).
    void stopEvents();

private:
    struct Parts;
    explicit X11Backend(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
};

} // namespace tavelin::x11
