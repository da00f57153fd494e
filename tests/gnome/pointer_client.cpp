// A Wayland client for the GNOME tests: a full-screen window on the output at the layout
// position argv[1], argv[2], its pointer a black 16 × 16 square hanging from its hotspot,
// that prints each pointer event it gets ("motion X Y", "button CODE 1|0",
// "axis AXIS VALUE") and each key ("key CODE 1|0") on stdout, and "ready" once it is shown.
// With a third argument "animate" it draws a new picture at every frame the compositor
// asks for, every pixel changing, with the frame number as a row of blocks along its top
// and bottom edges (ten bits and an even parity bit, 32 × 16 each), as the benchmark reads.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "xdg-shell-client-protocol.h"

namespace {

struct Output {
    wl_output* output = nullptr;
    std::int32_t x = -1, y = -1;
};

constexpr std::int32_t cursorSide = 16;

struct Client {
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* shell = nullptr;
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    std::vector<Output*> outputs;
    wl_surface* surface = nullptr;
    // Two pointer surfaces, each a black square with its hotspot at its top-left corner.
    wl_surface* cursors[2] = {};
    std::uint32_t enterSerial = 0;
    int shownCursor = 0;
    std::int32_t width = 0, height = 0;
    bool configured = false;
};

// Any listener's entry for an event the client does not care about.
constexpr auto ignored = [](auto...) {};

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

const wl_output_listener outputListener = {
    [](void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*, const char*, int32_t) {
        static_cast<Output*>(data)->x = x;
        static_cast<Output*>(data)->y = y;
    },
    ignored, ignored, ignored, ignored, ignored};

const wl_keyboard_listener keyboardListener = {
    [](void*, wl_keyboard*, uint32_t, int32_t fd, uint32_t) { close(fd); }, ignored, ignored,
    [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
        say("key " + std::to_string(key) + " " + std::to_string(state));
    },
    ignored, ignored};

// The keyboard exists once the remote-desktop session has made one.
const wl_seat_listener seatListener = {
    [](void* data, wl_seat* seat, uint32_t capabilities) {
        auto& client = *static_cast<Client*>(data);
        if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !client.keyboard) {
            client.keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(client.keyboard, &keyboardListener, &client);
        }
    },
    ignored};

// The pointer image changes with every motion, the same square each time: mutter sends a
// screen cast's pointer image when it changes, and may leave out a change that comes just
// after a picture.
void moved(void* data, wl_pointer* pointer, wl_fixed_t x, wl_fixed_t y) {
    auto& client = *static_cast<Client*>(data);
    client.shownCursor ^= 1;
    wl_pointer_set_cursor(pointer, client.enterSerial, client.cursors[client.shownCursor], 0, 0);
    say("motion " + std::to_string(std::lround(wl_fixed_to_double(x))) + " " +
        std::to_string(std::lround(wl_fixed_to_double(y))));
}

const wl_pointer_listener pointerListener = {
    [](void* data, wl_pointer* pointer, uint32_t serial, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
        static_cast<Client*>(data)->enterSerial = serial;
        moved(data, pointer, x, y);
    },
    ignored, [](void* data, wl_pointer* pointer, uint32_t, wl_fixed_t x, wl_fixed_t y) { moved(data, pointer, x, y); },
    [](void*, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
        say("button " + std::to_string(button) + " " + std::to_string(state));
    },
    [](void*, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
        say("axis " + std::to_string(axis) + " " + std::to_string(std::lround(wl_fixed_to_double(value))));
    },
    ignored, ignored, ignored, ignored, ignored};

const xdg_wm_base_listener shellListener = {[](void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); }};

const xdg_surface_listener surfaceListener = {[](void* data, xdg_surface* surface, uint32_t serial) {
    xdg_surface_ack_configure(surface, serial);
    static_cast<Client*>(data)->configured = true;
}};

const xdg_toplevel_listener toplevelListener = {
    [](void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
        auto& client = *static_cast<Client*>(data);
        if (width > 0 && height > 0) client.width = width, client.height = height;
    },
    ignored, ignored, ignored};

const wl_registry_listener registryListener = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto& client = *static_cast<Client*>(data);
        const auto bind = [&](const wl_interface& type, uint32_t at) { return wl_registry_bind(registry, name, &type, at); };
        const std::string kind = interface;
        if (kind == "wl_compositor") client.compositor = static_cast<wl_compositor*>(bind(wl_compositor_interface, 4));
        if (kind == "wl_shm") client.shm = static_cast<wl_shm*>(bind(wl_shm_interface, 1));
        if (kind == "wl_seat") client.seat = static_cast<wl_seat*>(bind(wl_seat_interface, 5));
        if (kind == "xdg_wm_base") {
            client.shell = static_cast<xdg_wm_base*>(bind(xdg_wm_base_interface, 1));
            xdg_wm_base_add_listener(client.shell, &shellListener, nullptr);
        } else if (kind == "wl_output") {
            auto* output = new Output;
            output->output = static_cast<wl_output*>(bind(wl_output_interface, std::min(version, 2u)));
            wl_output_add_listener(output->output, &outputListener, output);
            client.outputs.push_back(output);
        }
    },
    ignored};

struct Buffer {
    wl_buffer* buffer = nullptr;
    std::uint32_t* pixels = nullptr;
    bool busy = false;
};

const wl_buffer_listener bufferListener = {[](void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }};

