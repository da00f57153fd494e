#pragma once

// A service of the test's own on a bus: one object with one interface (`xml`) under a
// well-known name, answered on a thread and main loop of its own until it is destroyed.
// `method` takes each call, answered with no value; `get` and `set` are the properties'.

#include <functional>
#include <future>
#include <thread>

#include "platform/gnome/dbus_call.hpp"

namespace tavelin::testing {

class FakeDBusService {
public:
    struct Handlers {
        std::function<void(const gchar* method, GVariant* arguments)> method = {};
        std::function<GVariant*(const gchar* property)> get = {};
        std::function<void(const gchar* property, GVariant* value)> set = {};
    };

    FakeDBusService(gnome::Connection bus, const char* name, const char* path, const char* xml, Handlers handlers)
        : bus_(std::move(bus)), handlers_(std::move(handlers)) {
        std::promise<void> ready;
        thread_ = std::thread([&] {
            g_main_context_push_thread_default(context_);
            GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(xml, nullptr);
            g_dbus_connection_register_object(bus_.get(), path, node->interfaces[0], &table, this, nullptr, nullptr);
            g_dbus_node_info_unref(node);
            gnome::call(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "RequestName", g_variant_new("(su)", name, 0u), "(u)");
            ready.set_value();
            g_main_loop_run(loop_);
            g_main_context_pop_thread_default(context_);
        });
        ready.get_future().wait();
    }
    ~FakeDBusService() {
        g_main_context_invoke(context_, [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        }, loop_);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    FakeDBusService(const FakeDBusService&) = delete;
    FakeDBusService& operator=(const FakeDBusService&) = delete;

private:
    gnome::Connection bus_;
    Handlers handlers_;
    GMainContext* context_ = g_main_context_new();
    GMainLoop* loop_ = g_main_loop_new(context_, FALSE);
    std::thread thread_;
    static inline const GDBusInterfaceVTable table{
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* arguments,
           GDBusMethodInvocation* invocation, gpointer self) {
            static_cast<FakeDBusService*>(self)->handlers_.method(method, arguments);
            g_dbus_method_invocation_return_value(invocation, nullptr);
        },
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GError**, gpointer self) {
            return static_cast<FakeDBusService*>(self)->handlers_.get(property);
        },
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GVariant* value, GError**,
           gpointer self) -> gboolean {
            static_cast<FakeDBusService*>(self)->handlers_.set(property, value);
            return TRUE;
        },
        {}};
};

} // namespace tavelin::testing
