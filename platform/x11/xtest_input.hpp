#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/input.hpp"

namespace tavelin::x11 {

// Posts pointer input through the XTEST extension on its own connection. Positions come
// in global display coordinates and are moved by the primary output's root position.
//
// X11 has no click-count field: applications count multiple clicks themselves from the
// time and distance between presses, so MouseEvent::clickState is not sent. Modifier
// flags become key presses of the left modifier keys around the event.
class X11InputPoster final : public InputPoster {
public:
    // Browsers report one wheel notch as about 100 pixels (Chromium on a 100 % screen),
    // so that many pixels make one wheel click; smaller amounts add up per axis.
    static constexpr double pixelsPerWheelClick = 100.0;
    // Used when the desktop publishes no Net/DoubleClickTime through XSETTINGS.
    static constexpr std::chrono::milliseconds defaultDoubleClickInterval{400};

    // `displayName` empty means $DISPLAY. Throws XError when the server cannot be reached.
    explicit X11InputPoster(const std::string& displayName = {});
    ~X11InputPoster() override;

    // False without XTEST or on a broken connection.
    bool post(const MouseEvent& event) override;
    // `vertical` > 0 scrolls up (wheel button 4), < 0 down (5); `horizontal` > 0 scrolls
    // left (6), < 0 right (7).
    bool postScroll(double x, double y, std::int32_t vertical, std::int32_t horizontal, ModifierFlags flags) override;
    std::chrono::milliseconds doubleClickInterval() override;

    // Returns once the server has handled every event posted so far.
    void sync();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tavelin::x11
