#include "core/log.hpp"
#include "platform/x11/randr_virtual_display.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include <libxcvt/libxcvt.h>

#include "displays/edid.hpp"
#include "displays/virtual_display_descriptor.hpp"

namespace tavelin::x11 {

namespace {

const char* const unavailableMessage = "The display server does not expose virtual displays.";
const char* const creationMessage = "The display server could not create a virtual display.";
const char* const modeMessage = "The display server rejected this display mode. Try 1080p at 60 Hz.";
const char* const noIDMessage = "The virtual display has no display ID.";
const char* const fallbackMessage = "Virtual display creation failed.";

// The output does not take new modes; the next free output may.
struct OutputRefused {};

struct CvtMode {
    xcb_randr_mode_info_t info{};
    std::string name;
    displays::ModeTiming timing;
};

CvtMode cvtMode(std::int64_t width, std::int64_t height, double refreshRate) {
    std::unique_ptr<libxcvt_mode_info, FreeDeleter> generated(libxcvt_gen_mode_info(
        static_cast<int>(width), static_cast<int>(height), static_cast<float>(refreshRate), false, false));
    if (!generated) throw VirtualDisplayError(modeMessage);
    auto g = *generated;
    // CVT rounds the width down to 8 pixels; the display must have the width it asked
    // for, so the line grows by the difference and the clock with it, keeping the rate.
    const auto wanted = static_cast<std::uint32_t>(width);
    if (g.hdisplay < wanted && g.htotal > 0) {
        const auto shift = wanted - g.hdisplay;
        g.dot_clock = g.dot_clock * (g.htotal + shift) / g.htotal;
        g.hdisplay = wanted;
        g.hsync_start = static_cast<std::uint16_t>(g.hsync_start + shift);
        g.hsync_end = static_cast<std::uint16_t>(g.hsync_end + shift);
        g.htotal = static_cast<std::uint16_t>(g.htotal + shift);
    }
    // RandR carries the dot clock in Hz in 32 bits; a faster mode cannot be described.
    constexpr auto maximumClockKHz = std::numeric_limits<std::uint32_t>::max() / 1000;
    if (g.hdisplay != wanted || g.vdisplay != height || g.dot_clock == 0 || g.dot_clock > maximumClockKHz || !(g.hdisplay < g.hsync_start) ||
        !(g.hsync_start <= g.hsync_end && g.hsync_end <= g.htotal) || !(g.vdisplay < g.vsync_start) ||
        !(g.vsync_start <= g.vsync_end && g.vsync_end <= g.vtotal)) {
        throw VirtualDisplayError(modeMessage);
    }
    CvtMode mode;
    char name[64];
    std::snprintf(name, sizeof name, "%lldx%lld_%.2f", static_cast<long long>(width), static_cast<long long>(height),
                  refreshRate);
    mode.name = name;
    // libxcvt's flags use RandR's values and its clock is in kHz.
    mode.info = {0, static_cast<std::uint16_t>(g.hdisplay), static_cast<std::uint16_t>(g.vdisplay),
                 static_cast<std::uint32_t>(g.dot_clock * 1000), g.hsync_start, g.hsync_end, g.htotal, 0,
                 g.vsync_start, g.vsync_end, g.vtotal, static_cast<std::uint16_t>(mode.name.size()),
                 static_cast<std::uint32_t>(g.mode_flags)};
    mode.timing = {g.dot_clock * 1000, g.hdisplay, g.hsync_start, g.hsync_end, g.htotal,
                   g.vdisplay, g.vsync_start, g.vsync_end, g.vtotal,
                   (g.mode_flags & LIBXCVT_MODE_FLAG_HSYNC_POSITIVE) != 0,
                   (g.mode_flags & LIBXCVT_MODE_FLAG_VSYNC_POSITIVE) != 0,
                   (g.mode_flags & LIBXCVT_MODE_FLAG_INTERLACE) != 0, false};
    return mode;
}

bool sameTiming(const xcb_randr_mode_info_t& a, const xcb_randr_mode_info_t& b) {
    return a.width == b.width && a.height == b.height && a.dot_clock == b.dot_clock &&
           a.hsync_start == b.hsync_start && a.hsync_end == b.hsync_end && a.htotal == b.htotal &&
           a.hskew == b.hskew && a.vsync_start == b.vsync_start && a.vsync_end == b.vsync_end &&
           a.vtotal == b.vtotal && a.mode_flags == b.mode_flags;
}

// A display lit on an output. Built step by step; whatever was done is undone when it
// goes, so a failed creation leaves nothing behind.
class OutputDisplay final : public VirtualDisplay {
public:
    OutputDisplay(RandRDisplayServices& services, xcb_randr_output_t output, xcb_randr_crtc_t crtc)
        : services_(services), output_(output), crtc_(crtc) {}

