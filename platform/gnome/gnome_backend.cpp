#include "platform/gnome/gnome_backend.hpp"

#include <mutex>
#include <stdexcept>
#include <thread>

#include <asio/post.hpp>

#include "platform/gnome/mutter_display_services.hpp"
#include "platform/linux/colord_profiles.hpp"
#include "platform/linux/sysfs_backlight.hpp"
#include "platform/gnome/mutter_input.hpp"
#include "platform/gnome/mutter_physical_displays.hpp"
#include "platform/gnome/mutter_pointer_monitors.hpp"
#include "platform/gnome/mutter_virtual_displays.hpp"
#include "platform/gnome/settings_daemon_brightness.hpp"

namespace tavelin::gnome {

namespace {

class GnomePermissions final : public Permissions {
public:
    // RemoteDesktop and ScreenCast are there, or the backend would not be chosen.
    bool isInputTrusted() override { return true; }
    bool requestInputTrust() override { return true; }
    bool canCaptureScreen() override { return true; }
};

bool owned(GDBusConnection* bus, const char* name) {
    try {
        const Variant reply = call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "NameHasOwner", g_variant_new("(s)", name), "(b)", 2000);
        gboolean result = FALSE;
        g_variant_get(reply.get(), "(b)", &result);
        return result;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// mutter's MonitorsChanged, heard on a GLib loop of its own and passed to the engine.
class MonitorsWatch {
public:
    MonitorsWatch(Executor engine, std::function<void()> handler)
        : engine_(std::move(engine)), handler_(std::move(handler)), bus_(sessionBus()),
          context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
        thread_ = std::thread([this] {
            g_main_context_push_thread_default(context_);
            const guint subscription = g_dbus_connection_signal_subscribe(
                bus_.get(), "org.gnome.Mutter.DisplayConfig", "org.gnome.Mutter.DisplayConfig", "MonitorsChanged",
                "/org/gnome/Mutter/DisplayConfig", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, changed, this, nullptr);
            g_main_loop_run(loop_);
            g_dbus_connection_signal_unsubscribe(bus_.get(), subscription);
            g_main_context_pop_thread_default(context_);
        });
    }
    ~MonitorsWatch() {
        g_main_context_invoke(context_, [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        }, loop_);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

private:
    static void changed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                        gpointer self) {
        auto& watch = *static_cast<MonitorsWatch*>(self);
        asio::post(watch.engine_, watch.handler_);
    }

    Executor engine_;
    std::function<void()> handler_;
    Connection bus_;
    GMainContext* context_;
    GMainLoop* loop_;
    std::thread thread_;
};

} // namespace

struct GnomeBackend::Parts {
    explicit Parts(Executor engine)
        : engine(std::move(engine)), bus(sessionBus()), displays(bus.get()), virtualDisplays(displays),
          input(displays, virtualDisplays), pointerMonitors(this->engine, virtualDisplays), physical(displays), brightness(bus.get(), physical),
          profiles(colorProfiles(physical)) {}
    // GNOME's colour plug-in applies what colord holds; without colord there is no
    // profile choice on GNOME.
    static std::unique_ptr<ColorProfiles> colorProfiles(MutterPhysicalDisplays& physical) {
        auto outputs = [&physical](DisplayID display) -> std::optional<ColordOutput> {
            std::string connector = physical.connector(display);
            if (connector.empty()) return std::nullopt;
            auto edid = drmConnectorEDID(connector);
            return ColordOutput{std::move(connector), std::move(edid)};
        };
        if (auto colord = ColordProfiles::connect(std::move(outputs))) return colord;
        return std::make_unique<NoColorProfiles>();
    }
    Executor engine;
    Connection bus;
    MutterDisplayServices displays;
    MutterVirtualDisplays virtualDisplays;
    MutterInputPoster input;
    GnomePermissions permissions;
    MutterPointerMonitors pointerMonitors;
    MutterPhysicalDisplays physical;
    SettingsDaemonBrightness brightness;
    std::unique_ptr<ColorProfiles> profiles;
    std::unique_ptr<MonitorsWatch> watch;
};

bool GnomeBackend::available() {
    try {
        const Connection bus = sessionBus();
        return owned(bus.get(), "org.gnome.Mutter.DisplayConfig") && owned(bus.get(), "org.gnome.Mutter.RemoteDesktop") &&
               owned(bus.get(), "org.gnome.Mutter.ScreenCast");
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::unique_ptr<GnomeBackend> GnomeBackend::connect(Executor engine) {
    try {
        return std::unique_ptr<GnomeBackend>(new GnomeBackend(std::make_unique<Parts>(std::move(engine))));
    } catch (const std::runtime_error&) {
        throw std::runtime_error("Tavelin cannot reach GNOME's display settings on the session bus.");
    }
}

// Mutter's virtual monitors are captured through their own screen-cast streams.
GnomeBackend::GnomeBackend(std::unique_ptr<Parts> parts)
    : DesktopBackend({parts->displays, parts->virtualDisplays, parts->permissions, parts->virtualDisplays, parts->input,
                      parts->pointerMonitors, parts->physical, parts->brightness, *parts->profiles}),
      parts_(std::move(parts)) {}
GnomeBackend::~GnomeBackend() = default;

void GnomeBackend::onConfigurationChanged(std::function<void()> handler) {
    parts_->watch = std::make_unique<MonitorsWatch>(parts_->engine, std::move(handler));
}

void GnomeBackend::stopEvents() { parts_->watch.reset(); }

} // namespace tavelin::gnome
