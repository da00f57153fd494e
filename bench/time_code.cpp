// A time code on the X display: a borderless window at a given position that, on a
// steady grid at a given rate, shows the CLOCK_MONOTONIC time of its drawing in
// milliseconds (modulo 2^bits) as a row of black and white blocks, lowest bit first,
// then an even parity block. The streaming benchmark reads the row back in the receiver
// to measure from the change on the host to its presentation.
//
//   tavelin_time_code X Y BLOCK_WIDTH BLOCK_HEIGHT BITS RATE
//
// Prints "ready" once the window is shown; on SIGTERM or SIGINT, one line with the
// frames drawn, the ticks missed, and how long the server took to draw a frame after
// its time was read (the round trip of a request sent behind it), p50 and p95.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include <xcb/xcb.h>

#include "platform/x11/xcb_handles.hpp"

namespace {

using tavelin::x11::Connection;
using tavelin::x11::Reply;
using tavelin::x11::reply;

volatile std::sig_atomic_t stopping = 0;

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

struct Layout {
    std::int16_t x = 0, y = 0;
    std::uint16_t blockWidth = 0, blockHeight = 0;
    int bits = 0;
    int rate = 0;
};

// A pixmap and a graphics context, freed with the connection's requests.
class Drawable {
public:
    Drawable(const Connection& connection, std::uint32_t id, void (*release)(xcb_connection_t*, std::uint32_t))
        : connection_(connection), id_(id), release_(release) {}
    Drawable(const Drawable&) = delete;
    Drawable& operator=(const Drawable&) = delete;
    ~Drawable() { release_(connection_, id_); }
    std::uint32_t id() const { return id_; }

private:
    const Connection& connection_;
    std::uint32_t id_;
    void (*release_)(xcb_connection_t*, std::uint32_t);
};

void freePixmap(xcb_connection_t* connection, std::uint32_t id) { xcb_free_pixmap(connection, id); }
void freeGC(xcb_connection_t* connection, std::uint32_t id) { xcb_free_gc(connection, id); }
void destroyWindow(xcb_connection_t* connection, std::uint32_t id) { xcb_destroy_window(connection, id); }

double percentileMs(std::vector<std::int64_t> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at = std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())));
    return static_cast<double>(values[at]) / 1e6;
}

int run(const Layout& layout) {
    const Connection connection;
    auto* screen = connection.screen();
    const auto width = static_cast<std::uint16_t>(layout.blockWidth * (layout.bits + 1));
    const auto height = layout.blockHeight;

    // Override-redirect: no window manager moves, decorates or hides it.
    const std::uint32_t windowValues[] = {screen->black_pixel, 1};
    const Drawable window(connection, xcb_generate_id(connection), destroyWindow);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window.id(), connection.root(), layout.x, layout.y, width,
                      height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, windowValues);
    // Each code is drawn off screen and copied onto the window in one request: the
    // server runs a request whole before it serves another client, so a capture never
    // sees half of one code over the last.
    const Drawable pixmap(connection, xcb_generate_id(connection), freePixmap);
    xcb_create_pixmap(connection, screen->root_depth, pixmap.id(), window.id(), width, height);
    const Drawable white(connection, xcb_generate_id(connection), freeGC);
    const Drawable black(connection, xcb_generate_id(connection), freeGC);
    const std::uint32_t whiteValues[] = {screen->white_pixel, 0};
    const std::uint32_t blackValues[] = {screen->black_pixel, 0};
    xcb_create_gc(connection, white.id(), pixmap.id(), XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, whiteValues);
    xcb_create_gc(connection, black.id(), pixmap.id(), XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, blackValues);
    xcb_map_window(connection, window.id());
    if (!reply(connection, xcb_get_input_focus_reply, xcb_get_input_focus(connection))) {
        std::fprintf(stderr, "tavelin_time_code: the window could not be shown\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    const std::int64_t period = 1'000'000'000 / layout.rate;
    const std::uint64_t mask = (std::uint64_t{1} << layout.bits) - 1;
    std::vector<xcb_rectangle_t> blocks[2];
    std::vector<std::int64_t> drawDelays;
    std::int64_t missed = 0;
    auto next = monotonicNanoseconds() / period * period + period;
    while (!stopping && !connection.broken()) {
        const timespec at{static_cast<time_t>(next / 1'000'000'000), static_cast<long>(next % 1'000'000'000)};
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) continue;
        // Events are not asked for, but errors arrive as events.
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection)}) {
        }

        const auto drawn = monotonicNanoseconds();
        const auto milliseconds = static_cast<std::uint64_t>(drawn / 1'000'000) & mask;
        blocks[0].clear();
        blocks[1].clear();
        unsigned parity = 0;
        for (int k = 0; k <= layout.bits; ++k) {
            const unsigned set = k < layout.bits ? (milliseconds >> k) & 1 : parity;
            parity ^= set;
            blocks[set].push_back({static_cast<std::int16_t>(k * layout.blockWidth), 0, layout.blockWidth, height});
        }
        for (const unsigned set : {0u, 1u}) {
            if (blocks[set].empty()) continue;
            xcb_poly_fill_rectangle(connection, pixmap.id(), set ? white.id() : black.id(),
                                    static_cast<std::uint32_t>(blocks[set].size()), blocks[set].data());
        }
        xcb_copy_area(connection, pixmap.id(), window.id(), white.id(), 0, 0, 0, 0, width, height);
        xcb_flush(connection);
        // The reply comes once the server has run every request before it.
        if (!reply(connection, xcb_get_input_focus_reply, xcb_get_input_focus(connection))) break;
        drawDelays.push_back(monotonicNanoseconds() - drawn);

        // A tick missed is skipped, not drawn late: the grid stays steady.
        const auto now = monotonicNanoseconds();
        next += period;
        if (now >= next) {
            const auto behind = (now - next) / period + 1;
            missed += behind;
            next += behind * period;
        }
    }
    std::printf("drawn %zu frames, %lld ticks missed, drawn by the server within p50 %.2f ms, p95 %.2f ms\n",
                drawDelays.size(), static_cast<long long>(missed), percentileMs(drawDelays, 0.5),
                percentileMs(drawDelays, 0.95));
    std::fflush(stdout);
    return connection.broken() ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s X Y BLOCK_WIDTH BLOCK_HEIGHT BITS RATE\n", argv[0]);
        return 2;
    }
    try {
        const Layout layout{static_cast<std::int16_t>(std::stoi(argv[1])), static_cast<std::int16_t>(std::stoi(argv[2])),
                            static_cast<std::uint16_t>(std::stoi(argv[3])),
                            static_cast<std::uint16_t>(std::stoi(argv[4])), std::stoi(argv[5]), std::stoi(argv[6])};
        if (layout.bits < 1 || layout.bits > 40 || layout.rate < 1 || !layout.blockWidth || !layout.blockHeight) {
            std::fprintf(stderr, "%s: bits must be 1 to 40, the rate and block sides positive\n", argv[0]);
            return 2;
        }
        struct sigaction action{};
        action.sa_handler = [](int) { stopping = 1; };
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        return run(layout);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
        return 1;
    }
}
