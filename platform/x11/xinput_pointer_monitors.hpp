#pragma once

#include <string>

#include "engine/task.hpp"
#include "platform/input.hpp"

namespace tavelin::x11 {

// Watches the pointer of the whole desktop through XInput 2 raw events on the root
// window: motion and button presses (wheel clicks included) of every device. Events that
// XTEST injected come from its slave pointer, and carry the remote-event marker.
class X11PointerMonitors final : public PointerMonitors {
public:
    // `displayName` empty means $DISPLAY. Throws XError when the server cannot be
    // reached or lacks XInput 2.2.
    explicit X11PointerMonitors(Executor engine, std::string displayName = {});

    // Each watch reads its own connection; its callbacks arrive on the engine until the
    // watch is destroyed. Throws XError when the server cannot be reached.
    std::unique_ptr<Watch> watch(std::function<void(std::int64_t marker)> onPointerEvent) override;

private:
    Executor engine_;
    std::string displayName_;
};

} // namespace tavelin::x11
