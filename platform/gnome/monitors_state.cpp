#include "platform/gnome/monitors_state.hpp"

#include <cmath>

namespace tavelin::gnome {

namespace {

std::string text(GVariant* tuple, gsize index) {
    GVariant* child = g_variant_get_child_value(tuple, index);
    std::string result = g_variant_get_string(child, nullptr);
    g_variant_unref(child);
    return result;
}

// A boolean in an a{sv} property list; `fallback` when absent or of another type.
bool flag(GVariant* properties, const char* key, bool fallback = false) {
    gboolean value = fallback;
    return g_variant_lookup(properties, key, "b", &value) ? value != FALSE : fallback;
}

template <typename Each> void forEachChild(GVariant* container, Each each) {
    const gsize count = g_variant_n_children(container);
    for (gsize index = 0; index < count; ++index) {
        GVariant* child = g_variant_get_child_value(container, index);
        each(child);
        g_variant_unref(child);
    }
}

MonitorMode parseMode(GVariant* mode) {
    // (siiddada{sv}): id, width, height, refresh rate, preferred scale, scales, properties
    MonitorMode result;
    const gchar* id = nullptr;
    GVariant* scales = nullptr;
    GVariant* properties = nullptr;
    g_variant_get(mode, "(&siidd@ad@a{sv})", &id, &result.width, &result.height, &result.refreshRate,
                  &result.preferredScale, &scales, &properties);
    result.id = id;
    forEachChild(scales, [&](GVariant* scale) { result.scales.push_back(g_variant_get_double(scale)); });
    result.current = flag(properties, "is-current");
    result.preferred = flag(properties, "is-preferred");
    g_variant_unref(scales);
    g_variant_unref(properties);
    return result;
}

} // namespace

const MonitorMode* Monitor::currentMode() const {
    for (const auto& mode : modes) {
        if (mode.current) return &mode;
    }
    return nullptr;
}

const Monitor* MonitorsState::monitor(const std::string& connector) const {
    for (const auto& candidate : monitors) {
        if (candidate.connector == connector) return &candidate;
    }
    return nullptr;
}

const LogicalMonitor* MonitorsState::logicalMonitorOf(const std::string& connector) const {
    for (const auto& logical : logicalMonitors) {
        for (const auto& name : logical.connectors) {
            if (name == connector) return &logical;
        }
    }
    return nullptr;
}

std::optional<DisplayBounds> MonitorsState::bounds(const std::string& connector) const {
    const Monitor* found = monitor(connector);
    const LogicalMonitor* logical = logicalMonitorOf(connector);
    const MonitorMode* mode = found ? found->currentMode() : nullptr;
    if (!mode || !logical || !(logical->scale > 0)) return std::nullopt;
    // A quarter turn lays the mode on its side.
    const bool turned = logical->transform % 2 == 1;
    const double width = turned ? mode->height : mode->width, height = turned ? mode->width : mode->height;
    return DisplayBounds{static_cast<double>(logical->x), static_cast<double>(logical->y), width / logical->scale,
                         height / logical->scale};
}

std::optional<DisplayBounds> MonitorsState::globalBounds(const std::string& connector) const {
    auto result = bounds(connector);
    for (const auto& logical : logicalMonitors) {
        if (result && logical.primary) {
            result->x -= logical.x;
            result->y -= logical.y;
            break;
        }
    }
    return result;
}

std::optional<MonitorsState> parseMonitorsState(GVariant* reply) {
    if (!reply || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})"))) {
        return std::nullopt;
    }
    MonitorsState state;
    GVariant* monitors = nullptr;
    GVariant* logical = nullptr;
    GVariant* properties = nullptr;
    g_variant_get(reply, "(u@a((ssss)a(siiddada{sv})a{sv})@a(iiduba(ssss)a{sv})@a{sv})", &state.serial, &monitors,
                  &logical, &properties);
    forEachChild(monitors, [&](GVariant* entry) {
        Monitor monitor;
        GVariant* spec = g_variant_get_child_value(entry, 0); // (connector, vendor, product, serial)
        monitor.connector = text(spec, 0);
        monitor.vendor = text(spec, 1);
        monitor.product = text(spec, 2);
        monitor.serial = text(spec, 3);
        g_variant_unref(spec);
        GVariant* modes = g_variant_get_child_value(entry, 1);
        forEachChild(modes, [&](GVariant* mode) { monitor.modes.push_back(parseMode(mode)); });
        g_variant_unref(modes);
        GVariant* extra = g_variant_get_child_value(entry, 2);
        monitor.builtin = flag(extra, "is-builtin");
        const gchar* name = nullptr;
        if (g_variant_lookup(extra, "display-name", "&s", &name)) monitor.displayName = name;
        g_variant_unref(extra);
        state.monitors.push_back(std::move(monitor));
    });
    forEachChild(logical, [&](GVariant* entry) {
        LogicalMonitor result;
        gboolean primary = FALSE;
        GVariant* members = nullptr;
        GVariant* extra = nullptr;
        g_variant_get(entry, "(iidub@a(ssss)@a{sv})", &result.x, &result.y, &result.scale, &result.transform, &primary,
                      &members, &extra);
        result.primary = primary != FALSE;
        forEachChild(members, [&](GVariant* member) { result.connectors.push_back(text(member, 0)); });
        g_variant_unref(members);
        g_variant_unref(extra);
        state.logicalMonitors.push_back(std::move(result));
    });
    guint32 layout = 0;
    // 1 is logical (sizes in points), 2 physical; mutter leaves it out when it cannot change.
    state.logicalLayout = g_variant_lookup(properties, "layout-mode", "u", &layout) && layout == 1;
    g_variant_unref(monitors);
    g_variant_unref(logical);
    g_variant_unref(properties);
    return state;
}

GVariant* monitorsConfig(const MonitorsState& state, const std::vector<LogicalMonitor>& logical,
                         std::uint32_t method) {
    GVariantBuilder monitors;
    g_variant_builder_init(&monitors, G_VARIANT_TYPE("a(iiduba(ssa{sv}))"));
    for (const auto& entry : logical) {
        GVariantBuilder members;
        g_variant_builder_init(&members, G_VARIANT_TYPE("a(ssa{sv})"));
        for (const auto& connector : entry.connectors) {
            const Monitor* monitor = state.monitor(connector);
            const MonitorMode* mode = monitor ? monitor->currentMode() : nullptr;
            if (!mode) continue;
            g_variant_builder_add(&members, "(ss@a{sv})", connector.c_str(), mode->id.c_str(),
                                  g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0));
        }
        g_variant_builder_add(&monitors, "(iidub@a(ssa{sv}))", entry.x, entry.y, entry.scale, entry.transform,
                              static_cast<gboolean>(entry.primary), g_variant_builder_end(&members));
    }
    return g_variant_new("(uu@a(iiduba(ssa{sv}))@a{sv})", state.serial, method, g_variant_builder_end(&monitors),
                         g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0));
}

DisplayID displayIDOf(const std::string& connector) {
    // FNV-1a: the same connector names the same display in every run.
    std::uint32_t hash = 2166136261u;
    for (const unsigned char c : connector) hash = (hash ^ c) * 16777619u;
    return hash == nullDisplay ? 1 : hash;
}

} // namespace tavelin::gnome
