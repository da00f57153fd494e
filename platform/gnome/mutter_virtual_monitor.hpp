#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/gnome/dbus_call.hpp"
#include "platform/gnome/monitors_state.hpp"
#include "platform/gnome/pipewire_stream.hpp"

namespace tavelin::gnome {

// The monitor mutter reads from DisplayConfig.
std::optional<MonitorsState> currentMonitors(GDBusConnection* bus);
// Puts `logical` in place; throws std::runtime_error with mutter's refusal.
void applyMonitors(GDBusConnection* bus, const MonitorsState& state, const std::vector<LogicalMonitor>& logical,
                   std::uint32_t method);

// A virtual monitor of mutter: a remote-desktop session with a screen cast of a virtual
// stream, which exists while we consume its PipeWire stream and takes the size and rate
// we ask of it. Everything ends when this object goes (or with the bus connection).
class MutterVirtualMonitor {
public:
    // Throws std::runtime_error when mutter refuses or the monitor does not appear.
    static std::unique_ptr<MutterVirtualMonitor> create(Connection bus, std::int32_t width, std::int32_t height,
                                                        std::int32_t rate);
    ~MutterVirtualMonitor();
    MutterVirtualMonitor(const MutterVirtualMonitor&) = delete;
    MutterVirtualMonitor& operator=(const MutterVirtualMonitor&) = delete;

    const std::string& connector() const { return connector_; }
    // The remote-desktop session that injects input, and the stream whose pixels its
    // absolute pointer positions are in.
    const std::string& sessionPath() const { return remoteDesktop_; }
    const std::string& streamPath() const { return stream_; }
    GDBusConnection* bus() const { return bus_.get(); }
    // Each new picture, on the PipeWire thread (see PipeWireStream::setFrameHandler).
    void setFrameHandler(PipeWireStream::FrameHandler handler, std::function<void()> onError, bool showsCursor,
                         int queueDepth);
    void showCursor(bool shown);

    // Wayland tells no client where the user's own pointer goes; the pointer's position in
    // the stream's metadata does, once our own motion is told apart. Each motion we inject
    // is noted first (stream pixels); `handler` hears every move of the pointer on this
    // display, on the PipeWire thread, with whether it was one of ours.
    void noteInjectedMotion(double x, double y);
    void setPointerHandler(std::function<void(bool injected)> handler);

    MutterVirtualMonitor(Connection bus);

private:
    void start(std::int32_t width, std::int32_t height, std::int32_t rate);
    void stop();

    Connection bus_;
    std::string remoteDesktop_; // session object paths
    std::string stream_;
    std::uint32_t node_ = 0;
    std::unique_ptr<PipeWireStream> video_;
    std::string connector_;
    std::mutex injectedLock_;
    std::deque<std::pair<double, double>> injected_; // our latest motions, oldest first
};

} // namespace tavelin::gnome
