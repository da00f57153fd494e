#pragma once

#include "engine/task.hpp"
#include "platform/gnome/mutter_virtual_displays.hpp"
#include "platform/input.hpp"

namespace tavelin::gnome {

// The pointer as our displays' video streams see it: Wayland gives no client the user's
// pointer events, but mutter puts the pointer's position in each stream's metadata. A
// move that our injected motion did not make is the user's own (marker 0); ours carry
// the remote-event marker. The user's pointer on a display that is not ours goes unseen.
class MutterPointerMonitors final : public PointerMonitors {
public:
    MutterPointerMonitors(Executor engine, MutterVirtualDisplays& displays)
        : engine_(std::move(engine)), displays_(displays) {}

    std::unique_ptr<Watch> watch(std::function<void(std::int64_t marker)> onPointerEvent) override;

private:
    Executor engine_;
    MutterVirtualDisplays& displays_;
};

} // namespace tavelin::gnome
