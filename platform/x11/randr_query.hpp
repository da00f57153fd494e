#pragma once

// Small RandR lookups that the display services, capture and input all need.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <xcb/randr.h>

#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

// A rectangle in root-window coordinates (never negative on X11).
struct RootRect {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    friend bool operator==(const RootRect&, const RootRect&) = default;
};

using ScreenResources = Reply<xcb_randr_get_screen_resources_current_reply_t>;
ScreenResources screenResources(const Connection& connection);

// Holds the server for one configuration change, so that clients see only its result.
class ServerGrab {
public:
    explicit ServerGrab(Connection& connection) : connection_(connection) { xcb_grab_server(connection_); }
    ~ServerGrab() {
        xcb_ungrab_server(connection_);
        xcb_flush(connection_);
    }
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;

private:
    Connection& connection_;
};

// Throws XError when the server has no RandR 1.5.
void requireRandR(const Connection& connection);

// The RandR primary output, or the first output that shows a picture when none is
// marked primary; XCB_NONE when nothing is lit.
xcb_randr_output_t primaryOutput(const Connection& connection);

// Where the output's picture lies on the root window: its CRTC's geometry, with width
// and height swapped for a quarter turn. Nothing when the output is off or unknown.
std::optional<RootRect> outputRect(const Connection& connection, xcb_randr_output_t output);

// Where a display lies on the root: an output's picture, or a RandR monitor declared
// without outputs (a display made where no output was free; its ID is the name atom).
std::optional<RootRect> displayRect(const Connection& connection, std::uint32_t display);

// Monitors declared without outputs, with their name atoms.
std::vector<std::pair<xcb_atom_t, RootRect>> outputlessMonitors(const Connection& connection);

// An output that shows a picture, with the CRTC that drives it.
struct LitOutput {
    xcb_randr_output_t output = XCB_NONE;
    xcb_randr_crtc_t crtc = XCB_NONE;
    RootRect rect;
};

// Outputs that show a picture now, in the server's order. Two round trips, whatever the
// number of outputs: the CRTC requests are sent together before any answer is read.
std::vector<LitOutput> litOutputRects(const Connection& connection);
std::vector<xcb_randr_output_t> litOutputs(const Connection& connection);

// The root position of the primary output's top-left corner: global display
// coordinates (primary at 0, 0) are root coordinates minus this.
RootRect primaryRect(const Connection& connection);

} // namespace tavelin::x11
