#include "platform/x11/randr_query.hpp"

#include <algorithm>

namespace tavelin::x11 {

ScreenResources screenResources(const Connection& connection) {
    return reply(connection.get(), xcb_randr_get_screen_resources_current_reply,
                 xcb_randr_get_screen_resources_current(connection.get(), connection.root()));
}

void requireRandR(const Connection& connection) {
    if (!connection.hasExtension(&xcb_randr_id)) throw XError("The display server does not support RandR.");
    auto version = reply(connection.get(), xcb_randr_query_version_reply,
                         xcb_randr_query_version(connection.get(), 1, 5));
    if (!version || version->major_version < 1 || (version->major_version == 1 && version->minor_version < 5))
        throw XError("The display server needs RandR 1.5 or later.");
}

std::optional<RootRect> outputRect(const Connection& connection, xcb_randr_output_t output) {
    if (output == XCB_NONE) return std::nullopt;
    auto info = reply(connection.get(), xcb_randr_get_output_info_reply,
                      xcb_randr_get_output_info(connection.get(), output, XCB_CURRENT_TIME));
    if (!info || info->crtc == XCB_NONE) return std::nullopt;
    auto crtc = reply(connection.get(), xcb_randr_get_crtc_info_reply,
                      xcb_randr_get_crtc_info(connection.get(), info->crtc, XCB_CURRENT_TIME));
    if (!crtc || crtc->mode == XCB_NONE) return std::nullopt;
    // The CRTC reply already gives the rotated size on the root window.
    return RootRect{crtc->x, crtc->y, crtc->width, crtc->height};
}

std::vector<std::pair<xcb_atom_t, RootRect>> outputlessMonitors(const Connection& connection) {
    std::vector<std::pair<xcb_atom_t, RootRect>> found;
    auto monitors = reply(connection.get(), xcb_randr_get_monitors_reply,
                          xcb_randr_get_monitors(connection.get(), connection.root(), 1));
    if (!monitors) return found;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
        if (it.data->nOutput == 0 && it.data->width > 0 && it.data->height > 0)
            found.emplace_back(it.data->name, RootRect{it.data->x, it.data->y, it.data->width, it.data->height});
    }
    return found;
}

std::optional<RootRect> displayRect(const Connection& connection, std::uint32_t display) {
    if (auto rect = outputRect(connection, display)) return rect;
    for (const auto& [name, rect] : outputlessMonitors(connection)) {
        if (name == display) return rect;
    }
    return std::nullopt;
}

std::vector<LitOutput> litOutputRects(const Connection& connection) {
    std::vector<LitOutput> lit;
    auto resources = reply(connection.get(), xcb_randr_get_screen_resources_current_reply,
                           xcb_randr_get_screen_resources_current(connection.get(), connection.root()));
    if (!resources) return lit;
    const auto* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
    const int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(resources.get());
    std::vector<xcb_randr_get_crtc_info_cookie_t> cookies;
    for (int i = 0; i < crtcCount; ++i)
        cookies.push_back(xcb_randr_get_crtc_info(connection.get(), crtcs[i], resources->config_timestamp));
    std::vector<LitOutput> driven;
    for (int i = 0; i < crtcCount; ++i) {
        auto crtc = reply(connection.get(), xcb_randr_get_crtc_info_reply, cookies[static_cast<std::size_t>(i)]);
        if (!crtc || crtc->mode == XCB_NONE) continue;
        // The CRTC reply already gives the rotated size on the root window.
        const RootRect rect{crtc->x, crtc->y, crtc->width, crtc->height};
        const auto* outputs = xcb_randr_get_crtc_info_outputs(crtc.get());
        for (int o = 0; o < xcb_randr_get_crtc_info_outputs_length(crtc.get()); ++o)
            driven.push_back({outputs[o], crtcs[i], rect});
    }
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
    const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    for (int i = 0; i < outputCount; ++i) {
        const auto found = std::ranges::find(driven, outputs[i], &LitOutput::output);
        if (found != driven.end()) lit.push_back(*found);
    }
    return lit;
}

std::vector<xcb_randr_output_t> litOutputs(const Connection& connection) {
    std::vector<xcb_randr_output_t> lit;
    for (const auto& entry : litOutputRects(connection)) lit.push_back(entry.output);
    return lit;
}

xcb_randr_output_t primaryOutput(const Connection& connection) {
    auto primary = reply(connection.get(), xcb_randr_get_output_primary_reply,
                         xcb_randr_get_output_primary(connection.get(), connection.root()));
    if (primary && primary->output != XCB_NONE && outputRect(connection, primary->output)) return primary->output;
    const auto lit = litOutputs(connection);
    return lit.empty() ? xcb_randr_output_t{XCB_NONE} : lit.front();
}

RootRect primaryRect(const Connection& connection) {
    return outputRect(connection, primaryOutput(connection)).value_or(RootRect{});
}

} // namespace tavelin::x11
