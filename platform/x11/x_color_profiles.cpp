#include "platform/x11/x_color_profiles.hpp"

#include <algorithm>
#include <system_error>

#include <xcb/randr.h>

#include "platform/x11/randr_query.hpp"

namespace tavelin::x11 {

namespace fs = std::filesystem;

namespace {

constexpr const char* kProfileProperty = "_ICC_PROFILE";
constexpr const char* kVersionProperty = "_ICC_PROFILE_IN_X_VERSION";
// Version 0.4 of the convention, written as major * 100 + minor.
constexpr std::uint32_t kConventionVersion = 0 * 100 + 4;
// Property reads are counted in 32-bit units; profiles are far below 64 MiB.
constexpr std::uint32_t kLongestProperty = 1u << 24;

// The CRTC of a connected output; XCB_NONE when the output is off or unplugged.
xcb_randr_crtc_t connectedCrtc(const Connection& connection, std::uint32_t output) {
    auto info = reply(connection.get(), xcb_randr_get_output_info_reply,
                      xcb_randr_get_output_info(connection.get(), output, XCB_CURRENT_TIME));
    if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED) return XCB_NONE;
    return info->crtc;
}

std::vector<std::uint8_t> outputProfile(const Connection& connection, std::uint32_t output) {
    const xcb_atom_t atom = connection.atom(kProfileProperty, true);
    if (atom == XCB_NONE) return {};
    auto value = reply(connection.get(), xcb_randr_get_output_property_reply,
                       xcb_randr_get_output_property(connection.get(), output, atom, XCB_GET_PROPERTY_TYPE_ANY, 0,
                                                     kLongestProperty, 0, 0));
    if (!value || value->format != 8) return {};
    const auto* data = xcb_randr_get_output_property_data(value.get());
    return {data, data + value->num_items};
}

bool loadRamps(const Connection& connection, xcb_randr_crtc_t crtc, std::span<const std::uint8_t> profile) {
    auto size = reply(connection.get(), xcb_randr_get_crtc_gamma_size_reply,
                      xcb_randr_get_crtc_gamma_size(connection.get(), crtc));
    if (!size || size->size == 0) return false;
    const auto ramps = (profile.empty() ? std::nullopt : calibrationRamps(profile, size->size))
                           .value_or(linearRamps(size->size));
    return !check(connection.get(), xcb_randr_set_crtc_gamma_checked(connection.get(), crtc, size->size,
                                                                     ramps[0].data(), ramps[1].data(),
                                                                     ramps[2].data()));
}

} // namespace

std::optional<std::size_t> iccMonitorIndex(const Connection& connection, std::uint32_t output) {
    std::vector<xcb_randr_output_t> order = litOutputs(connection);
    const xcb_randr_output_t primary = primaryOutput(connection);
    if (const auto it = std::find(order.begin(), order.end(), primary); it != order.end()) {
        std::rotate(order.begin(), it, it + 1);
    }
    const auto it = std::find(order.begin(), order.end(), output);
    if (it == order.end()) return std::nullopt;
    return static_cast<std::size_t>(it - order.begin());
}

std::string iccRootPropertyName(std::size_t monitor) {
    return monitor == 0 ? std::string(kProfileProperty) : std::string(kProfileProperty) + "_" + std::to_string(monitor);
}

std::vector<ColorProfileFile> XColorProfiles::available() { return listDisplayProfiles(folders_); }

std::optional<std::optional<ColorProfileFile>> XColorProfiles::current(DisplayID display) {
    if (connectedCrtc(connection_, display) == XCB_NONE) return std::nullopt;
    const auto bytes = outputProfile(connection_, display);
    if (bytes.empty()) return std::optional<ColorProfileFile>();
    // The profile we set ourselves is known without reading every installed one again,
    // which every change of the configuration would otherwise do.
    if (const auto ours = assigned_.find(display); ours != assigned_.end() && ours->second.bytes == bytes) {
        return std::optional<ColorProfileFile>(ours->second.profile);
    }
    for (const auto& listed : available()) {
        std::error_code error;
        if (fs::file_size(listed.file, error) == bytes.size() && !error && readFileBytes(listed.file) == bytes) {
            return std::optional<ColorProfileFile>(listed);
        }
    }
    return std::optional<ColorProfileFile>(ColorProfileFile{profileDescription(bytes), {}});
}

bool XColorProfiles::assign(DisplayID display, const std::optional<fs::path>& file) {
    const xcb_randr_crtc_t crtc = connectedCrtc(connection_, display);
    if (crtc == XCB_NONE) return false;
    const auto monitor = iccMonitorIndex(connection_, display);
    if (!monitor) return false;
    const std::vector<std::uint8_t> bytes = file ? readFileBytes(*file) : std::vector<std::uint8_t>();
    if (file && !isDisplayProfile(bytes)) return false;

    xcb_connection_t* c = connection_.get();
    const xcb_atom_t profileAtom = connection_.atom(kProfileProperty);
    const xcb_atom_t rootAtom = connection_.atom(iccRootPropertyName(*monitor));
    const auto count = static_cast<std::uint32_t>(bytes.size());
    std::vector<xcb_void_cookie_t> requests;
    if (file) {
        requests.push_back(xcb_randr_change_output_property_checked(c, display, profileAtom, XCB_ATOM_CARDINAL, 8,
                                                                    XCB_PROP_MODE_REPLACE, count, bytes.data()));
        requests.push_back(xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, connection_.root(), rootAtom,
                                                       XCB_ATOM_CARDINAL, 8, count, bytes.data()));
        requests.push_back(xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, connection_.root(),
                                                       connection_.atom(kVersionProperty), XCB_ATOM_CARDINAL, 32, 1,
                                                       &kConventionVersion));
    } else {
        // RandR answers BadName for a property that is not there: nothing to undo then.
        check(c, xcb_randr_delete_output_property_checked(c, display, profileAtom));
        requests.push_back(xcb_delete_property_checked(c, connection_.root(), rootAtom));
    }
    bool ok = true;
    for (const auto cookie : requests) ok = !check(c, cookie) && ok;
    assigned_.erase(display);
    if (file && ok) {
        if (auto profile = readDisplayProfile(*file)) assigned_.emplace(display, Assigned{std::move(*profile), bytes});
    }
    // A profile without calibration curves wants the display uncalibrated.
    return loadRamps(connection_, crtc, bytes) && ok;
}

} // namespace tavelin::x11
