#include "platform/gnome/mutter_virtual_monitor.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/log.hpp"

namespace tavelin::gnome {

namespace {

constexpr const char* mutterRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* mutterScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* mutterDisplayConfig = "org.gnome.Mutter.DisplayConfig";

std::string objectPath(const Variant& reply) {
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return path;
}

void nodeAdded(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
               gpointer node) {
    g_variant_get(parameters, "(u)", static_cast<std::uint32_t*>(node));
}

} // namespace

std::optional<MonitorsState> currentMonitors(GDBusConnection* bus) {
    const Variant reply = call(bus, mutterDisplayConfig, "/org/gnome/Mutter/DisplayConfig", mutterDisplayConfig,
                               "GetCurrentState", nullptr, nullptr);
    return parseMonitorsState(reply.get());
}

void applyMonitors(GDBusConnection* bus, const MonitorsState& state, const std::vector<LogicalMonitor>& logical,
                   std::uint32_t method) {
    call(bus, mutterDisplayConfig, "/org/gnome/Mutter/DisplayConfig", mutterDisplayConfig, "ApplyMonitorsConfig",
         monitorsConfig(state, logical, method), "()");
}

MutterVirtualMonitor::MutterVirtualMonitor(Connection bus) : bus_(std::move(bus)) {}

std::unique_ptr<MutterVirtualMonitor> MutterVirtualMonitor::create(Connection bus, std::int32_t width,
                                                                   std::int32_t height, std::int32_t rate) {
    auto monitor = std::make_unique<MutterVirtualMonitor>(std::move(bus));
    try {
        monitor->start(width, height, rate);
    } catch (...) {
        monitor->stop();
        throw;
    }
    return monitor;
}

MutterVirtualMonitor::~MutterVirtualMonitor() { stop(); }

void MutterVirtualMonitor::start(std::int32_t width, std::int32_t height, std::int32_t rate) {
    GDBusConnection* bus = bus_.get();
    const auto before = currentMonitors(bus);
    if (!before) throw std::runtime_error("The display server's monitors could not be read.");

    remoteDesktop_ = objectPath(call(bus, mutterRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", mutterRemoteDesktop,
                                     "CreateSession", nullptr, "(o)"));
    const Variant id = call(bus, mutterRemoteDesktop, remoteDesktop_.c_str(), "org.freedesktop.DBus.Properties", "Get",
                            g_variant_new("(ss)", "org.gnome.Mutter.RemoteDesktop.Session", "SessionId"), "(v)");
    GVariant* sessionID = nullptr;
    g_variant_get(id.get(), "(v)", &sessionID);
    const Variant ownedID(sessionID);

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id", g_variant_ref(sessionID));
    const std::string screenCast = objectPath(call(bus, mutterScreenCast, "/org/gnome/Mutter/ScreenCast",
                                                   mutterScreenCast, "CreateSession",
                                                   g_variant_new("(a{sv})", &options), "(o)"));
    // The cursor comes as metadata, so that the pointer policy decides whether it is drawn.
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "cursor-mode", g_variant_new_uint32(2));
    g_variant_builder_add(&options, "{sv}", "is-platform", g_variant_new_boolean(TRUE));
    stream_ = objectPath(call(bus, mutterScreenCast, screenCast.c_str(), "org.gnome.Mutter.ScreenCast.Session",
                              "RecordVirtual", g_variant_new("(a{sv})", &options), "(o)"));

    // The stream names its PipeWire node once the session starts; the signal comes to the
    // context that subscribed, which we run here until it does.
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus, mutterScreenCast, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded", stream_.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, nodeAdded, &node_, nullptr);
    try {
        call(bus, mutterRemoteDesktop, remoteDesktop_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session", "Start",
             nullptr, "()");
    } catch (...) {
        g_dbus_connection_signal_unsubscribe(bus, subscription);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
        throw;
    }
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         node_ == 0 && std::chrono::steady_clock::now() < end;) {
        if (!g_main_context_iteration(context, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    g_dbus_connection_signal_unsubscribe(bus, subscription);
    while (g_main_context_iteration(context, FALSE)) {}
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    if (node_ == 0) throw std::runtime_error("The display server did not start the display's video.");
    log::info("The display's video is PipeWire node ", node_);

    video_ = std::make_unique<PipeWireStream>(node_, width, height, rate);
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         connector_.empty() && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        const auto now = currentMonitors(bus);
        for (const auto& monitor : now ? now->monitors : std::vector<Monitor>{}) {
            if (!before->monitor(monitor.connector)) connector_ = monitor.connector;
        }
    }
    if (connector_.empty()) throw std::runtime_error("The display server did not show the new display.");
}

void MutterVirtualMonitor::setFrameHandler(PipeWireStream::FrameHandler handler, std::function<void()> onError,
                                           bool showsCursor, int queueDepth) {
    if (video_) video_->setFrameHandler(std::move(handler), std::move(onError), showsCursor, queueDepth);
}

void MutterVirtualMonitor::showCursor(bool shown) {
    if (video_) video_->showCursor(shown);
}

void MutterVirtualMonitor::noteInjectedMotion(double x, double y) {
    std::lock_guard lock(injectedLock_);
    injected_.emplace_back(x, y);
    // Enough for the motions still on their way while mutter catches up.
    if (injected_.size() > 32) injected_.pop_front();
}

void MutterVirtualMonitor::setPointerHandler(std::function<void(bool injected)> handler) {
    if (!video_) return;
    if (!handler) {
        video_->setPointerHandler(nullptr);
        return;
    }
    video_->setPointerHandler([this, handler = std::move(handler)](std::int32_t x, std::int32_t y) {
        bool ours = false;
        {
            std::lock_guard lock(injectedLock_);
            // mutter reports whole pixels of the position we asked for. A match also
            // forgets the motions before it, which the pointer has passed.
            const auto match = std::find_if(injected_.rbegin(), injected_.rend(), [&](const auto& at) {
                return std::abs(at.first - x) <= 1 && std::abs(at.second - y) <= 1;
            });
            ours = match != injected_.rend();
            if (ours) injected_.erase(injected_.begin(), match.base() - 1);
        }
        handler(ours);
    });
}

void MutterVirtualMonitor::stop() {
    video_.reset();
    if (!remoteDesktop_.empty() && bus_) {
        try {
            call(bus_.get(), mutterRemoteDesktop, remoteDesktop_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
                 "Stop", nullptr, nullptr, 2000);
        } catch (const std::exception&) {
            // Already gone: mutter ends a session whose stream closed.
        }
        remoteDesktop_.clear();
    }
}

} // namespace tavelin::gnome
