#pragma once

#include <cstdint>
#include <optional>

#include <xcb/randr.h>

#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

// The backlight that a driver offers as an output property: "Backlight" (the modesetting
// and intel drivers), else "BACKLIGHT" (older drivers), a 32-bit INTEGER with a range.
class RandRBacklight {
public:
    explicit RandRBacklight(Connection& connection);

    // Nothing when the output has no such property or its range is empty.
    std::optional<double> brightness(xcb_randr_output_t output);
    // False when the output has no backlight property or the server refused the value.
    bool setBrightness(xcb_randr_output_t output, double level);

private:
    struct Property {
        xcb_atom_t atom = XCB_NONE;
        std::int32_t minimum = 0;
        std::int32_t maximum = 0;
        std::int32_t value = 0;
    };
    std::optional<Property> find(xcb_randr_output_t output);

    Connection& connection_;
    xcb_atom_t names_[2];
};

} // namespace tavelin::x11
