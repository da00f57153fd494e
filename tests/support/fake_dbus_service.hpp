#pragma once

// A service of the test's own on a bus: one object with one interface (`xml`), answered
// by `table` on a thread and main loop of its own, under a well-known name, until it is
// destroyed.

#include <future>
#include <string>
#include <thread>

#include "platform/gnome/dbus_call.hpp"

namespace tavelin::testing {

class FakeDBusService {
public:
    FakeDBusService(gnome::Connection bus, const char* name, const char* path, const char* xml,
                    const GDBusInterfaceVTable& table, void* self)
        : bus_(std::move(bus)) {
        std::promise<void> ready;
        thread_ = std::thread([&] {
            g_main_context_push_thread_default(context_);
            GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(xml, nullptr);
            g_dbus_connection_register_object(bus_.get(), path, node->interfaces[0], &table, self, nullptr, nullptr);
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
    GMainContext* context_ = g_main_context_new();
    GMainLoop* loop_ = g_main_loop_new(context_, FALSE);
    std::thread thread_;
};

} // namespace tavelin::testing
