#include "platform/x11/shm_capture.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <system_error>
#include <utility>

#include <libyuv/scale_argb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include "core/capture_pace.hpp"
#include "core/log.hpp"
#include "platform/cursor_image.hpp"
#include "platform/x11/randr_query.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

namespace {

using Clock = std::chrono::steady_clock;

const char* const lostConnection = "The connection to the display server was lost.";

// The process's side of one shared-memory segment. Frames handed downstream keep it
// alive through their release function, so it may outlive the stream.
class SharedMemory {
public:
    SharedMemory(std::int64_t width, std::int64_t height) {
        const auto size = static_cast<std::size_t>(width * height * 4);
        id_ = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (id_ < 0) throw std::system_error(errno, std::generic_category(), "shmget");
        void* address = shmat(id_, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {
            const int error = errno;
            shmctl(id_, IPC_RMID, nullptr);
            throw std::system_error(error, std::generic_category(), "shmat");
        }
        pixels.width = width;
        pixels.height = height;
        pixels.stride = width * 4;
        pixels.data = static_cast<std::uint8_t*>(address);
    }
    ~SharedMemory() {
        shmdt(pixels.data);
        markRemoved();
    }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    int id() const { return id_; }
    // Once the server has attached it, the segment can go as soon as both sides detach.
    void markRemoved() {
        if (!removed_) shmctl(id_, IPC_RMID, nullptr);
        removed_ = true;
    }

    PixelBuffer pixels;
    // Set while a frame on this memory is held downstream.
    std::atomic<bool> busy{false};

private:
    int id_ = -1;
    bool removed_ = false;
};

// A segment and the server's attachment of it, which lives no longer than the connection.
class Segment {
public:
    Segment(const Connection& connection, std::int64_t width, std::int64_t height)
        : memory(std::make_shared<SharedMemory>(width, height)), connection_(connection.get()) {
        const auto id = xcb_generate_id(connection_);
        if (check(connection_, xcb_shm_attach_checked(connection_, id, static_cast<std::uint32_t>(memory->id()), 0)))
            throw XError("The display server refused a shared-memory segment for capture.");
        seg_ = id;
        memory->markRemoved();
    }
    ~Segment() { xcb_shm_detach(connection_, seg_); }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    xcb_shm_seg_t seg() const { return seg_; }
    std::shared_ptr<const PixelBuffer> handOut() const {
        memory->busy.store(true, std::memory_order_relaxed);
        return {&memory->pixels, [memory = memory](const PixelBuffer*) {
                    memory->busy.store(false, std::memory_order_release);
                }};
    }

    const std::shared_ptr<SharedMemory> memory;

private:
    xcb_connection_t* connection_;
    xcb_shm_seg_t seg_ = 0;
};

bool intersects(const xcb_rectangle_t& area, const RootRect& rect) {
    return area.x < rect.x + rect.width && rect.x < area.x + area.width && area.y < rect.y + rect.height &&
           rect.y < area.y + area.height;
}

std::int64_t elapsedTicks(Clock::duration elapsed, Clock::duration period) { return elapsed / period; }

// A warped pointer (XWarpPointer) moves without the raw motion that tells of every other
// move, so the pointer's position is also asked this often.
constexpr auto warpLookInterval = std::chrono::milliseconds(100);

} // namespace

// Everything the capture thread touches on the display server, on a connection of its own.
class X11CaptureStream::Grabber {
public:
    enum class Outcome { complete, idle, skipped, unavailable, broken };

