#include "platform/linux/colord_profiles.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include <gio/gunixfdlist.h>

namespace tavelin {

namespace fs = std::filesystem;
using gnome::Variant;

namespace {

constexpr const char* kService = "org.freedesktop.ColorManager";
constexpr const char* kManagerPath = "/org/freedesktop/ColorManager";
constexpr const char* kManager = "org.freedesktop.ColorManager";
constexpr const char* kDevice = "org.freedesktop.ColorManager.Device";
constexpr const char* kProfile = "org.freedesktop.ColorManager.Profile";

Variant call(GDBusConnection* bus, const std::string& path, const char* interface, const char* method,
             GVariant* arguments, const char* replyType = nullptr) {
    return gnome::call(bus, kService, path.c_str(), interface, method, arguments, replyType);
}

std::string objectPath(const Variant& reply) {
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return path;
}

Variant property(GDBusConnection* bus, const std::string& path, const char* interface, const char* name) {
    const Variant reply = call(bus, path, "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", interface, name), "(v)");
    GVariant* value = nullptr;
    g_variant_get(reply.get(), "(v)", &value);
    return Variant(value);
}

std::string stringProperty(GDBusConnection* bus, const std::string& path, const char* interface, const char* name) {
    const Variant value = property(bus, path, interface, name);
    return g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING) ? g_variant_get_string(value.get(), nullptr) : "";
}

std::vector<std::string> deviceProfiles(GDBusConnection* bus, const std::string& device) {
    const Variant value = property(bus, device, kDevice, "Profiles");
    std::vector<std::string> paths;
    GVariantIter iterator;
    g_variant_iter_init(&iterator, value.get());
    const gchar* path = nullptr;
    while (g_variant_iter_next(&iterator, "&o", &path)) paths.emplace_back(path);
    return paths;
}

// colord marks the profile it generated from the monitor's EDID with DATA_source=edid.
bool isEDIDProfile(GDBusConnection* bus, const std::string& profile) {
    const Variant metadata = property(bus, profile, kProfile, "Metadata");
    const gchar* source = nullptr;
    return g_variant_lookup(metadata.get(), "DATA_source", "&s", &source) && std::string_view(source) == "edid";
}

std::optional<std::string> tryPath(GDBusConnection* bus, const char* method, GVariant* arguments) {
    const Variant owned = gnome::own(arguments);
    try {
        return objectPath(call(bus, kManagerPath, kManager, method, g_variant_ref(owned.get()), "(o)"));
    } catch (const std::runtime_error&) {
        return std::nullopt; // colord answers "not found" with an error
    }
}

GVariant* stringMap(const std::map<std::string, std::string>& entries) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
    for (const auto& [key, value] : entries) g_variant_builder_add(&builder, "{ss}", key.c_str(), value.c_str());
    return g_variant_builder_end(&builder);
}

// A stable id for a profile we import: the same file is one profile in colord.
std::string importedProfileID(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
    char text[40];
    std::snprintf(text, sizeof text, "icc-tavelin-%016llx", static_cast<unsigned long long>(hash));
    return text;
}

} // namespace

std::string colordDeviceID(const displays::EDIDIdentity& edid, const std::string& outputName) {
    std::string id = "xrandr";
    const std::string serial = edid.serial ? std::to_string(edid.serial) : std::string();
    for (const std::string* part : {&edid.manufacturer, &edid.name, &serial}) {
        if (!part->empty()) id += "-" + *part;
    }
    // A monitor that tells nothing about itself is known by its connector.
    if (id == "xrandr") id += "-" + outputName;
    return id;
}

std::unique_ptr<ColordProfiles> ColordProfiles::connect(ColordOutputLookup outputs, std::vector<fs::path> folders,
                                                        const std::string& busAddress) {
    gnome::Connection bus;
    try {
        bus = gnome::systemBus(busAddress);
    } catch (const std::runtime_error&) {
        return nullptr;
    }
    try {
        // Any call starts colord when the bus can activate it.
        call(bus.get(), kManagerPath, "org.freedesktop.DBus.Peer", "Ping", nullptr);
    } catch (const std::runtime_error&) {
        return nullptr;
    }
    return std::unique_ptr<ColordProfiles>(new ColordProfiles(std::move(bus), std::move(outputs), std::move(folders)));
}

ColordProfiles::ColordProfiles(gnome::Connection bus, ColordOutputLookup outputs, std::vector<fs::path> folders)
    : bus_(std::move(bus)), outputs_(std::move(outputs)), folders_(std::move(folders)) {}

std::vector<ColorProfileFile> ColordProfiles::available() { return listDisplayProfiles(folders_); }

std::optional<ColordProfiles::Monitor> ColordProfiles::monitor(DisplayID display) {
    auto output = outputs_(display);
    if (!output) return std::nullopt;
    const auto edid = displays::readEDID(output->edid);
    if (!edid) return std::nullopt;
    return Monitor{std::move(*output), *edid};
}

