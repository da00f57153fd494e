#include "platform/gnome/mutter_input.hpp"

#include <stdexcept>
#include <utility>
#include <vector>

namespace tavelin::gnome {

namespace {

constexpr const char* sessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
// linux/input-event-codes.h
constexpr std::int32_t buttonCodes[] = {0x110 /* BTN_LEFT */, 0x112 /* BTN_MIDDLE */, 0x111 /* BTN_RIGHT */};
// Axis flags of NotifyPointerAxis: the motion ends here, and comes from fingers (smooth pixels).
constexpr std::uint32_t axisFinish = 1u << 0, axisFinger = 1u << 2;

bool notify(const MutterVirtualMonitor& monitor, const char* method, GVariant* arguments) {
    try {
        call(monitor.bus(), "org.gnome.Mutter.RemoteDesktop", monitor.sessionPath().c_str(), sessionInterface, method,
             arguments, "()", 1000);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// Modifier keys held around one pointer event, as a user holding them would: pressed
// before it and released after it (evdev codes of the left-hand keys).
class HeldModifiers {
public:
    HeldModifiers(const MutterVirtualMonitor& monitor, ModifierFlags flags) : monitor_(monitor) {
        for (const auto& [on, code] : {std::pair{flags.shift, 42u}, {flags.control, 29u}, {flags.alt, 56u},
                                       {flags.meta, 125u}}) {
            if (on && notify(monitor_, "NotifyKeyboardKeycode", g_variant_new("(ub)", code, TRUE))) held_.push_back(code);
        }
    }
    ~HeldModifiers() {
        for (auto code = held_.rbegin(); code != held_.rend(); ++code) {
            notify(monitor_, "NotifyKeyboardKeycode", g_variant_new("(ub)", *code, FALSE));
        }
    }
    HeldModifiers(const HeldModifiers&) = delete;
    HeldModifiers& operator=(const HeldModifiers&) = delete;

private:
    const MutterVirtualMonitor& monitor_;
    std::vector<std::uint32_t> held_;
};

} // namespace

std::shared_ptr<MutterVirtualMonitor> MutterInputPoster::moveTo(double x, double y) {
    // One reading of the layout per event: every port call would ask mutter again.
    const auto state = services_.state();
    if (!state) return nullptr;
    for (const auto& [id, monitor] : displays_.live()) {
        const auto bounds = state->globalBounds(monitor->connector());
        const Monitor* found = state->monitor(monitor->connector());
        const MonitorMode* mode = found ? found->currentMode() : nullptr;
        if (!bounds || !mode || bounds->width <= 0 || x < bounds->x || y < bounds->y || x >= bounds->maxX() ||
            y >= bounds->maxY()) {
            continue;
        }
        const double scale = mode->width / bounds->width;
        const double streamX = (x - bounds->x) * scale, streamY = (y - bounds->y) * scale;
        // Noted first: the pointer metadata that shows this motion may come before the reply.
        monitor->noteInjectedMotion(streamX, streamY);
        const bool moved = notify(*monitor, "NotifyPointerMotionAbsolute",
                                  g_variant_new("(sdd)", monitor->streamPath().c_str(), streamX, streamY));
        return moved ? monitor : nullptr;
    }
    return nullptr;
}

bool MutterInputPoster::post(const MouseEvent& event) {
    const auto monitor = moveTo(event.x, event.y);
    if (!monitor) return false;
    bool pressed = false;
    switch (event.type) {
    case MouseEventType::moved:
    case MouseEventType::leftDragged:
    case MouseEventType::rightDragged:
    case MouseEventType::otherDragged:
        return true;
    case MouseEventType::leftDown:
    case MouseEventType::rightDown:
    case MouseEventType::otherDown:
        pressed = true;
        break;
    case MouseEventType::leftUp:
    case MouseEventType::rightUp:
    case MouseEventType::otherUp:
        break;
    }
    const int button = event.type == MouseEventType::leftDown || event.type == MouseEventType::leftUp     ? 0
                       : event.type == MouseEventType::rightDown || event.type == MouseEventType::rightUp ? 2
                                                                                                           : 1;
    const HeldModifiers held(*monitor, event.flags);
    return notify(*monitor, "NotifyPointerButton", g_variant_new("(ib)", buttonCodes[button], pressed));
}

bool MutterInputPoster::postScroll(double x, double y, std::int32_t vertical, std::int32_t horizontal,
                                   ModifierFlags flags) {
    const auto monitor = moveTo(x, y);
    if (!monitor) return false;
    const HeldModifiers held(*monitor, flags);
    // Our vertical amount is positive upwards, as a wheel turned away from the user;
    // Wayland's axis grows downwards.
    // A finished motion carries no distance of its own: the amount, then its end.
    return notify(*monitor, "NotifyPointerAxis",
                  g_variant_new("(ddu)", static_cast<double>(-horizontal), static_cast<double>(-vertical), axisFinger)) &&
           notify(*monitor, "NotifyPointerAxis", g_variant_new("(ddu)", 0.0, 0.0, axisFinger | axisFinish));
}

} // namespace tavelin::gnome
