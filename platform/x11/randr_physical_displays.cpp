#include "platform/x11/randr_physical_displays.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

#include <xcb/randr.h>

#include "displays/edid.hpp"
#include "platform/x11/randr_query.hpp"

namespace tavelin::x11 {

std::vector<std::uint8_t> outputProperty(const Connection& connection, std::uint32_t output, const char* name) {
    auto atom = reply(connection.get(), xcb_intern_atom_reply,
                      xcb_intern_atom(connection.get(), 1, static_cast<std::uint16_t>(std::string_view(name).size()),
                                      name));
    if (!atom || atom->atom == XCB_NONE) return {};
    auto value = reply(connection.get(), xcb_randr_get_output_property_reply,
                       xcb_randr_get_output_property(connection.get(), output, atom->atom, XCB_GET_PROPERTY_TYPE_ANY,
                                                     0, 1 << 16, 0, 0));
    if (!value || value->format == 0) return {};
    const auto* data = xcb_randr_get_output_property_data(value.get());
    const auto length = static_cast<std::size_t>(value->num_items) * (value->format / 8);
    return {data, data + length};
}

std::string outputName(const Connection& connection, std::uint32_t output) {
    auto info = reply(connection.get(), xcb_randr_get_output_info_reply,
                      xcb_randr_get_output_info(connection.get(), output, XCB_CURRENT_TIME));
    if (!info) return {};
    const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
    return {name, name + xcb_randr_get_output_info_name_length(info.get())};
}

bool isBuiltInOutput(const Connection& connection, std::uint32_t output) {
    std::string name = outputName(connection, output);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    for (const std::string_view prefix : {"EDP", "LVDS", "DSI", "LCD"}) {
        if (name.starts_with(prefix)) return true;
    }
    // ConnectorType is an atom-typed property whose value names the connector.
    const auto type = outputProperty(connection, output, "ConnectorType");
    if (type.size() != 4) return false;
    xcb_atom_t atom = 0;
    std::copy(type.begin(), type.end(), reinterpret_cast<std::uint8_t*>(&atom));
    auto atomName = reply(connection.get(), xcb_get_atom_name_reply, xcb_get_atom_name(connection.get(), atom));
    if (!atomName) return false;
    const auto* text = xcb_get_atom_name_name(atomName.get());
    return std::string_view(text, static_cast<std::size_t>(xcb_get_atom_name_name_length(atomName.get()))) == "Panel";
}

std::string RandRPhysicalDisplays::name(DisplayID display) {
    if (const auto edid = displays::readEDID(outputProperty(connection_, display, "EDID")); edid && !edid->name.empty()) {
        return edid->name;
    }
    return outputName(connection_, display);
}

bool RandRPhysicalDisplays::isBuiltIn(DisplayID display) { return isBuiltInOutput(connection_, display); }

DisplayIdentity RandRPhysicalDisplays::identity(DisplayID display) {
    const auto edid = displays::readEDID(outputProperty(connection_, display, "EDID"));
    if (!edid) return {};
    return {edid->vendor, edid->model, edid->serial};
}

bool RandRPhysicalDisplays::isUsableForDesktop(DisplayID, const DisplayMode& mode) {
    // A desktop needs room for its panels and windows; an interlaced mode flickers on text.
    if (mode.pixelWidth < 640 || mode.pixelHeight < 480) return false;
    const auto resources = screenResources(connection_);
    if (!resources) return true;
    const auto* infos = xcb_randr_get_screen_resources_current_modes(resources.get());
    const int count = xcb_randr_get_screen_resources_current_modes_length(resources.get());
    for (int i = 0; i < count; ++i) {
        if (infos[i].id == mode.id) return (infos[i].mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) == 0;
    }
    return true;
}

} // namespace tavelin::x11
