#pragma once

#include <cstdint>
#include <memory>

#include "platform/video_sink.hpp"

namespace tavelin {

// A small floating window on the host computer that shows the very frames being sent.
// Its operations are called on the engine; frames arrive through the VideoSink side on
// the latest-frame delivery thread and must not be held longer than it takes to show
// them (the buffers belong to the capture's pool).
class Preview : public VideoSink {
public:
    // Brings the window to the front without taking the keyboard focus; centred the
    // first time.
    virtual void show() = 0;
    // False once the user closed the window with its own button (it is only hidden then)
    // and before the first show.
    virtual bool isVisible() const = 0;
    // Removes the window for good; frames delivered afterwards are dropped.
    virtual void close() = 0;
};

// Makes previews; absent where no window can be shown on this computer.
class PreviewFactory {
public:
    virtual ~PreviewFactory() = default;
    // A hidden preview whose picture keeps the aspect ratio width : height.
    virtual std::shared_ptr<Preview> create(std::int64_t width, std::int64_t height) = 0;
};

} // namespace tavelin
