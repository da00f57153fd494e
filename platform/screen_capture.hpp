#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "platform/display_services.hpp"

namespace tavelin {

// A display the capture facility can see.
struct CaptureDisplay {
    DisplayID id = nullDisplay;
    std::int64_t width = 0;
    std::int64_t height = 0;
};

struct CaptureConfiguration {
    std::int64_t width = 0;        // the frame size delivered
    std::int64_t height = 0;
    std::int64_t refreshRate = 60; // frames per second at most
    int queueDepth = 3;            // buffers in flight
    bool showsCursor = true;
};

// One captured picture, valid only during the callback that delivers it.
struct CapturedFrame {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::span<const std::uint8_t> pixels; // BGRA, `stride` bytes a row
    std::int64_t stride = 0;
    std::chrono::steady_clock::time_point capturedAt;
    bool complete = true;                 // false for an idle frame (nothing changed)
};

class CaptureStream {
public:
    virtual ~CaptureStream() = default; // stops capturing
    // Applies a new configuration (the pointer shown or not, for instance) without a restart.
    virtual void update(const CaptureConfiguration& configuration) = 0;
};

// Captures the picture of one display on a thread of its own.
class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;
    // The displays capture can see now; throws std::system_error when it cannot ask.
    virtual std::vector<CaptureDisplay> shareableDisplays() = 0;
    // Frames arrive on the capture thread. Throws std::system_error when capture cannot start.
    virtual std::unique_ptr<CaptureStream> start(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                                 std::function<void(const CapturedFrame&)> onFrame) = 0;
};

} // namespace tavelin
