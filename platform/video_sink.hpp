#pragma once

#include <cstdint>
#include <memory>

#include "platform/screen_capture.hpp"

namespace tavelin {

// One picture for the encoder: the captured buffer itself, never a copy.
struct VideoFrame {
    std::shared_ptr<const PixelBuffer> buffer;
    std::int64_t timestampNS = 0; // host clock; strictly increasing along one sink
    int rotation = 0;             // degrees
    // The unchanged picture sent again to be sharpened: worth more bits than a frame.
    bool refinement = false;
};

// Where captured pictures go: the session's video source, which feeds the encoder.
class VideoSink {
public:
    virtual ~VideoSink() = default;
    // The size and rate of the frames that will follow; called once before capture starts.
    virtual void adaptOutputFormat(std::int64_t width, std::int64_t height, std::int64_t framesPerSecond) = 0;
    // Called on the latest-frame delivery thread, one frame at a time.
    virtual void deliver(VideoFrame frame) = 0;
};

} // namespace tavelin