Buffer* newBuffer(wl_shm* shm, std::int32_t width, std::int32_t height, std::uint32_t format = WL_SHM_FORMAT_XRGB8888) {
    const std::int32_t stride = width * 4, size = stride * height;
    const int fd = memfd_create("tavelin-test-client", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) != 0) return nullptr;
    auto* buffer = new Buffer;
    buffer->pixels = static_cast<std::uint32_t*>(mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    std::memset(buffer->pixels, 0xff, static_cast<size_t>(size));
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
    buffer->buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, format);
    wl_buffer_add_listener(buffer->buffer, &bufferListener, buffer);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

// Frame n: diagonal colour bands that move by four pixels a frame, and the code rows.
void draw(std::uint32_t* pixels, std::int32_t width, std::int32_t height, std::uint32_t n) {
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint32_t* row = pixels + static_cast<std::size_t>(y) * width;
        for (std::int32_t x = 0; x < width; ++x) {
            const std::uint32_t v = static_cast<std::uint32_t>(x + y + 4 * n);
            row[x] = (v & 0xff) << 16 | ((v >> 1) & 0xff) << 8 | ((v >> 2) & 0xff);
        }
    }
    constexpr int bits = 10, blockWidth = 32, blockHeight = 16;
    int parity = 0;
    for (int k = 0; k <= bits; ++k) {
        const bool set = k < bits ? (n >> k) & 1 : parity & 1;
        parity += set;
        for (const std::int32_t top : {0, height - blockHeight}) {
            for (std::int32_t y = top; y < top + blockHeight; ++y) {
                std::fill_n(pixels + static_cast<std::size_t>(y) * width + k * blockWidth, blockWidth,
                            set ? 0xffffffu : 0u);
            }
        }
    }
}

struct Animation {
    Client* client;
    std::vector<Buffer*> buffers;
    std::uint32_t frame = 0;
};

void nextFrame(Animation& animation);

const wl_callback_listener frameListener = {[](void* data, wl_callback* callback, uint32_t) {
    wl_callback_destroy(callback);
    nextFrame(*static_cast<Animation*>(data));
}};

void nextFrame(Animation& animation) {
    Client& client = *animation.client;
    const auto free = std::find_if(animation.buffers.begin(), animation.buffers.end(), [](Buffer* b) { return !b->busy; });
    wl_callback_add_listener(wl_surface_frame(client.surface), &frameListener, &animation);
    if (free != animation.buffers.end()) {
        draw((*free)->pixels, client.width, client.height, animation.frame++);
        (*free)->busy = true;
        wl_surface_attach(client.surface, (*free)->buffer, 0, 0);
        wl_surface_damage(client.surface, 0, 0, client.width, client.height);
    }
    wl_surface_commit(client.surface);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 4 && std::string(argv[3]) == "animate")) return 2;
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "pointer client: no Wayland display\n");
        return 1;
    }
    Client client;
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, &client);
    wl_display_roundtrip(display);
    wl_display_roundtrip(display); // the outputs' places
    wl_output* target = nullptr;
    for (const auto* output : client.outputs)
        if (output->x == std::atoi(argv[1]) && output->y == std::atoi(argv[2])) target = output->output;
    if (!client.compositor || !client.shm || !client.shell || !client.seat || !target) {
        std::fprintf(stderr, "pointer client: no compositor, shm, xdg shell, seat or output at %s, %s (of %zu)\n", argv[1], argv[2],
                     client.outputs.size());
        return 1;
    }
    Buffer* cursor = newBuffer(client.shm, cursorSide, cursorSide, WL_SHM_FORMAT_ARGB8888);
    std::fill_n(cursor->pixels, cursorSide * cursorSide, 0xff000000u);
    for (auto& surface : client.cursors) {
        surface = wl_compositor_create_surface(client.compositor);
        wl_surface_attach(surface, cursor->buffer, 0, 0);
        wl_surface_damage(surface, 0, 0, cursorSide, cursorSide);
        wl_surface_commit(surface);
    }
    wl_pointer_add_listener(wl_seat_get_pointer(client.seat), &pointerListener, &client);
    wl_seat_add_listener(client.seat, &seatListener, &client);
    client.surface = wl_compositor_create_surface(client.compositor);
    xdg_surface* surface = xdg_wm_base_get_xdg_surface(client.shell, client.surface);
    xdg_surface_add_listener(surface, &surfaceListener, &client);
    xdg_toplevel* toplevel = xdg_surface_get_toplevel(surface);
    xdg_toplevel_add_listener(toplevel, &toplevelListener, &client);
    xdg_toplevel_set_fullscreen(toplevel, target);
    wl_surface_commit(client.surface);
    while (!client.configured || client.width == 0) {
        if (wl_display_dispatch(display) < 0) return 1;
    }
    Animation animation{&client, {newBuffer(client.shm, client.width, client.height)}};
    if (argc == 4) {
        for (int i = 0; i < 2; ++i) animation.buffers.push_back(newBuffer(client.shm, client.width, client.height));
        nextFrame(animation);
    } else {
        wl_surface_attach(client.surface, animation.buffers[0]->buffer, 0, 0);
        wl_surface_damage(client.surface, 0, 0, client.width, client.height);
        wl_surface_commit(client.surface);
    }
    wl_display_roundtrip(display);
    say("ready " + std::to_string(client.width) + " " + std::to_string(client.height));
    while (wl_display_dispatch(display) >= 0) {}
    return 0;
}