    ~OutputDisplay() override {
        auto& connection = services_.connection();
        // The desktop's display settings may have moved this output to another CRTC
        // since; only a CRTC that still drives this output alone is switched off.
        if (lit_ && drivesOnlyThisOutput(connection)) {
            if (auto resources = screenResources(connection)) {
                reply(connection.get(), xcb_randr_set_crtc_config_reply,
                      xcb_randr_set_crtc_config(connection.get(), crtc_, XCB_CURRENT_TIME,
                                                resources->config_timestamp, 0, 0, XCB_NONE,
                                                XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr));
                services_.layoutChanged();
            }
        }
        for (const auto mode : addedModes_) check(connection, xcb_randr_delete_output_mode_checked(connection, output_, mode));
        for (const auto mode : retainedModes_) {
            if (services_.releaseMode(mode)) check(connection, xcb_randr_destroy_mode_checked(connection, mode));
        }
        if (edidAtom_ != XCB_NONE) {
            if (previousEDID_) {
                check(connection, xcb_randr_change_output_property_checked(
                                      connection, output_, edidAtom_, previousType_, 8, XCB_PROP_MODE_REPLACE,
                                      static_cast<std::uint32_t>(previousEDID_->size()), previousEDID_->data()));
            } else {
                check(connection, xcb_randr_delete_output_property_checked(connection, output_, edidAtom_));
            }
        }
        services_.forgetOutput(output_);
        // Also takes the primary mark off this dark output, so that it does not pass to
        // the next display lit here.
        services_.settle();
    }

    DisplayID displayID() const override { return output_; }

    bool drivesOnlyThisOutput(const Connection& connection) const {
        auto crtc = reply(connection.get(), xcb_randr_get_crtc_info_reply,
                          xcb_randr_get_crtc_info(connection.get(), crtc_, XCB_CURRENT_TIME));
        if (!crtc) return false;
        const auto* outputs = xcb_randr_get_crtc_info_outputs(crtc.get());
        return xcb_randr_get_crtc_info_outputs_length(crtc.get()) == 1 && outputs[0] == output_;
    }

    // Throws OutputRefused when the output does not take the mode.
    xcb_randr_mode_t addMode(const CvtMode& mode) {
        auto& connection = services_.connection();
        const auto id = findOrCreate(mode);
        if (check(connection, xcb_randr_add_output_mode_checked(connection, output_, id))) throw OutputRefused{};
        addedModes_.push_back(id);
        return id;
    }

    void setEDID(const displays::EDID& edid) {
        auto& connection = services_.connection();
        const xcb_atom_t atom = connection.atom("EDID");
        if (atom == XCB_NONE) return;
        auto previous = reply(connection.get(), xcb_randr_get_output_property_reply,
                              xcb_randr_get_output_property(connection.get(), output_, atom, XCB_GET_PROPERTY_TYPE_ANY,
                                                            0, 256, false, false));
        if (previous && previous->type != XCB_NONE && previous->format == 8) {
            const auto* data = xcb_randr_get_output_property_data(previous.get());
            previousEDID_.emplace(data, data + xcb_randr_get_output_property_data_length(previous.get()));
            previousType_ = previous->type;
        }
        // A driver that refuses the property still shows the display; only its identity
        // is lost then.
        if (check(connection, xcb_randr_change_output_property_checked(connection, output_, atom, XCB_ATOM_INTEGER, 8,
                                                                       XCB_PROP_MODE_REPLACE, edid.size(),
                                                                       edid.data()))) {
            log::info("The display server refused the EDID of a virtual display.");
            previousEDID_.reset();
            return;
        }
        edidAtom_ = atom;
    }

