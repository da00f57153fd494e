#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <xcb/randr.h>

#include "engine/task.hpp"
#include "platform/display_services.hpp"
#include "platform/x11/randr_query.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

class EventPump;

// The display services on X11 RandR. A display is a RandR output (its XID), or a RandR
// monitor that Tavelin made over a part of the framebuffer (its name atom). Global
// coordinates put the primary output's top-left corner at (0, 0); the root window keeps
// everything at non-negative coordinates, so both directions are translated here.
//
// X11 knows no mirroring state. A display mirrors M when its top-left corner is M's on
// the root and M is the primary or comes before it (lit outputs in server order, then
// Tavelin monitors). Mirroring in a transaction moves the display to its master's origin.
//
// Nor can X11 scale a desktop: a HiDPI virtual display keeps its full-size mode, which is
// reported here with points = pixels / 2 for the outputs the factory registered.
//
// Every mouse packet asks for the active displays and a display's bounds, so once someone
// listens for changes the lit outputs are kept between the RandR notifies that could
// change them. Like the other calls, that state and the handler that drops it run on the
// engine only.
class RandRDisplayServices final : public DisplayServices {
public:
    // A virtual display without an output: a RandR monitor over a framebuffer region.
    struct Monitor {
        RootRect rect;
        double refreshRate = 0;
        bool hiDPI = false;
    };

    // Throws XError when the server cannot be reached or lacks RandR 1.5. `displayName`
    // empty means $DISPLAY. Change notifications run on `engine`.
    explicit RandRDisplayServices(Executor engine, const std::string& displayName = {});
    ~RandRDisplayServices() override;
    RandRDisplayServices(const RandRDisplayServices&) = delete;
    RandRDisplayServices& operator=(const RandRDisplayServices&) = delete;

    // Called on the engine after the screen, a CRTC or an output changed. Set it once.
    void onConfigurationChanged(std::function<void()> handler);
    // Called on the engine once the event connection breaks; needs a configuration handler.
    void onConnectionLost(std::function<void()> handler);
    // For the owners of other connections to the same server: called from any thread when
    // theirs broke, it has onConnectionLost's handler tell a server that is gone, and
    // calls `report` (on the engine) only when this connection holds.
    std::function<void(std::function<void()> report)> connectionCheck() const;
    // Lets go of the event connection's watch on the engine; for a shutdown that ends the
    // engine before this object.
    void stopEvents();

    std::vector<DisplayMode> modes(DisplayID display) override;
    std::optional<DisplayMode> currentMode(DisplayID display) override;
    DisplayError setMode(DisplayID display, const DisplayMode& mode) override;
    bool isOnline(DisplayID display) override;
    DisplayBounds bounds(DisplayID display) override;
    DisplayID mainDisplay() override;
    DisplayID mirrorsDisplay(DisplayID display) override;
    std::optional<std::vector<DisplayID>> activeDisplays() override;
    std::unique_ptr<DisplayConfigurationTransaction> beginConfiguration() override;

    // -- For the virtual display factory, which shares this connection.
    Connection& connection() { return connection_; }
    // Whoever moves or switches a CRTC, or the primary mark, through connection() calls
    // this after: the notify for it reaches the event connection only later.
    void layoutChanged() { layout_.reset(); }
    // An output a live virtual display uses; hiDPIWidth/Height name its full-size mode
    // when it is HiDPI (0 otherwise).
    void registerOutput(xcb_randr_output_t output, std::int64_t hiDPIWidth = 0, std::int64_t hiDPIHeight = 0);
    void forgetOutput(xcb_randr_output_t output);
    bool isVirtualOutput(xcb_randr_output_t output) const { return outputs_.contains(output); }
    void registerMonitor(xcb_atom_t name, const Monitor& monitor) { monitors_[name] = monitor; }
    void forgetMonitor(xcb_atom_t name) { monitors_.erase(name); }
    const std::map<xcb_atom_t, Monitor>& monitors() const { return monitors_; }
    // Modes Tavelin created are shared between its displays and destroyed with the last.
    void retainMode(xcb_randr_mode_t mode) { ++createdModes_[mode]; }
    bool isCreatedMode(xcb_randr_mode_t mode) const { return createdModes_.contains(mode); }
    // True when this was the last user: the caller destroys the mode.
    bool releaseMode(xcb_randr_mode_t mode);

    // Where a new display goes: right of everything lit, top aligned with the primary.
    RootRect placeAtRight(std::int32_t width, std::int32_t height);
    // The bounding box from the root origin of every lit CRTC and Tavelin monitor.
    RootRect litExtent();
    // The framebuffer's current size.
    RootRect framebuffer();
    // Sets the framebuffer size at 96 dpi; false when the server refuses.
    bool resizeFramebuffer(std::int32_t width, std::int32_t height);
    // Grows the framebuffer to hold `rect`; false when the server refuses.
    bool growFramebuffer(const RootRect& rect);
    // Shrinks the framebuffer to what stays lit (never below the server's minimum).
    void shrinkFramebuffer();
    // After a display went: moves what stays lit back to the root origin, keeps the
    // primary mark on a lit output and shrinks the framebuffer to fit.
    void settle();
    // Sets the monitor's geometry on the server; false when refused.
    bool applyMonitor(xcb_atom_t name, const Monitor& monitor);

private:
    struct Display {
        DisplayID id = nullDisplay;
        RootRect rect;
        bool monitor = false;
        xcb_randr_crtc_t crtc = XCB_NONE;
    };
    // Lit outputs (primary first, then in server order) and Tavelin monitors.
    std::vector<Display> litDisplays();
    // Lit outputs as litDisplays() reads them from the server.
    std::vector<Display> litOutputDisplays();
    // The same, kept while the event connection reports every change.
    const std::vector<Display>& layout();
    DisplayMode monitorMode(const Monitor& monitor) const;
    DisplayMode outputMode(xcb_randr_output_t output, const xcb_randr_mode_info_t& info) const;

    Connection connection_;
    std::shared_ptr<EventPump> pump_;
    std::function<void()> changed_;
    bool listening_ = false;
    std::optional<std::vector<Display>> layout_;
    // Output → HiDPI full size (0 × 0 when not HiDPI).
    std::map<xcb_randr_output_t, std::pair<std::int64_t, std::int64_t>> outputs_;
    std::map<xcb_atom_t, Monitor> monitors_;
    std::map<xcb_randr_mode_t, int> createdModes_;

    friend class RandRConfigurationTransaction;
};

} // namespace tavelin::x11
