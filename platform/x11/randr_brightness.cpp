#include "platform/x11/randr_brightness.hpp"

#include <algorithm>
#include <cmath>

namespace tavelin::x11 {

RandRBacklight::RandRBacklight(Connection& connection)
    : connection_(connection), names_{connection.atom("Backlight"), connection.atom("BACKLIGHT")} {}

std::optional<RandRBacklight::Property> RandRBacklight::find(xcb_randr_output_t output) {
    for (xcb_atom_t atom : names_) {
        if (atom == XCB_NONE) continue;
        auto value = reply(connection_, xcb_randr_get_output_property_reply,
                           xcb_randr_get_output_property(connection_, output, atom, XCB_ATOM_INTEGER, 0, 1, false,
                                                         false));
        if (!value || value->type != XCB_ATOM_INTEGER || value->format != 32 || value->num_items != 1) continue;
        auto range = reply(connection_, xcb_randr_query_output_property_reply,
                           xcb_randr_query_output_property(connection_, output, atom));
        if (!range || !range->range || xcb_randr_query_output_property_valid_values_length(range.get()) != 2)
            continue;
        const auto* limits = xcb_randr_query_output_property_valid_values(range.get());
        Property found{atom, limits[0], limits[1], 0};
        if (found.maximum <= found.minimum) continue;
        std::int32_t stored = 0;
        std::copy_n(xcb_randr_get_output_property_data(value.get()), sizeof stored,
                    reinterpret_cast<std::uint8_t*>(&stored));
        // Drivers have been seen to report a value outside their own range after resume.
        found.value = std::clamp(stored, found.minimum, found.maximum);
        return found;
    }
    return std::nullopt;
}

std::optional<double> RandRBacklight::brightness(xcb_randr_output_t output) {
    auto property = find(output);
    if (!property) return std::nullopt;
    return double(std::int64_t(property->value) - property->minimum) /
           double(std::int64_t(property->maximum) - property->minimum);
}

bool RandRBacklight::setBrightness(xcb_randr_output_t output, double level) {
    auto property = find(output);
    if (!property || !std::isfinite(level)) return false;
    const double span = double(std::int64_t(property->maximum) - property->minimum);
    auto value = static_cast<std::int32_t>(std::lround(property->minimum + std::clamp(level, 0.0, 1.0) * span));
    return !check(connection_, xcb_randr_change_output_property_checked(connection_, output, property->atom,
                                                                        XCB_ATOM_INTEGER, 32, XCB_PROP_MODE_REPLACE,
                                                                        1, &value));
}

} // namespace tavelin::x11
