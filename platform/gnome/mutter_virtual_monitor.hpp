#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <gst/gst.h>

#include "platform/gnome/dbus_call.hpp"
#include "platform/gnome/monitors_state.hpp"

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
    // The size of the next picture mutter sends, or nothing within `wait`; only while no
    // frame handler takes them.
    std::optional<std::pair<std::int32_t, std::int32_t>> nextFrame(std::chrono::milliseconds wait);
    // Each new picture, on a streaming thread of GStreamer; an empty handler stops them.
    // Returns once no call of the previous handler runs any more.
    void setFrameHandler(std::function<void(GstSample*)> handler);

    MutterVirtualMonitor(Connection bus);

private:
    void start(std::int32_t width, std::int32_t height, std::int32_t rate);
    void stop();

    Connection bus_;
    std::string remoteDesktop_; // session object paths
    std::string stream_;
    std::uint32_t node_ = 0;
    GstElement* pipeline_ = nullptr;
    GstElement* sink_ = nullptr;
    std::string connector_;
    std::mutex handlerLock_;
    std::function<void(GstSample*)> handler_;
};

} // namespace tavelin::gnome