    void light(xcb_randr_mode_t mode, const RootRect& place) {
        auto& connection = services_.connection();
        if (place.x + place.width > 0x7FFF || place.y + place.height > 0x7FFF || !services_.growFramebuffer(place)) {
            throw VirtualDisplayError(modeMessage);
        }
        const auto resources = screenResources(connection);
        if (!resources) throw VirtualDisplayError(creationMessage);
        auto set = reply(connection.get(), xcb_randr_set_crtc_config_reply,
                         xcb_randr_set_crtc_config(connection.get(), crtc_, XCB_CURRENT_TIME,
                                                   resources->config_timestamp, static_cast<std::int16_t>(place.x),
                                                   static_cast<std::int16_t>(place.y), mode,
                                                   XCB_RANDR_ROTATION_ROTATE_0, 1, &output_));
        services_.layoutChanged();
        if (!set || set->status != XCB_RANDR_SET_CONFIG_SUCCESS) throw VirtualDisplayError(modeMessage);
        lit_ = true;
    }

private:
    xcb_randr_mode_t findOrCreate(const CvtMode& mode) {
        auto& connection = services_.connection();
        const auto resources = screenResources(connection);
        if (!resources) throw VirtualDisplayError(creationMessage);
        const auto* modes = xcb_randr_get_screen_resources_current_modes(resources.get());
        const int count = xcb_randr_get_screen_resources_current_modes_length(resources.get());
        for (int i = 0; i < count; ++i) {
            if (!sameTiming(modes[i], mode.info)) continue;
            // Another display's mode is shared and goes with the last of them; the
            // server's own modes stay.
            if (services_.isCreatedMode(modes[i].id)) {
                services_.retainMode(modes[i].id);
                retainedModes_.push_back(modes[i].id);
            }
            return modes[i].id;
        }
        auto info = mode.info;
        auto created = reply(connection.get(), xcb_randr_create_mode_reply,
                             xcb_randr_create_mode(connection.get(), connection.root(), info,
                                                   static_cast<std::uint32_t>(mode.name.size()), mode.name.c_str()));
        if (!created) throw VirtualDisplayError(modeMessage);
        services_.retainMode(created->mode);
        retainedModes_.push_back(created->mode);
        return created->mode;
    }