    Grabber(const std::string& displayName, xcb_randr_output_t output) : connection_(displayName), output_(output) {
        requireRandR(connection_);
        if (!connection_.hasExtension(&xcb_shm_id)) throw XError("The display server does not offer MIT-SHM.");
        if (!connection_.hasExtension(&xcb_damage_id)) throw XError("The display server does not offer DAMAGE.");
        if (!connection_.hasExtension(&xcb_xfixes_id)) throw XError("The display server does not offer XFIXES.");
        // Both extensions refuse every request until the client said which version it speaks.
        reply(connection_.get(), xcb_xfixes_query_version_reply, xcb_xfixes_query_version(connection_, 4, 0));
        reply(connection_.get(), xcb_damage_query_version_reply, xcb_damage_query_version(connection_, 1, 1));
        if (connection_.screen()->root_depth != 24 && connection_.screen()->root_depth != 32)
            throw XError("Capture needs a display server with 24-bit colour.");
        const auto rect = displayRect(connection_, output_);
        if (!rect) throw XError("The display to capture is switched off.");
        rect_ = *rect;

        damageEvent_ = xcb_get_extension_data(connection_, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
        randrEvent_ = xcb_get_extension_data(connection_, &xcb_randr_id)->first_event;
        cursorEvent_ = xcb_get_extension_data(connection_, &xcb_xfixes_id)->first_event + XCB_XFIXES_CURSOR_NOTIFY;
        xcb_xfixes_select_cursor_input(connection_, connection_.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
        watchPointerMotion();
        xcb_randr_select_input(connection_, connection_.root(),
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        damage_ = xcb_generate_id(connection_);
        if (check(connection_, xcb_damage_create_checked(connection_, damage_, connection_.root(),
                                                         XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES)))
            throw XError("The display server refused to report changes of the picture.");
    }
    ~Grabber() {
        pool_.clear();
        scratch_.reset();
        xcb_damage_destroy(connection_, damage_);
        xcb_flush(connection_);
    }

    // Redraw everything on the next tick.
    void invalidate() { dirty_ = true; }
    // Whether the picture changed since the last one (or the connection broke), from the
    // events that arrived; cheap, it never waits. A moving pointer counts at most once an
    // interval.
    bool changed() {
        if (!readEvents() || dirty_ || geometryChanged_ || (showsCursor_ && cursorImageStale_)) return true;
        const auto look = pointerLookDue();
        return look && Clock::now() >= *look;
    }
    // When a reported motion of the shown pointer is to be looked at, if one waits.
    std::optional<Clock::time_point> pointerLookDue() const {
        if (!showsCursor_ || !pointerMoved_) return std::nullopt;
        return lastPointerLook_ + period_;
    }
    // Whether every change ends the wait for a tick itself (the pointer's moves need XInput).
    bool reportsEveryChange() const { return inputOpcode_ != 0 || !showsCursor_; }
    int descriptor() const { return xcb_get_file_descriptor(connection_); }

    Outcome grab(const CaptureConfiguration& configuration, CapturedFrame& frame) {
        showsCursor_ = configuration.showsCursor;
        period_ = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) /
                  std::max<std::int64_t>(configuration.refreshRate, 1);
        if (!readEvents()) return Outcome::broken;
        if (geometryChanged_) {
            // Other outputs changing leave this picture alone.
            geometryChanged_ = false;
            const auto rect = displayRect(connection_, output_);
            if (rect.has_value() != lit_ || (rect && *rect != rect_)) dirty_ = true;
            if (rect && *rect != rect_) {
                scratch_.reset();
                rect_ = *rect;
            }
            lit_ = rect.has_value();
        }
        if (connection_.broken()) return Outcome::broken;
        if (!lit_) return Outcome::unavailable;

        const xcb_xfixes_get_cursor_image_reply_t* cursor = configuration.showsCursor ? lookAtPointer() : nullptr;
        if (!dirty_) return Outcome::idle;

        const std::int64_t width = configuration.width > 0 ? configuration.width : rect_.width;
        const std::int64_t height = configuration.height > 0 ? configuration.height : rect_.height;
        preparePool(width, height, std::max(configuration.queueDepth, 1));
        Segment* target = nullptr;
        for (auto& segment : pool_) {
            if (!segment->memory->busy.load(std::memory_order_acquire)) {
                target = segment.get();
                break;
            }
        }
        if (!target) return Outcome::skipped;

        const bool scaled = width != rect_.width || height != rect_.height;
        if (scaled && !scratch_) scratch_ = std::make_unique<Segment>(connection_, rect_.width, rect_.height);
        const Segment& source = scaled ? *scratch_ : *target;

        // Damage reported from here on belongs to the next picture.
        xcb_damage_subtract(connection_, damage_, XCB_NONE, XCB_NONE);
        Error error;
        auto image = reply(connection_.get(), xcb_shm_get_image_reply,
                           xcb_shm_get_image(connection_, connection_.root(), static_cast<std::int16_t>(rect_.x),
                                             static_cast<std::int16_t>(rect_.y),
                                             static_cast<std::uint16_t>(rect_.width),
                                             static_cast<std::uint16_t>(rect_.height), ~0u,
                                             XCB_IMAGE_FORMAT_Z_PIXMAP, source.seg(), 0),
                           &error);
        const auto takenAt = Clock::now();
        if (!image) {
            if (connection_.broken()) return Outcome::broken;
            // The root shrank under the rectangle; read the geometry again.
            geometryChanged_ = true;
            return Outcome::unavailable;
        }
        dirty_ = false;
        if (cursor) {
            compositeCursor({cursor->width, cursor->height, xcb_xfixes_get_cursor_image_cursor_image(cursor)},
                            source.memory->pixels, cursorArea_.x - rect_.x, cursorArea_.y - rect_.y);
        }
        if (scaled) {
            const auto& from = source.memory->pixels;
            const auto& to = target->memory->pixels;
            libyuv::ARGBScale(from.data, static_cast<int>(from.stride), static_cast<int>(from.width),
                              static_cast<int>(from.height), to.data, static_cast<int>(to.stride),
                              static_cast<int>(to.width), static_cast<int>(to.height), libyuv::kFilterBilinear);
        }
        frame = CapturedFrame{target->handOut(), takenAt, true};
        return Outcome::complete;
    }

private:
    // Raw motion tells of every move of the pointer, from any device; without XInput 2
    // the pointer is looked at every tick.
    void watchPointerMotion() {
        if (!connection_.hasExtension(&xcb_input_id)) return;
        auto version = reply(connection_.get(), xcb_input_xi_query_version_reply,
                             xcb_input_xi_query_version(connection_, 2, 2));
        if (!version || version->major_version < 2) return;
        struct {
            xcb_input_event_mask_t head;
            std::uint32_t bits;
        } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
        if (check(connection_, xcb_input_xi_select_events_checked(connection_, connection_.root(), 1, &mask.head)))
            return;
        inputOpcode_ = xcb_get_extension_data(connection_, &xcb_input_id)->major_opcode;
    }

    // The pointer image where it is now, or null when it cannot be had. Its image is read
    // again only when it changed; its position when it moved, or now and then for warps.
    const xcb_xfixes_get_cursor_image_reply_t* lookAtPointer() {
        const auto now = Clock::now();
        xcb_rectangle_t area = cursorArea_;
        if (cursorImageStale_ || !cursorImage_) {
            cursorImageStale_ = false;
            cursorImage_ = reply(connection_.get(), xcb_xfixes_get_cursor_image_reply,
                                 xcb_xfixes_get_cursor_image(connection_));
            if (!cursorImage_) return nullptr;
            area = {static_cast<std::int16_t>(cursorImage_->x - cursorImage_->xhot),
                    static_cast<std::int16_t>(cursorImage_->y - cursorImage_->yhot), cursorImage_->width,
                    cursorImage_->height};
            pointerMoved_ = false;
            lastPointerLook_ = now;
        } else if (inputOpcode_ == 0 || pointerMoved_ || now >= lastPointerLook_ + warpLookInterval) {
            pointerMoved_ = false;
            lastPointerLook_ = now;
            auto pointer = reply(connection_.get(), xcb_query_pointer_reply,
                                 xcb_query_pointer(connection_, connection_.root()));
            if (pointer && pointer->same_screen) {
                area.x = static_cast<std::int16_t>(pointer->root_x - cursorImage_->xhot);
                area.y = static_cast<std::int16_t>(pointer->root_y - cursorImage_->yhot);
            }
        }
        // A pointer moving on another display changes nothing here.
        if ((area.x != cursorArea_.x || area.y != cursorArea_.y || cursorImage_->cursor_serial != cursorSerial_) &&
            (intersects(area, rect_) || intersects(cursorArea_, rect_)))
            dirty_ = true;
        cursorArea_ = area;
        cursorSerial_ = cursorImage_->cursor_serial;
        return cursorImage_.get();
    }

    // False when the connection broke.
    bool readEvents() {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection_)}) {
            const auto type = event->response_type & 0x7f;
            if (type == damageEvent_) {
                const auto& notify = *reinterpret_cast<const xcb_damage_notify_event_t*>(event.get());
                if (intersects(notify.area, rect_)) dirty_ = true;
            } else if (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvent_ + XCB_RANDR_NOTIFY) {
                geometryChanged_ = true;
            } else if (type == cursorEvent_) {
                cursorImageStale_ = true;
            } else if (type == XCB_GE_GENERIC && inputOpcode_ != 0 &&
                       reinterpret_cast<const xcb_ge_generic_event_t*>(event.get())->extension == inputOpcode_) {
                pointerMoved_ = true;
            }
        }
        return !connection_.broken();
    }

