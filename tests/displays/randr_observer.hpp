#pragma once

// What a test reads from the display server on a connection of its own, so that it
// checks the server's state rather than what the services under test believe.

#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/randr_query.hpp"
#include "platform/x11/randr_virtual_display.hpp"

namespace tavelin::x11::testing {

class Observer {
public:
    RootRect framebuffer() {
        auto geometry = reply(c_.get(), xcb_get_geometry_reply, xcb_get_geometry(c_.get(), c_.root()));
        return {0, 0, geometry->width, geometry->height};
    }

    // Names of every mode the server knows.
    std::vector<std::string> modeNames() {
        auto resources = reply(c_.get(), xcb_randr_get_screen_resources_current_reply,
                               xcb_randr_get_screen_resources_current(c_.get(), c_.root()));
        std::vector<std::string> names;
        const auto* modes = xcb_randr_get_screen_resources_current_modes(resources.get());
        const auto* text = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(resources.get()));
        for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(resources.get()); ++i) {
            names.emplace_back(text, modes[i].name_len);
            text += modes[i].name_len;
        }
        return names;
    }

    std::vector<std::uint8_t> edid(xcb_randr_output_t output) {
        auto property = reply(c_.get(), xcb_randr_get_output_property_reply,
                              xcb_randr_get_output_property(c_.get(), output, c_.atom("EDID"),
                                                            XCB_GET_PROPERTY_TYPE_ANY, 0, 256, false, false));
        if (!property) return {};
        const auto* data = xcb_randr_get_output_property_data(property.get());
        return {data, data + xcb_randr_get_output_property_data_length(property.get())};
    }

    struct MonitorSeen {
        xcb_atom_t name;
        RootRect rect;
    };
    std::vector<MonitorSeen> monitors() {
        auto answer = reply(c_.get(), xcb_randr_get_monitors_reply, xcb_randr_get_monitors(c_.get(), c_.root(), true));
        std::vector<MonitorSeen> seen;
        for (auto it = xcb_randr_get_monitors_monitors_iterator(answer.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
            seen.push_back({it.data->name, {it.data->x, it.data->y, it.data->width, it.data->height}});
        }
        return seen;
    }

    std::optional<RootRect> rect(xcb_randr_output_t output) { return outputRect(c_, output); }
    std::vector<xcb_randr_output_t> lit() { return litOutputs(c_); }
    xcb_randr_output_t primary() { return primaryOutput(c_); }

    Connection c_;
};

// The services, a factory and an observer on the test program's server.
struct RandRFixture {
    asio::io_context engine;
    RandRDisplayServices services{engine.get_executor()};
    RandRVirtualDisplayFactory factory{services};
    Observer server;
};

} // namespace tavelin::x11::testing
