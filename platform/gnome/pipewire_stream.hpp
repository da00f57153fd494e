#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "platform/screen_capture.hpp"

namespace tavelin::gnome {

// A consumer of one PipeWire video node of mutter's screen cast, on a PipeWire thread loop
// of its own, connected to the session's PipeWire daemon. It asks for the given size in
// BGRx or BGRA at a variable rate (0/1) of at most `rate` pictures a second, in memfd or
// shared-memory buffers, with the pointer as metadata (position and image) rather than
// drawn in.
//
// A buffer without picture data carries only a pointer update. Each picture is copied
// out of PipeWire's buffer at once, so that mutter never waits for us, into a pool of
// our own; the pointer image is drawn onto that copy when it is shown and on the
// display, and a pointer update redraws the last picture. No new buffer means the
// display did not change: the stream delivers nothing then (idle).
class PipeWireStream {
public:
    using FrameHandler = std::function<void(const CapturedFrame&)>;
    // The pointer's hotspot moved on the display (stream pixels), or came onto it.
    using PointerHandler = std::function<void(std::int32_t x, std::int32_t y)>;

    // Throws std::runtime_error when PipeWire cannot be reached.
    PipeWireStream(std::uint32_t node, std::int32_t width, std::int32_t height, std::int32_t rate);
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Each new picture, on the PipeWire thread; the last one comes first, on the caller's
    // thread. An empty handler stops them. Returns once no call of the previous handler
    // runs any more. `onError` is called once, there, when the stream breaks.
    void setFrameHandler(FrameHandler handler, std::function<void()> onError, bool showsCursor, int queueDepth);
    // Draws the pointer or leaves it out from now on; the last picture comes again.
    void showCursor(bool shown);
    void setPointerHandler(PointerHandler handler);

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace tavelin::gnome
