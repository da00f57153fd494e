#include "platform/gnome/pipewire_stream.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "core/log.hpp"
#include "platform/cursor_image.hpp"

namespace tavelin::gnome {

namespace {

using Clock = std::chrono::steady_clock;

// Room for the pointer's metadata with an image of up to 384 × 384, mutter's largest.
constexpr int cursorMetaSize(int width, int height) {
    return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + width * height * 4;
}

// Pool pictures beyond the frames downstream may hold: the last picture, which we keep
// to redraw the pointer on and to hand a new consumer, and the one being filled.
constexpr int spareFrames = 2;

struct Picture {
    std::vector<std::uint8_t> bytes;
    PixelBuffer pixels;
    std::atomic<bool> busy{false};
};

// The pixels the pointer covers in the last picture, put back before it is drawn elsewhere.
struct Patch {
    std::int64_t x = 0, y = 0, width = 0, height = 0;
    std::vector<std::uint32_t> pixels;
};

struct Pointer {
    bool onDisplay = false;
    std::int32_t x = 0, y = 0; // the hotspot, in stream pixels
    std::int32_t hotX = 0, hotY = 0;
    std::int32_t width = 0, height = 0;
    std::vector<std::uint32_t> image; // premultiplied ARGB, native order
};

struct ThreadLoopLock {
    explicit ThreadLoopLock(pw_thread_loop* loop) : loop(loop) { pw_thread_loop_lock(loop); }
    ~ThreadLoopLock() { pw_thread_loop_unlock(loop); }
    ThreadLoopLock(const ThreadLoopLock&) = delete;
    ThreadLoopLock& operator=(const ThreadLoopLock&) = delete;
    pw_thread_loop* loop;
};

// mutter's pointer images are RGBA (bytes R, G, B, A) or BGRA, premultiplied.
std::vector<std::uint32_t> nativeARGB(const spa_meta_bitmap& bitmap) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&bitmap) + bitmap.offset;
    const auto width = bitmap.size.width, height = bitmap.size.height;
    std::vector<std::uint32_t> image(static_cast<std::size_t>(width) * height);
    const bool rgba = bitmap.format == SPA_VIDEO_FORMAT_RGBA;
    for (std::uint32_t row = 0; row < height; ++row) {
        const std::uint8_t* p = bytes + static_cast<std::size_t>(row) * static_cast<std::size_t>(bitmap.stride);
        for (std::uint32_t column = 0; column < width; ++column, p += 4) {
            const std::uint32_t red = rgba ? p[0] : p[2], blue = rgba ? p[2] : p[0];
            image[row * width + column] = std::uint32_t{p[3]} << 24 | red << 16 | std::uint32_t{p[1]} << 8 | blue;
        }
    }
    return image;
}

} // namespace

