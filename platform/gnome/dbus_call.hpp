#pragma once

#include <memory>
#include <string>

#include <gio/gio.h>

namespace tavelin::gnome {

struct VariantRelease {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, VariantRelease>;
// Owns a floating or new reference.
inline Variant own(GVariant* value) { return Variant(value ? g_variant_ref_sink(value) : nullptr); }

struct ObjectRelease {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Connection = std::unique_ptr<GDBusConnection, ObjectRelease>;

// A connection of our own to the session bus: mutter's sessions belong to the connection
// that made them and end with it. Throws std::runtime_error.
Connection sessionBus();
// A connection of our own to the system bus at `address`; empty means the standard one
// ($DBUS_SYSTEM_BUS_ADDRESS when set). Throws std::runtime_error.
Connection systemBus(const std::string& address = {});

// One method call, answered before it returns; throws std::runtime_error with the bus's
// message. `arguments` may be floating; `replyType` nullptr accepts any reply.
Variant call(GDBusConnection* bus, const char* name, const char* path, const char* interface, const char* method,
             GVariant* arguments, const char* replyType, int timeoutMs = 5000);

} // namespace tavelin::gnome
