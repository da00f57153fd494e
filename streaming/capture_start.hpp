#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/display_configuration.hpp"
#include "engine/task.hpp"
#include "engine/timing.hpp"
#include "platform/display_services.hpp"
#include "platform/screen_capture.hpp"
#include "platform/video_sink.hpp"
#include "streaming/capture_output.hpp"

namespace tavelin {

// What a running capture consists of; the session keeps all three until it stops.
struct StartedCapture {
    std::unique_ptr<CaptureStream> stream;
    std::shared_ptr<CaptureOutput> output;
    CaptureConfiguration configuration;
};

struct CaptureRequest {
    DisplayID display = nullDisplay;
    DisplayConfiguration configuration;
    bool showsCursor = true;
};

// Finds the display (or the display it mirrors) among those capture can see, then
// starts capturing it into `sink`. Runs on the engine. `onFailure` is called on the
// engine when the stream later stops with an error; it must check itself that its
// owner still exists. Throws StreamError when the display never shows up, and the
// capture facility's own errors unchanged.
Task<StartedCapture> startCapture(ScreenCapture& capture, DisplayServices& displays, CaptureRequest request,
                                  std::shared_ptr<VideoSink> sink, std::function<void(std::string)> onFailure,
                                  Timings timings = {});

} // namespace tavelin
