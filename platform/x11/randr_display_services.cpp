#include "platform/x11/randr_display_services.hpp"

#include <algorithm>
#include <cmath>

#include <sys/uio.h>
#include <xcb/xcbext.h>

#include "displays/edid.hpp"
#include "platform/x11/event_pump.hpp"
#include "platform/x11/randr_configuration_transaction.hpp"

namespace tavelin::x11 {

namespace {

constexpr std::uint16_t changeEvents = XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE;

std::optional<xcb_randr_mode_info_t> findMode(const ScreenResources& resources, xcb_randr_mode_t id) {
    if (!resources) return std::nullopt;
    const auto* modes = xcb_randr_get_screen_resources_current_modes(resources.get());
    const int count = xcb_randr_get_screen_resources_current_modes_length(resources.get());
    for (int i = 0; i < count; ++i) {
        if (modes[i].id == id) return modes[i];
    }
    return std::nullopt;
}

double refreshRate(const xcb_randr_mode_info_t& info) {
    displays::ModeTiming timing;
    timing.dotClockHz = info.dot_clock;
    timing.hTotal = info.htotal;
    timing.vTotal = info.vtotal;
    timing.interlaced = (info.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0;
    timing.doubleScan = (info.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) != 0;
    return timing.refreshRate();
}

// libxcb-randr 1.15 leaves the padding entry of its SetMonitor request uninitialised,
// which sends random request lengths or trips an assertion, so the request is built here.
xcb_void_cookie_t setMonitor(xcb_connection_t* connection, xcb_window_t window, xcb_randr_monitor_info_t& info) {
    static const xcb_protocol_request_t request{2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    xcb_randr_set_monitor_request_t header{};
    header.window = window;
    // xcb uses the two entries before the request's own.
    iovec parts[4]{};
    parts[2] = {&header, sizeof header};
    parts[3] = {&info, sizeof info};
    return {xcb_send_request(connection, XCB_REQUEST_CHECKED, parts + 2, &request)};
}

} // namespace

RandRDisplayServices::RandRDisplayServices(Executor engine, const std::string& displayName)
    : connection_(displayName) {
    requireRandR(connection_);
    pump_ = EventPump::create(std::move(engine), displayName);
}

RandRDisplayServices::~RandRDisplayServices() { stopEvents(); }

void RandRDisplayServices::stopEvents() {
    changed_ = nullptr;
    if (pump_) pump_->stop();
    pump_.reset();
}

void RandRDisplayServices::onConnectionLost(std::function<void()> handler) {
    if (pump_) pump_->onBroken(std::move(handler));
}

std::function<void(std::function<void()>)> RandRDisplayServices::connectionCheck() const {
    return [weak = std::weak_ptr(pump_)](std::function<void()> report) {
        const auto pump = weak.lock();
        if (!pump) return report();
        pump->confirmBroken(std::chrono::milliseconds(500), std::move(report));
    };
}

void RandRDisplayServices::onConfigurationChanged(std::function<void()> handler) {
    changed_ = std::move(handler);
    if (listening_ || !changed_ || !pump_) return;
    listening_ = true;
    // The pump only waits on the engine once someone listens, so an engine run to its
    // end is not held up by a display services object nobody watches.
    auto& events = pump_->connection();
    // RandR sends its 1.2 events only to clients that announced the version.
    reply(events.get(), xcb_randr_query_version_reply, xcb_randr_query_version(events.get(), 1, 5));
    // Checked, so that no change after this call goes unseen by the kept layout.
    check(events, xcb_randr_select_input_checked(events.get(), events.root(), changeEvents));
    const auto* randr = xcb_get_extension_data(events.get(), &xcb_randr_id);
    const std::uint8_t first = randr ? randr->first_event : 0;
    pump_->start([this, first](const xcb_generic_event_t& event) {
        const int type = event.response_type & 0x7F;
        if (type != first + XCB_RANDR_SCREEN_CHANGE_NOTIFY && type != first + XCB_RANDR_NOTIFY) return;
        layout_.reset();
        if (changed_) changed_();
    });
}

void RandRDisplayServices::registerOutput(xcb_randr_output_t output, std::int64_t hiDPIWidth,
                                          std::int64_t hiDPIHeight) {
    outputs_[output] = {hiDPIWidth, hiDPIHeight};
}

void RandRDisplayServices::forgetOutput(xcb_randr_output_t output) { outputs_.erase(output); }

bool RandRDisplayServices::releaseMode(xcb_randr_mode_t mode) {
    const auto found = createdModes_.find(mode);
    if (found == createdModes_.end()) return false;
    if (--found->second > 0) return false;
    createdModes_.erase(found);
    return true;
}

DisplayMode RandRDisplayServices::outputMode(xcb_randr_output_t output, const xcb_randr_mode_info_t& info) const {
    DisplayMode mode{info.id, info.width, info.height, info.width, info.height, refreshRate(info)};
    const auto registered = outputs_.find(output);
    if (registered != outputs_.end() && registered->second.first == info.width &&
        registered->second.second == info.height) {
        mode.width /= 2;
        mode.height /= 2;
    }
    return mode;
}

DisplayMode RandRDisplayServices::monitorMode(const Monitor& monitor) const {
    const int scale = monitor.hiDPI ? 2 : 1;
    return {0, monitor.rect.width, monitor.rect.height, monitor.rect.width / scale, monitor.rect.height / scale,
            monitor.refreshRate};
}

std::vector<DisplayMode> RandRDisplayServices::modes(DisplayID display) {
    if (const auto monitor = monitors_.find(display); monitor != monitors_.end()) return {monitorMode(monitor->second)};
    std::vector<DisplayMode> result;
    const auto all = screenResources(connection_);
    auto info = reply(connection_.get(), xcb_randr_get_output_info_reply,
                      xcb_randr_get_output_info(connection_.get(), display, XCB_CURRENT_TIME));
    if (!info || !all) return result;
    const auto* ids = xcb_randr_get_output_info_modes(info.get());
    const int count = xcb_randr_get_output_info_modes_length(info.get());
    for (int i = 0; i < count; ++i) {
        if (const auto mode = findMode(all, ids[i])) result.push_back(outputMode(display, *mode));
    }
    return result;
}

std::optional<DisplayMode> RandRDisplayServices::currentMode(DisplayID display) {
    if (const auto monitor = monitors_.find(display); monitor != monitors_.end()) return monitorMode(monitor->second);
    auto info = reply(connection_.get(), xcb_randr_get_output_info_reply,
                      xcb_randr_get_output_info(connection_.get(), display, XCB_CURRENT_TIME));
    if (!info || info->crtc == XCB_NONE) return std::nullopt;
    auto crtc = reply(connection_.get(), xcb_randr_get_crtc_info_reply,
                      xcb_randr_get_crtc_info(connection_.get(), info->crtc, XCB_CURRENT_TIME));
    if (!crtc || crtc->mode == XCB_NONE) return std::nullopt;
    const auto mode = findMode(screenResources(connection_), crtc->mode);
    if (!mode) return std::nullopt;
    return outputMode(display, *mode);
}

DisplayError RandRDisplayServices::setMode(DisplayID display, const DisplayMode& mode) {
    if (const auto monitor = monitors_.find(display); monitor != monitors_.end()) {
        return mode == monitorMode(monitor->second) ? DisplayError::none : DisplayError::illegalArgument;
    }
    const auto all = screenResources(connection_);
    auto info = reply(connection_.get(), xcb_randr_get_output_info_reply,
                      xcb_randr_get_output_info(connection_.get(), display, XCB_CURRENT_TIME));
    if (!info || !all || info->crtc == XCB_NONE) return DisplayError::illegalArgument;
    const auto* ids = xcb_randr_get_output_info_modes(info.get());
    const int count = xcb_randr_get_output_info_modes_length(info.get());
    if (std::find(ids, ids + count, mode.id) == ids + count) return DisplayError::illegalArgument;
    const auto wanted = findMode(all, static_cast<xcb_randr_mode_t>(mode.id));
    auto crtc = reply(connection_.get(), xcb_randr_get_crtc_info_reply,
                      xcb_randr_get_crtc_info(connection_.get(), info->crtc, XCB_CURRENT_TIME));
    if (!crtc || !wanted) return DisplayError::illegalArgument;
    if (crtc->mode == mode.id) return DisplayError::none;

    const bool sideways = (crtc->rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270)) != 0;
    const RootRect target{crtc->x, crtc->y, sideways ? wanted->height : wanted->width,
                          sideways ? wanted->width : wanted->height};
    ServerGrab grab(connection_);
    if (!growFramebuffer(target)) return DisplayError::failure;
    const auto* outputs = xcb_randr_get_crtc_info_outputs(crtc.get());
    Error error;
    auto set = reply(connection_.get(), xcb_randr_set_crtc_config_reply,
                     xcb_randr_set_crtc_config(connection_.get(), info->crtc, XCB_CURRENT_TIME,
                                               all->config_timestamp, crtc->x, crtc->y, wanted->id, crtc->rotation,
                                               xcb_randr_get_crtc_info_outputs_length(crtc.get()), outputs),
                     &error);
    layoutChanged();
    const bool applied = set && set->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    shrinkFramebuffer();
    return applied ? DisplayError::none : DisplayError::failure;
}

bool RandRDisplayServices::isOnline(DisplayID display) {
    if (monitors_.contains(display)) return true;
    auto info = reply(connection_.get(), xcb_randr_get_output_info_reply,
                      xcb_randr_get_output_info(connection_.get(), display, XCB_CURRENT_TIME));
    return info && (info->connection == XCB_RANDR_CONNECTION_CONNECTED || info->crtc != XCB_NONE);
}

DisplayBounds RandRDisplayServices::bounds(DisplayID display) {
    const auto& lit = layout();
    std::optional<RootRect> rect;
    if (const auto monitor = monitors_.find(display); monitor != monitors_.end()) {
        rect = monitor->second.rect;
    } else if (const auto output = std::ranges::find(lit, display, &Display::id); output != lit.end()) {
        rect = output->rect;
    }
    if (!rect) return {};
    // The primary comes first; with no output lit, the root origin stands in.
    const RootRect origin = lit.empty() ? RootRect{} : lit.front().rect;
    return {static_cast<double>(rect->x - origin.x), static_cast<double>(rect->y - origin.y),
            static_cast<double>(rect->width), static_cast<double>(rect->height)};
}

DisplayID RandRDisplayServices::mainDisplay() { return primaryOutput(connection_); }

std::vector<RandRDisplayServices::Display> RandRDisplayServices::litDisplays() {
    auto lit = litOutputDisplays();
    for (const auto& [name, monitor] : monitors_) lit.push_back({name, monitor.rect, true});
    return lit;
}

const std::vector<RandRDisplayServices::Display>& RandRDisplayServices::layout() {
    // Without notifies, nothing would tell that a kept layout went stale.
    const bool told = listening_ && pump_ && !pump_->connection().broken() && !connection_.broken();
    if (!layout_ || !told) layout_ = litOutputDisplays();
    return *layout_;
}

std::vector<RandRDisplayServices::Display> RandRDisplayServices::litOutputDisplays() {
    std::vector<Display> lit;
    const auto outputs = litOutputRects(connection_);
    auto marked = reply(connection_.get(), xcb_randr_get_output_primary_reply,
                        xcb_randr_get_output_primary(connection_.get(), connection_.root()));
    // The marked primary when it is lit, else the first lit output (as primaryOutput).
    const bool markedIsLit =
        marked && std::ranges::find(outputs, marked->output, &LitOutput::output) != outputs.end();
    const auto primary = markedIsLit ? marked->output : outputs.empty() ? XCB_NONE : outputs.front().output;
    for (const auto& entry : outputs) {
        const Display display{entry.output, entry.rect, false, entry.crtc};
        lit.insert(entry.output == primary ? lit.begin() : lit.end(), display);
    }
    return lit;
}

DisplayID RandRDisplayServices::mirrorsDisplay(DisplayID display) {
    const auto lit = litDisplays();
    const auto own = std::find_if(lit.begin(), lit.end(), [&](const Display& d) { return d.id == display; });
    if (own == lit.end()) return nullDisplay; // dark: it shows nothing, so it mirrors nothing
    const auto master = std::find_if(lit.begin(), own, [&](const Display& d) {
        return d.rect.x == own->rect.x && d.rect.y == own->rect.y;
    });
    return master == own ? nullDisplay : master->id;
}

std::optional<std::vector<DisplayID>> RandRDisplayServices::activeDisplays() {
    if (connection_.broken()) return std::nullopt;
    std::vector<DisplayID> ids;
    for (const auto& display : layout()) ids.push_back(display.id);
    for (const auto& [name, monitor] : monitors_) ids.push_back(name);
    return ids;
}

RootRect RandRDisplayServices::litExtent() {
    RootRect extent;
    for (const auto& display : litDisplays()) {
        extent.width = std::max(extent.width, display.rect.x + display.rect.width);
        extent.height = std::max(extent.height, display.rect.y + display.rect.height);
    }
    return extent;
}

RootRect RandRDisplayServices::placeAtRight(std::int32_t width, std::int32_t height) {
    return {litExtent().width, primaryRect(connection_).y, width, height};
}

RootRect RandRDisplayServices::framebuffer() {
    auto geometry = reply(connection_.get(), xcb_get_geometry_reply,
                          xcb_get_geometry(connection_.get(), connection_.root()));
    if (!geometry) return {};
    return {0, 0, geometry->width, geometry->height};
}

bool RandRDisplayServices::resizeFramebuffer(std::int32_t width, std::int32_t height) {
    if (width <= 0 || height <= 0 || width > 0xFFFF || height > 0xFFFF) return false;
    const auto millimetres = [](std::int32_t pixels) {
        return static_cast<std::uint32_t>(std::lround(pixels * 25.4 / 96));
    };
    return !check(connection_, xcb_randr_set_screen_size_checked(
                                   connection_, connection_.root(), static_cast<std::uint16_t>(width),
                                   static_cast<std::uint16_t>(height), millimetres(width), millimetres(height)));
}

bool RandRDisplayServices::growFramebuffer(const RootRect& rect) {
    const auto current = framebuffer();
    const std::int32_t width = std::max(current.width, rect.x + rect.width);
    const std::int32_t height = std::max(current.height, rect.y + rect.height);
    if (width == current.width && height == current.height) return true;
    return resizeFramebuffer(width, height);
}

void RandRDisplayServices::shrinkFramebuffer() {
    auto range = reply(connection_.get(), xcb_randr_get_screen_size_range_reply,
                       xcb_randr_get_screen_size_range(connection_.get(), connection_.root()));
    const auto extent = litExtent();
    const std::int32_t width = std::max<std::int32_t>(extent.width, range ? range->min_width : 1);
    const std::int32_t height = std::max<std::int32_t>(extent.height, range ? range->min_height : 1);
    const auto current = framebuffer();
    if (width < current.width || height < current.height) {
        resizeFramebuffer(std::min(width, current.width), std::min(height, current.height));
    }
}

void RandRDisplayServices::settle() {
    // An empty transaction normalises the arrangement and marks the primary.
    const auto transaction = beginConfiguration();
    if (!transaction || transaction->complete() != DisplayError::none) shrinkFramebuffer();
}

bool RandRDisplayServices::applyMonitor(xcb_atom_t name, const Monitor& monitor) {
    xcb_randr_monitor_info_t info{};
    info.name = name;
    info.x = static_cast<std::int16_t>(monitor.rect.x);
    info.y = static_cast<std::int16_t>(monitor.rect.y);
    info.width = static_cast<std::uint16_t>(monitor.rect.width);
    info.height = static_cast<std::uint16_t>(monitor.rect.height);
    const double pixelsPerInch = monitor.hiDPI ? 220 : 110;
    info.width_in_millimeters = static_cast<std::uint32_t>(std::lround(monitor.rect.width * 25.4 / pixelsPerInch));
    info.height_in_millimeters = static_cast<std::uint32_t>(std::lround(monitor.rect.height * 25.4 / pixelsPerInch));
    return !check(connection_, setMonitor(connection_, connection_.root(), info));
}

std::unique_ptr<DisplayConfigurationTransaction> RandRDisplayServices::beginConfiguration() {
    if (connection_.broken()) return nullptr;
    auto transaction = std::make_unique<RandRConfigurationTransaction>(*this);
    return transaction;
}

} // namespace tavelin::x11
