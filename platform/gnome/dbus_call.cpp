#include "platform/gnome/dbus_call.hpp"

#include <stdexcept>
#include <string>

namespace tavelin::gnome {

namespace {

[[noreturn]] void fail(GError* error, const std::string& what) {
    std::string message = what + ": " + (error ? error->message : "no answer");
    if (error) g_error_free(error);
    throw std::runtime_error(message);
}

} // namespace

Connection sessionBus() {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!address) fail(error, "no session bus");
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    if (!bus) fail(error, "could not connect to the session bus");
    // Our process, not the bus, decides when we end.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return Connection(bus);
}

Variant call(GDBusConnection* bus, const char* name, const char* path, const char* interface, const char* method,
             GVariant* arguments, const char* replyType, int timeoutMs) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, name, path, interface, method, arguments,
                                                  replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
    if (!reply) fail(error, std::string(interface) + "." + method);
    return Variant(reply);
}

} // namespace tavelin::gnome