    RandRDisplayServices& services_;
    xcb_randr_output_t output_;
    xcb_randr_crtc_t crtc_;
    std::vector<xcb_randr_mode_t> addedModes_;
    std::vector<xcb_randr_mode_t> retainedModes_;
    xcb_atom_t edidAtom_ = XCB_NONE;
    std::optional<std::vector<std::uint8_t>> previousEDID_;
    xcb_atom_t previousType_ = XCB_ATOM_INTEGER;
    bool lit_ = false;
};

// A display without an output: a RandR monitor over a region of the framebuffer.
class MonitorDisplay final : public VirtualDisplay {
public:
    explicit MonitorDisplay(RandRDisplayServices& services) : services_(services) {}
    ~MonitorDisplay() override {
        if (name_ != XCB_NONE) {
            auto& connection = services_.connection();
            check(connection, xcb_randr_delete_monitor_checked(connection, connection.root(), name_));
            services_.forgetMonitor(name_);
        }
        services_.settle();
    }
    DisplayID displayID() const override { return name_; }
    void setName(xcb_atom_t name) { name_ = name; }

private:
    RandRDisplayServices& services_;
    xcb_atom_t name_ = XCB_NONE;
};

struct FreeOutput {
    xcb_randr_output_t output;
    xcb_randr_crtc_t crtc;
};

// Outputs without a CRTC that no live display uses, each with a CRTC that can drive it;
// disconnected ones first, so that a monitor someone switched off is the last choice.
std::vector<FreeOutput> freeOutputs(RandRDisplayServices& services) {
    auto& connection = services.connection();
    std::vector<FreeOutput> found;
    std::vector<FreeOutput> connected;
    const auto resources = screenResources(connection);
    if (!resources) return found;
    // Head-mounted displays announce themselves as non-desktop; they are no place for a desktop.
    const xcb_atom_t nonDesktop = connection.atom("non-desktop", true);
    const auto isNonDesktop = [&](xcb_randr_output_t output) {
        if (nonDesktop == XCB_NONE) return false;
        auto value = reply(connection.get(), xcb_randr_get_output_property_reply,
                           xcb_randr_get_output_property(connection.get(), output, nonDesktop, XCB_ATOM_INTEGER, 0, 1,
                                                         false, false));
        std::uint32_t flag = 0;
        if (!value || value->format != 32 || xcb_randr_get_output_property_data_length(value.get()) < 4) return false;
        std::memcpy(&flag, xcb_randr_get_output_property_data(value.get()), sizeof flag);
        return flag != 0;
    };
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
    const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    for (int i = 0; i < count; ++i) {
        if (services.isVirtualOutput(outputs[i])) continue;
        auto info = reply(connection.get(), xcb_randr_get_output_info_reply,
                          xcb_randr_get_output_info(connection.get(), outputs[i], XCB_CURRENT_TIME));
        if (!info || info->crtc != XCB_NONE || isNonDesktop(outputs[i])) continue;
        const auto* crtcs = xcb_randr_get_output_info_crtcs(info.get());
        const int crtcCount = xcb_randr_get_output_info_crtcs_length(info.get());
        for (int c = 0; c < crtcCount; ++c) {
            auto crtc = reply(connection.get(), xcb_randr_get_crtc_info_reply,
                              xcb_randr_get_crtc_info(connection.get(), crtcs[c], XCB_CURRENT_TIME));
            if (!crtc || crtc->mode != XCB_NONE || crtc->num_outputs != 0) continue;
            auto& list = info->connection == XCB_RANDR_CONNECTION_DISCONNECTED ? found : connected;
            list.push_back({outputs[i], crtcs[c]});
            break;
        }
    }
    found.insert(found.end(), connected.begin(), connected.end());
    return found;
}

constexpr std::string_view monitorPrefix = "TAVELIN-";

std::uint64_t identity(std::uint16_t productID, std::uint32_t serialNumber) {
    return std::uint64_t{productID} << 32 | serialNumber;
}

// The product and serial numbers of an EDID block Tavelin wrote; nothing for any other.
std::optional<std::uint64_t> ownIdentity(const std::uint8_t* edid, int length) {
    using displays::VirtualDisplayDescriptor;
    if (length < 16 || edid[8] != VirtualDisplayDescriptor::vendorID >> 8 ||
        edid[9] != (VirtualDisplayDescriptor::vendorID & 0xFF)) {
        return std::nullopt;
    }
    std::uint32_t serial = 0;
    for (int i = 3; i >= 0; --i) serial = serial << 8 | edid[12 + i];
    return identity(static_cast<std::uint16_t>(edid[10] | edid[11] << 8), serial);
}

} // namespace

RandRVirtualDisplayFactory::RandRVirtualDisplayFactory(RandRDisplayServices& services, Backing backing)
    : services_(services), backing_(backing) {
    try {
        releaseLeftovers();
    } catch (const std::exception&) {
        log::info("Virtual displays left by an earlier run could not be released.");
    }
}

void RandRVirtualDisplayFactory::releaseLeftovers() {
    auto& connection = services_.connection();
    const auto resources = screenResources(connection);
    const xcb_atom_t edidAtom = connection.atom("EDID", true);
    if (!resources) return;
    bool released = false;
    std::vector<xcb_randr_mode_t> detached; // taken off a leftover output
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
    for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(resources.get()); ++i) {
        const auto output = outputs[i];
        if (edidAtom == XCB_NONE || services_.isVirtualOutput(output)) continue;
        auto property = reply(connection.get(), xcb_randr_get_output_property_reply,
                              xcb_randr_get_output_property(connection.get(), output, edidAtom,
                                                            XCB_GET_PROPERTY_TYPE_ANY, 0, 256, false, false));
        if (!property) continue;
        const auto* data = xcb_randr_get_output_property_data(property.get());
        const auto own = ownIdentity(data, xcb_randr_get_output_property_data_length(property.get()));
        auto info = reply(connection.get(), xcb_randr_get_output_info_reply,
                          xcb_randr_get_output_info(connection.get(), output, XCB_CURRENT_TIME));
        if (!own || !info) continue;
        // Released as a display of ours is, keeping the output for the saved display
        // that made it. A CRTC someone has since shared with another output stays lit.
        const auto crtc = info->crtc == XCB_NONE
                              ? nullptr
                              : reply(connection.get(), xcb_randr_get_crtc_info_reply,
                                      xcb_randr_get_crtc_info(connection.get(), info->crtc, XCB_CURRENT_TIME));
        if (crtc && crtc->num_outputs == 1) {
            reply(connection.get(), xcb_randr_set_crtc_config_reply,
                  xcb_randr_set_crtc_config(connection.get(), info->crtc, XCB_CURRENT_TIME,
                                            resources->config_timestamp, 0, 0, XCB_NONE,
                                            XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr));
            services_.layoutChanged();
        }
        // The server refuses to take away its own modes; those added for the display go.
        const auto* modes = xcb_randr_get_output_info_modes(info.get());
        for (int m = 0; m < xcb_randr_get_output_info_modes_length(info.get()); ++m) {
            if (!check(connection, xcb_randr_delete_output_mode_checked(connection, output, modes[m]))) {
                detached.push_back(modes[m]);
            }
        }
        check(connection, xcb_randr_delete_output_property_checked(connection, output, edidAtom));
        leftovers_[*own] = output;
        released = true;
    }
    // The server refuses to destroy a mode another output still has: those stay.
    for (const auto mode : detached) check(connection, xcb_randr_destroy_mode_checked(connection, mode));

