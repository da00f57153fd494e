#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "engine/task.hpp"
#include "engine/timing.hpp"
#include "platform/display_services.hpp"
#include "platform/input.hpp"
#include "platform/system_services.hpp"

namespace tavelin {

// Turns the receiver's mouse packets into pointer events on one display: moves, drags,
// clicks with multi-click counts, pixel scrolling and modifier keys. It makes sure no
// button stays held when the receiver goes quiet or leaves. Engine thread only.
class MouseInput : public std::enable_shared_from_this<MouseInput> {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Point {
        double x = 0;
        double y = 0;
        friend bool operator==(const Point&, const Point&) = default;
    };

    // `display` maps the packet coordinates: the shared display, or the display it
    // mirrors. The ports must outlive the object.
    MouseInput(DisplayID display, InputPoster& poster, DisplayServices& displays, Permissions& permissions,
               Timings timings = {}, Clock clock = &std::chrono::steady_clock::now);

    // Told of every accepted positional packet.
    std::function<void()> onRemotePointer;

    // Handles one data-channel message; anything that does not decode is ignored.
    void receive(std::string_view message);
    // Posts one event of `type` at the current position for `button`, carrying the
    // button's click count.
    void post(MouseEventType type, int button, ModifierFlags flags);
    // Releases every held button at the current position and forgets the click history.
    void releaseAll();

    // Releases held buttons once the receiver has been silent for longer than the
    // silence limit. The session spawns it when the mouse channel opens and cancels it
    // when the session stops or disconnects; it ends by itself once the input is gone.
    static Task<> watchdog(std::weak_ptr<MouseInput> input);

    DisplayID displayID() const { return displayID_; }
    const std::set<int>& pressed() const { return pressed_; }
    Point position() const { return position_; }

private:
    struct Click {
        int button = 0;
        std::chrono::steady_clock::time_point time;
        Point position;
    };

    bool displayIsActive();
    void press(int button, ModifierFlags flags);

    DisplayID displayID_;
    InputPoster& poster_;
    DisplayServices& displays_;
    Permissions& permissions_;
    Timings timings_;
    Clock clock_;

    std::set<int> pressed_;
    Point position_;
    std::optional<Click> lastClick_;
    std::map<int, std::int64_t> clickCounts_;
    std::chrono::steady_clock::time_point lastInput_;
};

} // namespace tavelin