    void preparePool(std::int64_t width, std::int64_t height, int depth) {
        if (!pool_.empty() && pool_.front()->memory->pixels.width == width &&
            pool_.front()->memory->pixels.height == height && static_cast<int>(pool_.size()) == depth)
            return;
        // Buffers of the old size that are still held downstream stay valid until released.
        pool_.clear();
        for (int i = 0; i < depth; ++i) pool_.push_back(std::make_unique<Segment>(connection_, width, height));
    }

    Connection connection_;
    xcb_randr_output_t output_;
    RootRect rect_;
    bool lit_ = true;
    bool dirty_ = true;
    bool geometryChanged_ = false;
    std::uint8_t damageEvent_ = 0;
    std::uint8_t randrEvent_ = 0;
    std::uint8_t cursorEvent_ = 0;
    std::uint8_t inputOpcode_ = 0; // XInput's, once raw motion is reported
    xcb_damage_damage_t damage_ = 0;
    bool showsCursor_ = false;
    Clock::duration period_ = std::chrono::seconds(1);
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursorImage_; // the last one read
    bool cursorImageStale_ = true;
    bool pointerMoved_ = true;
    Clock::time_point lastPointerLook_;
    xcb_rectangle_t cursorArea_{}; // where the pointer image was at the last look
    std::uint32_t cursorSerial_ = 0;
    std::vector<std::unique_ptr<Segment>> pool_;
    std::unique_ptr<Segment> scratch_; // the display's own size, when frames are scaled
};