std::optional<std::string> ColordProfiles::findDevice(const Monitor& monitor) {
    if (auto device = tryPath(bus_.get(), "FindDeviceByProperty",
                              g_variant_new("(ss)", "XRANDR_name", monitor.output.name.c_str()))) {
        return device;
    }
    return tryPath(bus_.get(), "FindDeviceById",
                   g_variant_new("(s)", colordDeviceID(monitor.edid, monitor.output.name).c_str()));
}

std::string ColordProfiles::createDevice(const Monitor& monitor) {
    const std::string serial = monitor.edid.serial ? std::to_string(monitor.edid.serial) : std::string();
    GVariant* properties = stringMap({{"XRANDR_name", monitor.output.name},
                                      {"Kind", "display"},
                                      {"Mode", "physical"},
                                      {"Colorspace", "rgb"},
                                      {"Vendor", monitor.edid.manufacturer},
                                      {"Model", monitor.edid.name},
                                      {"Serial", serial}});
    // "normal": the device stays after we disconnect, as the assignment should.
    return objectPath(call(bus_.get(), kManagerPath, kManager, "CreateDevice",
                           g_variant_new("(ss@a{ss})", colordDeviceID(monitor.edid, monitor.output.name).c_str(),
                                         "normal", properties),
                           "(o)"));
}

std::string ColordProfiles::profileFor(const fs::path& file) {
    if (auto known = tryPath(bus_.get(), "FindProfileByFilename", g_variant_new("(s)", file.c_str()))) return *known;
    const auto bytes = readFileBytes(file);
    const std::string id = importedProfileID(bytes);
    if (auto known = tryPath(bus_.get(), "FindProfileById", g_variant_new("(s)", id.c_str()))) return *known;

    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + file.string());
    GUnixFDList* fds = g_unix_fd_list_new_from_array(&fd, 1); // takes the descriptor
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus_.get(), kService, kManagerPath, kManager, "CreateProfileWithFd",
        g_variant_new("(ssh@a{ss})", id.c_str(), "normal", 0, stringMap({{"Filename", file.string()}})),
        G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, 5000, fds, nullptr, nullptr, &error);
    g_object_unref(fds);
    if (!reply) {
        const std::string message = error ? error->message : "no answer";
        g_clear_error(&error);
        throw std::runtime_error("CreateProfileWithFd: " + message);
    }
    return objectPath(Variant(reply));
}

std::optional<std::optional<ColorProfileFile>> ColordProfiles::current(DisplayID display) {
    const auto found = monitor(display);
    if (!found) return std::nullopt;
    try {
        const auto device = findDevice(*found);
        if (!device) return std::optional<ColorProfileFile>();
        const auto profiles = deviceProfiles(bus_.get(), *device);
        if (profiles.empty() || isEDIDProfile(bus_.get(), profiles.front())) return std::optional<ColorProfileFile>();
        const fs::path file = stringProperty(bus_.get(), profiles.front(), kProfile, "Filename");
        std::string name = stringProperty(bus_.get(), profiles.front(), kProfile, "Title");
        if (name.empty()) name = file.filename().string();
        return std::optional<ColorProfileFile>(ColorProfileFile{std::move(name), file});
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

bool ColordProfiles::assign(DisplayID display, const std::optional<fs::path>& file) {
    const auto found = monitor(display);
    if (!found || (file && !readDisplayProfile(*file))) return false;
    try {
        const std::string device = findDevice(*found).value_or(std::string());
        if (!file) {
            if (device.empty()) return true; // colord has never heard of it: nothing to undo
            const auto profiles = deviceProfiles(bus_.get(), device);
            for (const auto& profile : profiles) {
                if (isEDIDProfile(bus_.get(), profile)) {
                    call(bus_.get(), device, kDevice, "MakeProfileDefault", g_variant_new("(o)", profile.c_str()));
                    return true;
                }
            }
            for (const auto& profile : profiles) {
                const Variant relation = call(bus_.get(), device, kDevice, "GetProfileRelation",
                                              g_variant_new("(o)", profile.c_str()), "(s)");
                const gchar* kind = nullptr;
                g_variant_get(relation.get(), "(&s)", &kind);
                if (std::string_view(kind) == "hard") {
                    call(bus_.get(), device, kDevice, "RemoveProfile", g_variant_new("(o)", profile.c_str()));
                }
            }
            return true;
        }
        const std::string target = device.empty() ? createDevice(*found) : device;
        const std::string profile = profileFor(*file);
        try {
            call(bus_.get(), target, kDevice, "GetProfileRelation", g_variant_new("(o)", profile.c_str()), "(s)");
        } catch (const std::runtime_error&) {
            call(bus_.get(), target, kDevice, "AddProfile", g_variant_new("(so)", "hard", profile.c_str()));
        }
        call(bus_.get(), target, kDevice, "MakeProfileDefault", g_variant_new("(o)", profile.c_str()));
        return true;
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "Tavelin: colord refused the colour profile: %s\n", error.what());
        return false;
    }
}

} // namespace tavelin
