#include "input/mouse_input.hpp"

#include <algorithm>
#include <cmath>

#include "core/mouse_packet.hpp"

namespace tavelin {
namespace {

MouseEventType downType(int button) {
    return button == 0 ? MouseEventType::leftDown : button == 2 ? MouseEventType::rightDown : MouseEventType::otherDown;
}
MouseEventType upType(int button) {
    return button == 0 ? MouseEventType::leftUp : button == 2 ? MouseEventType::rightUp : MouseEventType::otherUp;
}

// The minimum distance, in points, between two presses that no longer count as one
// multi-click.
constexpr double clickSlop = 5.0;

} // namespace

MouseInput::MouseInput(DisplayID display, InputPoster& poster, DisplayServices& displays, Permissions& permissions,
                       Timings timings, Clock clock)
    : displayID_(display),
      poster_(poster),
      displays_(displays),
      permissions_(permissions),
      timings_(timings),
      clock_(std::move(clock)),
      lastInput_(clock_()) {}

void MouseInput::receive(std::string_view message) {
    const auto packet = MousePacket::decode(message);
    if (!packet) return;
    lastInput_ = clock_();
    if (packet->type == "release") return releaseAll();
    if (packet->type == "heartbeat") return;

    if (!permissions_.isInputTrusted() || !displayIsActive()) return releaseAll();
    const DisplayBounds bounds = displays_.bounds(displayID_);
    if (bounds.width <= 0 || bounds.height <= 0) return;
    if (onRemotePointer) onRemotePointer();

    // 0 lands on the first pixel column or row and 1 on the last.
    position_ = {bounds.x + *packet->x * std::max(bounds.width - 1, 0.0),
                 bounds.y + *packet->y * std::max(bounds.height - 1, 0.0)};
    const ModifierFlags flags{packet->shift.value_or(false), packet->control.value_or(false),
                              packet->alt.value_or(false), packet->meta.value_or(false)};

    if (packet->type == "move") {
        if (pressed_.contains(0)) {
            post(MouseEventType::leftDragged, 0, flags);
        } else if (pressed_.contains(2)) {
            post(MouseEventType::rightDragged, 2, flags);
        } else if (!pressed_.empty()) {
            post(MouseEventType::otherDragged, *pressed_.begin(), flags);
        } else {
            post(MouseEventType::moved, 0, flags);
        }
    } else if (packet->type == "down") {
        press(static_cast<int>(*packet->button), flags);
    } else if (packet->type == "up") {
        const int button = static_cast<int>(*packet->button);
        if (pressed_.erase(button) == 0) return;
        post(upType(button), button, flags);
    } else if (packet->type == "scroll") {
        post(MouseEventType::moved, 0, flags);
        // Decoding bounds the amounts to ±2000, so they fit the wheel fields.
        poster_.postScroll(position_.x, position_.y, static_cast<std::int32_t>(-std::trunc(*packet->dy)),
                           static_cast<std::int32_t>(-std::trunc(*packet->dx)), flags);
    }
}

void MouseInput::press(int button, ModifierFlags flags) {
    if (pressed_.contains(button)) return;
    const auto now = clock_();
    const auto previous = clickCounts_.find(button);
    const bool continues = lastClick_ && lastClick_->button == button &&
                           now - lastClick_->time <= poster_.doubleClickInterval() &&
                           std::hypot(position_.x - lastClick_->position.x, position_.y - lastClick_->position.y) <
                               clickSlop;
    clickCounts_[button] = continues ? (previous == clickCounts_.end() ? 1 : previous->second) + 1 : 1;
    lastClick_ = Click{button, now, position_};
    pressed_.insert(button);
    post(downType(button), button, flags);
}

void MouseInput::post(MouseEventType type, int button, ModifierFlags flags) {
    const auto count = clickCounts_.find(button);
    MouseEvent event;
    event.type = type;
    event.button = button;
    event.x = position_.x;
    event.y = position_.y;
    event.flags = flags;
    event.clickState = count == clickCounts_.end() ? 1 : static_cast<int>(count->second);
    // A refused event is skipped; the button state stays what the receiver asked for.
    poster_.post(event);
}

void MouseInput::releaseAll() {
    for (const int button : pressed_) post(upType(button), button, {});
    pressed_.clear();
    lastClick_.reset();
    clickCounts_.clear();
}

bool MouseInput::displayIsActive() {
    const auto active = displays_.activeDisplays();
    return active && std::find(active->begin(), active->end(), displayID_) != active->end();
}

Task<> MouseInput::watchdog(std::weak_ptr<MouseInput> input) {
    Timings timings;
    if (const auto strong = input.lock()) {
        timings = strong->timings_;
    } else {
        co_return;
    }
    for (Timings::Duration wait = timings.mouseWatchdogInterval; co_await sleepFor(wait);) {
        const auto strong = input.lock();
        if (!strong) co_return;
        const auto silent = strong->clock_() - strong->lastInput_;
        if (silent > timings.mouseSilence) strong->releaseAll();
        // A receiver that vanished mid-drag is let go when the silence limit is reached,
        // not up to one round later: the next round comes just past the limit.
        const auto left = timings.mouseSilence - silent;
        wait = left >= Timings::Duration::zero()
                   ? std::min<Timings::Duration>(timings.mouseWatchdogInterval, left + std::chrono::milliseconds(1))
                   : timings.mouseWatchdogInterval;
    }
}

} // namespace tavelin
