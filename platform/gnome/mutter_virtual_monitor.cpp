#include "platform/gnome/mutter_virtual_monitor.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gst/app/gstappsink.h>

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

    // The monitor takes the size and rate we negotiate; BGRx or BGRA as the capture expects.
    // A virtual stream has no fixed rate (0/1): a picture comes when it changes, at most
    // max-framerate a second.
    static std::once_flag initialised;
    std::call_once(initialised, [] { gst_init(nullptr, nullptr); });
    const std::string description = "pipewiresrc path=" + std::to_string(node_) +
                                    " always-copy=true ! video/x-raw,format={BGRx,BGRA},width=" + std::to_string(width) +
                                    ",height=" + std::to_string(height) + ",framerate=0/1,max-framerate=" +
                                    std::to_string(rate) + "/1 ! appsink name=frames max-buffers=1 drop=true sync=false";
    GError* error = nullptr;
    pipeline_ = gst_parse_launch(description.c_str(), &error);
    if (error) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("Could not read the display's video: " + message);
    }
    gst_object_ref_sink(pipeline_);
    sink_ = gst_bin_get_by_name(GST_BIN(pipeline_), "frames");
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        throw std::runtime_error("Could not read the display's video.");
    }
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

std::optional<std::pair<std::int32_t, std::int32_t>> MutterVirtualMonitor::nextFrame(std::chrono::milliseconds wait) {
    if (!sink_) return std::nullopt;
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), static_cast<GstClockTime>(wait.count()) * GST_MSECOND);
    if (!sample) return std::nullopt;
    std::optional<std::pair<std::int32_t, std::int32_t>> size;
    if (GstCaps* caps = gst_sample_get_caps(sample)) {
        gint width = 0, height = 0;
        const GstStructure* structure = gst_caps_get_structure(caps, 0);
        if (gst_structure_get_int(structure, "width", &width) && gst_structure_get_int(structure, "height", &height)) {
            size = std::pair{width, height};
        }
    }
    gst_sample_unref(sample);
    return size;
}

void MutterVirtualMonitor::setFrameHandler(std::function<void(GstSample*)> handler) {
    if (!sink_) return;
    const bool wanted = static_cast<bool>(handler);
    {
        std::lock_guard lock(handlerLock_);
        handler_ = std::move(handler);
    }
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* sink, gpointer self) {
        auto& monitor = *static_cast<MutterVirtualMonitor*>(self);
        GstSample* sample = gst_app_sink_pull_sample(sink);
        if (!sample) return GST_FLOW_OK;
        {
            std::lock_guard lock(monitor.handlerLock_);
            if (monitor.handler_) monitor.handler_(sample);
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    };
    if (!wanted) return;
    // A still display sends nothing new: its last picture, kept by the sink, comes first.
    if (GstSample* queued = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), 0)) {
        std::lock_guard lock(handlerLock_);
        if (handler_) handler_(queued);
        gst_sample_unref(queued);
    }
    gst_app_sink_set_callbacks(GST_APP_SINK(sink_), &callbacks, this, nullptr);
}

void MutterVirtualMonitor::stop() {
    {
        std::lock_guard lock(handlerLock_);
        handler_ = nullptr;
    }
    if (pipeline_) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        if (sink_) gst_object_unref(sink_);
        gst_object_unref(pipeline_);
        pipeline_ = sink_ = nullptr;
    }
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