struct PipeWireStream::State {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};

    // Everything below is touched with the thread loop's lock held: PipeWire calls us
    // with it, the public functions take it.
    std::int32_t width = 0, height = 0;
    bool streaming = false;
    bool broken = false;
    bool closing = false; // our own ending is no breakage
    FrameHandler onFrame;
    std::function<void()> onError;
    PointerHandler onPointer;
    bool showsCursor = false;
    int queueDepth = 3;
    std::vector<std::shared_ptr<Picture>> pool;
    std::shared_ptr<const PixelBuffer> last; // held, so its picture stays ours
    Patch under;
    Pointer pointer;
    std::int64_t skipped = 0;

    std::shared_ptr<Picture> freePicture() {
        for (auto& picture : pool) {
            if (!picture->busy.load(std::memory_order_acquire)) return picture;
        }
        if (static_cast<int>(pool.size()) >= queueDepth + spareFrames) return nullptr;
        auto picture = std::make_shared<Picture>();
        picture->bytes.resize(static_cast<std::size_t>(width) * height * 4);
        picture->pixels = {width, height, std::int64_t{width} * 4, picture->bytes.data()};
        pool.push_back(picture);
        return picture;
    }

    static std::shared_ptr<const PixelBuffer> handOut(const std::shared_ptr<Picture>& picture) {
        picture->busy.store(true, std::memory_order_relaxed);
        return {&picture->pixels, [picture](const PixelBuffer*) { picture->busy.store(false, std::memory_order_release); }};
    }

    void restoreUnder(const PixelBuffer& target) {
        for (std::int64_t row = 0; row < under.height; ++row) {
            std::memcpy(target.data + (under.y + row) * target.stride + under.x * 4,
                        under.pixels.data() + row * under.width, static_cast<std::size_t>(under.width) * 4);
        }
        under.width = under.height = 0;
    }

    void drawPointer(const PixelBuffer& target) {
        if (!showsCursor || !pointer.onDisplay || pointer.image.empty()) return;
        const std::int64_t left = pointer.x - pointer.hotX, top = pointer.y - pointer.hotY;
        under.x = std::clamp<std::int64_t>(left, 0, target.width);
        under.y = std::clamp<std::int64_t>(top, 0, target.height);
        under.width = std::clamp<std::int64_t>(left + pointer.width, 0, target.width) - under.x;
        under.height = std::clamp<std::int64_t>(top + pointer.height, 0, target.height) - under.y;
        under.pixels.resize(static_cast<std::size_t>(under.width * under.height));
        for (std::int64_t row = 0; row < under.height; ++row) {
            std::memcpy(under.pixels.data() + row * under.width, target.data + (under.y + row) * target.stride + under.x * 4,
                        static_cast<std::size_t>(under.width) * 4);
        }
        compositeCursor({pointer.width, pointer.height, pointer.image.data()}, target, left, top);
    }

    // A new picture from `source`, or (source nullptr) the last one with the pointer drawn
    // as it is now.
    void present(const std::uint8_t* source, std::int64_t stride) {
        if (!source && !last) return;
        const auto picture = freePicture();
        if (!picture) {
            if (++skipped == 1 || skipped % 600 == 0)
                log::error("GNOME capture: ", skipped, " pictures dropped, every frame still held downstream");
            return;
        }
        const PixelBuffer& target = picture->pixels;
        const std::uint8_t* from = source ? source : last->data;
        const std::int64_t fromStride = source ? stride : last->stride;
        for (std::int64_t row = 0; row < height; ++row) {
            std::memcpy(target.data + row * target.stride, from + row * fromStride, static_cast<std::size_t>(width) * 4);
        }
        if (source) under.width = under.height = 0;
        else restoreUnder(target);
        drawPointer(target);
        last = handOut(picture);
        if (onFrame) onFrame(CapturedFrame{last, Clock::now(), true});
    }

    // Whether the pointer looks different on the display now.
    bool readPointer(spa_buffer* buffer) {
        const auto* meta = static_cast<const spa_meta_cursor*>(spa_buffer_find_meta_data(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
        if (!meta) return false;
        if (!spa_meta_cursor_is_valid(meta)) {
            const bool was = pointer.onDisplay;
            pointer.onDisplay = false;
            return was;
        }
        bool changed = !pointer.onDisplay || pointer.x != meta->position.x || pointer.y != meta->position.y;
        const bool moved = changed;
        pointer.onDisplay = true;
        pointer.x = meta->position.x;
        pointer.y = meta->position.y;
        if (meta->bitmap_offset >= sizeof(spa_meta_cursor)) {
            const auto* bitmap = reinterpret_cast<const spa_meta_bitmap*>(reinterpret_cast<const std::uint8_t*>(meta) + meta->bitmap_offset);
            // An empty image is a hidden pointer.
            const bool usable = bitmap->size.width > 0 && bitmap->size.height > 0 && bitmap->size.width <= 1024 &&
                                bitmap->size.height <= 1024 &&
                                (bitmap->format == SPA_VIDEO_FORMAT_RGBA || bitmap->format == SPA_VIDEO_FORMAT_BGRA);
            pointer.image = usable ? nativeARGB(*bitmap) : std::vector<std::uint32_t>{};
            pointer.width = usable ? static_cast<std::int32_t>(bitmap->size.width) : 0;
            pointer.height = usable ? static_cast<std::int32_t>(bitmap->size.height) : 0;
            pointer.hotX = meta->hotspot.x;
            pointer.hotY = meta->hotspot.y;
            changed = true;
        }
        if (moved && onPointer) onPointer(pointer.x, pointer.y);
        return changed;
    }

    static bool carriesPicture(const spa_buffer* buffer) {
        if (buffer->n_datas == 0) return false;
        const spa_data& data = buffer->datas[0];
        return data.data && data.chunk && data.chunk->size > 0 && !(data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
    }

    void process() {
        // Of the buffers waiting, only the newest picture matters. mutter also sends
        // buffers that carry only the pointer: one of those must not hide an older picture,
        // which on a still display would be the last one for a long time.
        pw_buffer* picked = nullptr;
        bool pointerChanged = false;
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
            pointerChanged = readPointer(next->buffer) || pointerChanged;
            if (width > 0 && carriesPicture(next->buffer)) {
                if (picked) pw_stream_queue_buffer(stream, picked);
                picked = next;
            } else {
                pw_stream_queue_buffer(stream, next);
            }
        }
        if (picked) {
            const spa_data& data = picked->buffer->datas[0];
            const std::int64_t stride = data.chunk->stride > 0 ? data.chunk->stride : std::int64_t{width} * 4;
            present(static_cast<const std::uint8_t*>(data.data) + data.chunk->offset, stride);
            pw_thread_loop_signal(loop, false);
            pw_stream_queue_buffer(stream, picked);
        } else if (pointerChanged && showsCursor) {
            present(nullptr, 0);
        }
    }

    void formatChanged(const spa_pod* param) {
        std::uint32_t mediaType = 0, mediaSubtype = 0;
        spa_video_info_raw info{};
        if (!param || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
            mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0) {
            return;
        }
        log::info("The display's video is ", info.size.width, " x ", info.size.height, " at most ",
                  info.max_framerate.num, "/", info.max_framerate.denom, " a second");
        if (static_cast<std::int32_t>(info.size.width) != width || static_cast<std::int32_t>(info.size.height) != height) {
            width = static_cast<std::int32_t>(info.size.width);
            height = static_cast<std::int32_t>(info.size.height);
            pool.clear();
            last.reset();
            under = {};
        }
        std::uint8_t storage[1024];
        spa_pod_builder builder;
        spa_pod_builder_init(&builder, storage, sizeof storage);
        const spa_pod* params[3];
        spa_pod_frame frame;
        spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
        spa_pod_builder_add(&builder, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
                            SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                            SPA_PARAM_BUFFERS_dataType,
                            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)), 0);
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
        spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
        spa_pod_builder_add(&builder, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                            SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header))), 0);
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
        spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
        spa_pod_builder_add(&builder, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
                            SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64, 64), cursorMetaSize(1, 1), cursorMetaSize(384, 384)),
                            0);
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
        pw_stream_update_params(stream, params, 3);
    }

    void stateChanged(pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_STREAMING) streaming = true;
        const bool ended = state == PW_STREAM_STATE_ERROR || (streaming && state == PW_STREAM_STATE_UNCONNECTED);
        if (!ended || broken || closing) return;
        broken = true;
        log::error("GNOME capture: the display's video stopped", error ? std::string(": ") + error : std::string());
        if (onError) onError();
        pw_thread_loop_signal(loop, false);
    }

    bool connect(std::uint32_t node, std::int32_t width, std::int32_t height, std::int32_t rate) {
        ThreadLoopLock lock(loop);
        core = pw_context_connect(context, nullptr, 0);
        if (!core) return false;
        stream = pw_stream_new(core, "Tavelin",
                               pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        if (!stream) return false;
        pw_stream_add_listener(stream, &listener, &events, this);
        // The virtual monitor takes the size and rate we ask for.
        std::uint8_t storage[1024];
        spa_pod_builder builder;
        spa_pod_builder_init(&builder, storage, sizeof storage);
        const spa_rectangle size{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
        // A fixed rate: offered as a range, it would be fixated at mutter's default (60).
        const spa_fraction variable{0, 1}, most{static_cast<std::uint32_t>(rate), 1};
        spa_pod_frame frame;
        spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
        spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                            SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
                            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
                            SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate,
                            SPA_POD_Fraction(&most), 0);
        const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
        return pw_stream_connect(stream, PW_DIRECTION_INPUT, node,
                                 static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                 &format, 1) == 0;
    }

    // Ends the stream; no callback runs after it returns.
    void close() {
        {
            ThreadLoopLock lock(loop);
            closing = true;
            if (stream) pw_stream_destroy(stream);
            if (core) pw_core_disconnect(core);
            stream = nullptr;
            core = nullptr;
        }
        pw_thread_loop_stop(loop);
        pw_context_destroy(context);
        pw_thread_loop_destroy(loop);
    }

    static const pw_stream_events events;
};

