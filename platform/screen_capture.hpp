#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/display_services.hpp"

namespace tavelin {

// A display the capture facility can see.
struct CaptureDisplay {
    DisplayID id = nullDisplay;
    std::int64_t width = 0;  // pixels
    std::int64_t height = 0;
};

struct CaptureConfiguration {
    std::int64_t width = 0;        // the frame size delivered; the picture is scaled to it
    std::int64_t height = 0;
    std::int64_t refreshRate = 60; // frames per second at most
    int queueDepth = 3;            // buffers that may be held downstream at once
    bool showsCursor = true;
    friend bool operator==(const CaptureConfiguration&, const CaptureConfiguration&) = default;
};

// The pixels of one captured picture, 4 bytes a pixel in memory order B, G, R, X.
// Frames are handed out as shared_ptr<const PixelBuffer>: the buffer belongs to the
// capture's pool, and releasing the last reference gives it back, so holding a frame
// longer than needed makes capture skip pictures.
struct PixelBuffer {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t stride = 0; // bytes a row
    std::uint8_t* data = nullptr;
};

struct CapturedFrame {
    // Empty for an idle frame.
    std::shared_ptr<const PixelBuffer> buffer;
    // When the picture was taken, on the host clock (steady_clock, CLOCK_MONOTONIC).
    std::chrono::steady_clock::time_point presentationTime;
    // False for an idle frame: nothing changed on the display since the last picture.
    bool complete = true;
};

class CaptureStream {
public:
    virtual ~CaptureStream() = default; // stops capturing; no callback runs after it returns
    // Applies a new configuration (the pointer shown or not, for instance) without a restart.
    virtual void update(const CaptureConfiguration& configuration) = 0;
};

// Captures the picture of one display on a thread of its own.
class ScreenCapture {
public:
    using FrameHandler = std::function<void(const CapturedFrame&)>;
    using ErrorHandler = std::function<void(const std::string& message)>;

    virtual ~ScreenCapture() = default;
    // The displays capture can see now; throws (std::runtime_error) when it cannot ask.
    virtual std::vector<CaptureDisplay> shareableDisplays() = 0;
    // Frames arrive on the capture thread. `onError` is called there, once, when the
    // stream stops because of an error; no frame follows it. Throws when capture cannot
    // start.
    virtual std::unique_ptr<CaptureStream> start(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                                 FrameHandler onFrame, ErrorHandler onError) = 0;
};

} // namespace tavelin
