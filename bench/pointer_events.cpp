// Prints each pointer motion the X server reports as "<microseconds> <x> <y>": the
// CLOCK_MONOTONIC time this client read it and the pointer's root position. The streaming
// bench times a receiver's pointer events to the host with it. Raw motion is selected on
// the root window because it reaches us whatever window lies under the pointer and
// whoever else listens there. Prints "ready" once the server delivers.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>

#include <xcb/xinput.h>

#include "platform/x11/xcb_handles.hpp"

using namespace tavelin::x11;

namespace {

std::int64_t monotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1'000;
}

} // namespace

int main() try {
    Connection connection;
    if (!connection.hasExtension(&xcb_input_id)) throw XError("no XInput on this display");
    auto version = reply(connection.get(), xcb_input_xi_query_version_reply,
                         xcb_input_xi_query_version(connection.get(), 2, 2));
    if (!version || version->major_version < 2) throw XError("no XInput 2 on this display");
    struct {
        xcb_input_event_mask_t head{XCB_INPUT_DEVICE_ALL_MASTER, 1};
        std::uint32_t bits = XCB_INPUT_XI_EVENT_MASK_RAW_MOTION;
    } mask;
    if (check(connection, xcb_input_xi_select_events_checked(connection, connection.root(), 1, &mask.head)))
        throw XError("the display refused raw motion events");
    const std::uint8_t opcode = xcb_get_extension_data(connection, &xcb_input_id)->major_opcode;
    std::printf("ready\n");
    std::fflush(stdout);
    while (Reply<xcb_generic_event_t> event{xcb_wait_for_event(connection)}) {
        const auto at = monotonicMicroseconds();
        const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(*event);
        if ((event->response_type & 0x7f) != XCB_GE_GENERIC || generic.extension != opcode ||
            generic.event_type != XCB_INPUT_RAW_MOTION)
            continue;
        // A raw event carries device values, not the position: the pointer is asked. The
        // bench's moves are far enough apart that it has not moved again by then.
        auto pointer = reply(connection.get(), xcb_query_pointer_reply,
                             xcb_query_pointer(connection, connection.root()));
        if (!pointer) break;
        std::printf("%lld %d %d\n", static_cast<long long>(at), pointer->root_x, pointer->root_y);
        std::fflush(stdout);
    }
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "pointer_events: %s\n", error.what());
    return 1;
}
