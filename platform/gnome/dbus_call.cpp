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


Connection busAt(const std::string& address, const char* what) {
    GError* error = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus) fail(error, std::string("could not connect to the ") + what);
    // Our process, not the bus, decides when we end.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return Connection(bus);
}

Connection standardBus(GBusType type, const char* what) {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(type, nullptr, &error);
    if (!address) fail(error, std::string("no ") + what);
    const std::string text = address;
    g_free(address);
    return busAt(text, what);
}

} // namespace

Connection sessionBus() { return standardBus(G_BUS_TYPE_SESSION, "session bus"); }

Connection systemBus(const std::string& address) {
    return address.empty() ? standardBus(G_BUS_TYPE_SYSTEM, "system bus") : busAt(address, "system bus");
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
