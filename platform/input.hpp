#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace tavelin {

enum class MouseEventType {
    moved, leftDown, leftUp, rightDown, rightUp, otherDown, otherUp,
    leftDragged, rightDragged, otherDragged,
};

struct ModifierFlags {
    bool shift = false;
    bool control = false;
    bool alt = false;
    bool meta = false;
    friend bool operator==(const ModifierFlags&, const ModifierFlags&) = default;
};

// One pointer event in global display coordinates. Every event we post is marked as
// ours, so that the pointer monitors can tell it from the user's own mouse.
struct MouseEvent {
    MouseEventType type = MouseEventType::moved;
    int button = 0;        // 0 main, 1 middle, 2 secondary
    double x = 0;
    double y = 0;
    ModifierFlags flags;
    int clickState = 1;    // 1 single, 2 double, ...
    friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

// Injects pointer input into the display server. Called on the engine.
class InputPoster {
public:
    virtual ~InputPoster() = default;
    // False when the event could not be made; the caller skips it.
    virtual bool post(const MouseEvent& event) = 0;
    // Pixel scroll amounts with two wheels: vertical first, horizontal second.
    virtual bool postScroll(double x, double y, std::int32_t vertical, std::int32_t horizontal,
                            ModifierFlags flags) = 0;
    // The desktop's double-click interval, or a default where the desktop has none.
    virtual std::chrono::milliseconds doubleClickInterval() = 0;
};

// Watches the pointer events of the whole desktop. The callback gets the event's
// marker: CursorPolicy::remoteEventMarker for events we injected, anything else for
// the user's own.
class PointerMonitors {
public:
    class Watch {
    public:
        virtual ~Watch() = default; // stops watching
    };
    virtual ~PointerMonitors() = default;
    // The callback arrives on the engine.
    virtual std::unique_ptr<Watch> watch(std::function<void(std::int64_t marker)> onPointerEvent) = 0;
};

} // namespace tavelin