    auto monitors = reply(connection.get(), xcb_randr_get_monitors_reply,
                          xcb_randr_get_monitors(connection.get(), connection.root(), false));
    auto it = monitors ? xcb_randr_get_monitors_monitors_iterator(monitors.get()) : xcb_randr_monitor_info_iterator_t{};
    for (; it.rem > 0; xcb_randr_monitor_info_next(&it)) {
        const auto name = it.data->name;
        if (it.data->nOutput != 0 || services_.monitors().contains(name)) continue;
        auto text = reply(connection.get(), xcb_get_atom_name_reply, xcb_get_atom_name(connection.get(), name));
        if (!text) continue;
        const std::string_view spelled(xcb_get_atom_name_name(text.get()),
                                       static_cast<std::size_t>(xcb_get_atom_name_name_length(text.get())));
        if (!spelled.starts_with(monitorPrefix)) continue;
        check(connection, xcb_randr_delete_monitor_checked(connection, connection.root(), name));
        released = true;
    }
    if (released) services_.settle();
}

std::unique_ptr<VirtualDisplay> RandRVirtualDisplayFactory::create(std::int64_t width, std::int64_t height,
                                                                   double refreshRate, bool hiDPI,
                                                                   const std::string& name,
                                                                   const std::string& identifier) {
    try {
        auto& connection = services_.connection();
        try {
            requireRandR(connection);
        } catch (const XError&) {
            throw VirtualDisplayError(unavailableMessage);
        }
        if (width < 1 || height < 1 || width > 0x7FFF || height > 0x7FFF || !(refreshRate > 0)) {
            throw VirtualDisplayError(modeMessage);
        }
        const auto descriptor =
            displays::VirtualDisplayDescriptor::describe(width, height, refreshRate, hiDPI, name, identifier);

        if (backing_ == Backing::output) {
            std::vector<CvtMode> modes;
            for (const auto& size : descriptor.modes) modes.push_back(cvtMode(size.width, size.height, refreshRate));
            auto candidates = freeOutputs(services_);
            // The output an earlier run lit for this saved display is its first choice.
            const auto left = leftovers_.find(identity(descriptor.productID, descriptor.serialNumber));
            if (left != leftovers_.end()) {
                std::ranges::stable_partition(candidates,
                                              [&](const FreeOutput& free) { return free.output == left->second; });
                leftovers_.erase(left);
            }
            for (const auto& free : candidates) {
                try {
                    auto display = std::make_unique<OutputDisplay>(services_, free.output, free.crtc);
                    std::vector<xcb_randr_mode_t> ids;
                    for (const auto& mode : modes) ids.push_back(display->addMode(mode));
                    display->setEDID(displays::makeEDID(descriptor, modes.front().timing));
                    display->light(ids.front(), services_.placeAtRight(static_cast<std::int32_t>(width),
                                                                       static_cast<std::int32_t>(height)));
                    if (display->displayID() == nullDisplay) throw VirtualDisplayError(noIDMessage);
                    services_.registerOutput(free.output, hiDPI ? width : 0, hiDPI ? height : 0);
                    return display;
                } catch (const OutputRefused&) {
                }
            }
        }

        const auto place = services_.placeAtRight(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
        auto display = std::make_unique<MonitorDisplay>(services_);
        if (place.x + place.width > 0x7FFF || place.y + place.height > 0x7FFF || !services_.growFramebuffer(place)) {
            throw VirtualDisplayError(modeMessage);
        }
        xcb_atom_t atom = XCB_NONE;
        do {
            atom = connection.atom(std::string(monitorPrefix) + std::to_string(nextMonitor_++));
        } while (atom != XCB_NONE && services_.monitors().contains(atom));
        const RandRDisplayServices::Monitor monitor{place, refreshRate, hiDPI};
        if (atom == XCB_NONE || !services_.applyMonitor(atom, monitor)) throw VirtualDisplayError(creationMessage);
        display->setName(atom);
        services_.registerMonitor(atom, monitor);
        return display;
    } catch (const VirtualDisplayError&) {
        throw;
    } catch (const std::exception&) {
        throw VirtualDisplayError(fallbackMessage);
    }
}

} // namespace tavelin::x11