const pw_stream_events PipeWireStream::State::events = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* self, pw_stream_state, pw_stream_state state, const char* error) {
        static_cast<State*>(self)->stateChanged(state, error);
    };
    events.param_changed = [](void* self, std::uint32_t id, const spa_pod* param) {
        if (id == SPA_PARAM_Format) static_cast<State*>(self)->formatChanged(param);
    };
    events.process = [](void* self) { static_cast<State*>(self)->process(); };
    return events;
}();

PipeWireStream::PipeWireStream(std::uint32_t node, std::int32_t width, std::int32_t height, std::int32_t rate)
    : state_(std::make_unique<State>()) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    State& s = *state_;
    s.loop = pw_thread_loop_new("tavelin-capture", nullptr);
    if (!s.loop) throw std::runtime_error("Could not read the display's video: no PipeWire loop.");
    s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
    if (!s.context || pw_thread_loop_start(s.loop) < 0) {
        if (s.context) pw_context_destroy(s.context);
        pw_thread_loop_destroy(s.loop);
        throw std::runtime_error("Could not read the display's video: PipeWire did not start.");
    }
    if (!s.connect(node, width, height, rate)) {
        s.close();
        throw std::runtime_error("Could not read the display's video: PipeWire refused the stream.");
    }
}

PipeWireStream::~PipeWireStream() { state_->close(); }

void PipeWireStream::setFrameHandler(FrameHandler handler, std::function<void()> onError, bool showsCursor,
                                     int queueDepth) {
    State& s = *state_;
    ThreadLoopLock lock(s.loop);
    s.onFrame = std::move(handler);
    s.onError = std::move(onError);
    s.queueDepth = std::max(queueDepth, 1);
    if (!s.onFrame) return;
    if (s.broken) {
        if (s.onError) s.onError();
        return;
    }
    // A still display sends nothing new: its last picture comes first.
    if (showsCursor != s.showsCursor) {
        s.showsCursor = showsCursor;
        s.present(nullptr, 0);
    } else if (s.last) {
        s.onFrame(CapturedFrame{s.last, Clock::now(), true});
    }
}

void PipeWireStream::showCursor(bool shown) {
    State& s = *state_;
    ThreadLoopLock lock(s.loop);
    if (shown == s.showsCursor) return;
    s.showsCursor = shown;
    s.present(nullptr, 0);
}

void PipeWireStream::setPointerHandler(PointerHandler handler) {
    State& s = *state_;
    ThreadLoopLock lock(s.loop);
    s.onPointer = std::move(handler);
}

} // namespace tavelin::gnome