X11CaptureStream::X11CaptureStream(const std::string& displayName, std::uint32_t output,
                                   const CaptureConfiguration& configuration, ScreenCapture::FrameHandler onFrame,
                                   ScreenCapture::ErrorHandler onError)
    : grabber_(std::make_unique<Grabber>(displayName, output)), onFrame_(std::move(onFrame)),
      onError_(std::move(onError)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), configuration_(configuration) {
    if (!wake_) throw std::system_error(errno, std::generic_category(), "eventfd");
    thread_ = std::thread([this] { run(); });
    pthread_setname_np(thread_.native_handle(), "capture");
}

X11CaptureStream::~X11CaptureStream() {
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
    }
    wake();
    thread_.join();
}

void X11CaptureStream::update(const CaptureConfiguration& configuration) {
    {
        std::lock_guard lock(lock_);
        configuration_ = configuration;
        configurationChanged_ = true;
    }
    wake();
}

// Waits for the tick `due`; a change of the picture ends the wait at once, though not
// before `earliest`. False when woken by stop() or update() instead.
bool X11CaptureStream::waitForTick(Clock::time_point due, Clock::time_point earliest) {
    for (;;) {
        const auto now = Clock::now();
        if (now >= due) return true;
        // Events may wait in xcb's queue already, read along with a reply.
        const bool changed = grabber_->changed();
        if (changed && now >= earliest) return true;
        auto until = changed ? std::min(due, earliest) : due;
        // A moving pointer is looked at once an interval, without waiting for the tick.
        if (const auto look = grabber_->pointerLookDue(); look && !changed) until = std::min(until, *look);
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
        const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                               static_cast<long>(wait.count() % 1'000'000'000)};
        // A known change needs no more reading until it is due.
        pollfd watched[2] = {{changed ? -1 : grabber_->descriptor(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::ppoll(watched, 2, &timeout, nullptr) < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "ppoll");
        if (watched[1].revents != 0) {
            std::uint64_t count = 0;
            static_cast<void>(::read(wake_.get(), &count, sizeof count));
            return false;
        }
    }
}

void X11CaptureStream::wake() {
    const std::uint64_t one = 1;
    static_cast<void>(::write(wake_.get(), &one, sizeof one));
}

X11CaptureCounts X11CaptureStream::counts() const {
    return {completeFrames_.load(), idleFrames_.load(), skippedTicks_.load()};
}

void X11CaptureStream::run() {
    CaptureConfiguration configuration;
    {
        std::lock_guard lock(lock_);
        configuration = configuration_;
        configurationChanged_ = false;
    }
    auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) /
                  std::max<std::int64_t>(configuration.refreshRate, 1);
    auto origin = Clock::now();
    std::int64_t tick = 0;
    CapturePace pace(period); // of the pictures taken or tried
    std::int64_t skippedSinceReport = 0;
    auto lastReport = Clock::time_point{};
    try {
        for (;;) {
            {
                std::lock_guard lock(lock_);
                if (stopping_) return;
                if (std::exchange(configurationChanged_, false)) {
                    configuration = configuration_;
                    grabber_->invalidate();
                    period = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) /
                             std::max<std::int64_t>(configuration.refreshRate, 1);
                    origin = Clock::now();
                    tick = 0;
                    pace = CapturePace(period);
                }
            }
            if (!waitForTick(origin + tick * period, pace.earliest())) continue;
            // A change before the tick starts the grid again from its picture.
            const auto now = Clock::now();
            if (now < origin + tick * period) {
                origin = now;
                tick = 0;
            }
            // Ticks missed while late are dropped rather than caught up.
            tick = std::max(tick + 1, elapsedTicks(now - origin, period) + 1);

            CapturedFrame frame;
            const auto outcome = grabber_->grab(configuration, frame);
            if (outcome != Grabber::Outcome::idle) {
                pace.took(now);
            } else if (grabber_->reportsEveryChange()) {
                // Changes end the wait themselves, so a still picture needs ticks only as
                // often as a warped pointer is looked for.
                tick = std::max(tick, (now + warpLookInterval - origin + period - Clock::duration(1)) / period);
            }
            switch (outcome) {
            case Grabber::Outcome::complete:
                ++completeFrames_;
                onFrame_(frame);
                break;
            case Grabber::Outcome::idle:
                ++idleFrames_;
                onFrame_(CapturedFrame{nullptr, Clock::now(), false});
                break;
            case Grabber::Outcome::skipped:
                ++skippedTicks_;
                ++skippedSinceReport;
                if (Clock::now() - lastReport > std::chrono::seconds(10)) {
                    log::plain("Tavelin capture: ", skippedSinceReport, " pictures skipped, every buffer is still in use");
                    skippedSinceReport = 0;
                    lastReport = Clock::now();
                }
                break;
            case Grabber::Outcome::unavailable:
                break;
            case Grabber::Outcome::broken:
                onError_(lostConnection);
                return;
            }
        }
    } catch (const std::exception& error) {
        onError_(error.what());
    }
}

X11ScreenCapture::X11ScreenCapture(std::string displayName)
    : displayName_(std::move(displayName)), connection_(std::make_unique<Connection>(displayName_)) {
    requireRandR(*connection_);
}

X11ScreenCapture::~X11ScreenCapture() = default;

std::vector<CaptureDisplay> X11ScreenCapture::shareableDisplays() {
    std::lock_guard lock(lock_);
    if (connection_->broken()) throw XError(lostConnection);
    std::vector<CaptureDisplay> displays;
    for (const auto& lit : litOutputRects(*connection_)) displays.push_back({lit.output, lit.rect.width, lit.rect.height});
    for (const auto& [name, rect] : outputlessMonitors(*connection_)) displays.push_back({name, rect.width, rect.height});
    return displays;
}

std::unique_ptr<CaptureStream> X11ScreenCapture::start(const CaptureDisplay& display,
                                                       const CaptureConfiguration& configuration,
                                                       FrameHandler onFrame, ErrorHandler onError) {
    if (connectionLost_) {
        onError = [lost = connectionLost_, onError = std::move(onError)](const std::string& message) {
            if (message != lostConnection) return onError(message);
            lost([onError, message] { onError(message); });
        };
    }
    return std::make_unique<X11CaptureStream>(displayName_, display.id, configuration, std::move(onFrame),
                                              std::move(onError));
}

} // namespace tavelin::x11
