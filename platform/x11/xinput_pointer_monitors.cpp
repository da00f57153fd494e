#include "platform/x11/xinput_pointer_monitors.hpp"

#include <string_view>

#include <asio/post.hpp>
#include <xcb/xinput.h>

#include "core/cursor_policy.hpp"
#include "engine/task.hpp"
#include "platform/x11/event_pump.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {
namespace {

// XInput 2.2 delivers raw events to every client that selected them, grabs or not.
void requireXInput22(const Connection& connection) {
    if (!connection.hasExtension(&xcb_input_id)) throw XError("The display server does not support XInput.");
    auto version = reply(connection.get(), xcb_input_xi_query_version_reply,
                         xcb_input_xi_query_version(connection.get(), 2, 2));
    if (!version || version->major_version < 2 || (version->major_version == 2 && version->minor_version < 2))
        throw XError("The display server needs XInput 2.2 or later.");
}

// The slave pointer that XTEST's fake input comes from; -1 when there is none.
int xtestPointer(const Connection& connection) {
    auto devices = reply(connection.get(), xcb_input_xi_query_device_reply,
                         xcb_input_xi_query_device(connection.get(), XCB_INPUT_DEVICE_ALL));
    if (!devices) return -1;
    for (auto it = xcb_input_xi_query_device_infos_iterator(devices.get()); it.rem;
         xcb_input_xi_device_info_next(&it)) {
        const std::string_view name(xcb_input_xi_device_info_name(it.data), it.data->name_len);
        if (it.data->type == XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER && name == "Virtual core XTEST pointer")
            return it.data->deviceid;
    }
    return -1;
}

struct WatchState {
    explicit WatchState(const std::string& displayName) : queries(displayName) {}
    std::function<void(std::int64_t)> callback;
    // Device lookups need replies, which must stay off the event connection.
    Connection queries;
    int xtestDevice = -1;
};

class LiveWatch final : public PointerMonitors::Watch {
public:
    LiveWatch(std::shared_ptr<WatchState> state, std::shared_ptr<EventPump> pump)
        : state_(std::move(state)), pump_(std::move(pump)) {}
    ~LiveWatch() override { pump_->stop(); }

private:
    std::shared_ptr<WatchState> state_;
    std::shared_ptr<EventPump> pump_;
};

} // namespace

X11PointerMonitors::X11PointerMonitors(Executor engine, std::string displayName)
    : engine_(std::move(engine)), displayName_(std::move(displayName)) {
    requireXInput22(Connection(displayName_));
}

std::unique_ptr<PointerMonitors::Watch> X11PointerMonitors::watch(std::function<void(std::int64_t)> onPointerEvent) {
    auto state = std::make_shared<WatchState>(displayName_);
    state->callback = std::move(onPointerEvent);
    requireXInput22(state->queries);
    state->xtestDevice = xtestPointer(state->queries);

    auto pump = EventPump::create(engine_, displayName_);
    Connection& events = pump->connection();
    requireXInput22(events);
    struct Mask {
        xcb_input_event_mask_t head;
        std::uint32_t bits;
    };
    // Raw events of the master pointer name the slave they came from; hierarchy changes
    // may replace the XTEST device.
    const Mask masks[] = {
        {{XCB_INPUT_DEVICE_ALL_MASTER, 1},
         XCB_INPUT_XI_EVENT_MASK_RAW_MOTION | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS},
        {{XCB_INPUT_DEVICE_ALL, 1}, XCB_INPUT_XI_EVENT_MASK_HIERARCHY},
    };
    if (check(events, xcb_input_xi_select_events_checked(events, events.root(), 2, &masks[0].head)))
        throw XError("The display server refused to report pointer events.");

    const std::uint8_t opcode = xcb_get_extension_data(events, &xcb_input_id)->major_opcode;
    pump->start([engine = engine_, opcode, weak = std::weak_ptr(state)](const xcb_generic_event_t& event) {
        if ((event.response_type & 0x7f) != XCB_GE_GENERIC) return;
        const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
        if (generic.extension != opcode) return;
        const auto state = weak.lock();
        if (!state) return;
        if (generic.event_type == XCB_INPUT_HIERARCHY) {
            state->xtestDevice = xtestPointer(state->queries);
            return;
        }
        if (generic.event_type != XCB_INPUT_RAW_MOTION && generic.event_type != XCB_INPUT_RAW_BUTTON_PRESS) return;
        const auto& raw = reinterpret_cast<const xcb_input_raw_button_press_event_t&>(event);
        const std::int64_t marker = raw.sourceid == state->xtestDevice ? CursorPolicy::remoteEventMarker : 0;
        // Posted rather than called, so that a callback may end its own watch while the
        // pump is still reading.
        postWeak(engine, weak, [marker](auto& watch) { watch.callback(marker); });
    });
    return std::make_unique<LiveWatch>(std::move(state), std::move(pump));
}

} // namespace tavelin::x11
