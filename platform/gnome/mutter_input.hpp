#pragma once

#include "platform/gnome/mutter_display_services.hpp"
#include "platform/gnome/mutter_virtual_displays.hpp"
#include "platform/input.hpp"

namespace tavelin::gnome {

// Pointer input through the remote-desktop session of the virtual display under the
// point: absolute motion in that display's stream pixels, buttons as evdev codes, scroll
// as smooth (finger) axis motion in pixels. Wayland lets no client move the pointer
// elsewhere, so a point outside our displays is refused.
class MutterInputPoster final : public InputPoster {
public:
    MutterInputPoster(MutterDisplayServices& services, MutterVirtualDisplays& displays)
        : services_(services), displays_(displays) {}

    bool post(const MouseEvent& event) override;
    bool postScroll(double x, double y, std::int32_t vertical, std::int32_t horizontal, ModifierFlags flags) override;
    std::chrono::milliseconds doubleClickInterval() override { return std::chrono::milliseconds(400); }

private:
    // Moves the pointer there; the session that did, or nullptr.
    std::shared_ptr<MutterVirtualMonitor> moveTo(double x, double y);

    MutterDisplayServices& services_;
    MutterVirtualDisplays& displays_;
};

} // namespace tavelin::gnome
