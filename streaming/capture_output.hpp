#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/timing.hpp"
#include "platform/screen_capture.hpp"
#include "platform/video_sink.hpp"

namespace tavelin {

namespace impl {
class SerialQueue;
}

// The capture stream's output: takes the frames of the capture thread and hands only
// the newest one to the video sink on its own "latest-frame" delivery thread. A frame
// that waited longer than Timings::frameMaximumAge is dropped instead of sent late, and
// while the screen is static the last picture can be sent again. A picture that stays
// still for Timings::stillBeforeRefinement is sent again as a few refinement frames, for
// the encoder to sharpen. Always held in a shared_ptr (see create); delivery jobs hold
// it weakly.
class CaptureOutput : public std::enable_shared_from_this<CaptureOutput> {
    struct Passkey {};

public:
    // The host clock; steady_clock (CLOCK_MONOTONIC) unless a test drives time by hand.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static std::shared_ptr<CaptureOutput> create(std::shared_ptr<VideoSink> sink, const Timings& timings = {},
                                                 Clock clock = {});
    CaptureOutput(Passkey, std::shared_ptr<VideoSink> sink, const Timings& timings, Clock clock);
    ~CaptureOutput();
    CaptureOutput(const CaptureOutput&) = delete;
    CaptureOutput& operator=(const CaptureOutput&) = delete;

    // Called with the error's message when the stream stops with an error, on the
    // capture thread. Set it before the stream starts.
    std::function<void(const std::string&)> onFailure;

    // A frame from the capture thread. Idle frames and frames without pixels are ignored.
    void captured(const CapturedFrame& frame);
    // The stream stopped with an error.
    void stopped(const std::string& message);
    // Sends the last picture again, stamped now: always when forced, else only when no
    // frame came for Timings::staticRefresh. A frame waiting for delivery is never replaced.
    void refreshStaticFrame(bool force);
    // "capturedFrames", "captureWidth", "captureHeight", "lastCaptureTime" (seconds, host
    // clock), "replacedCaptureFrames", "staleCaptureFrames", "captureAgeMS".
    nlohmann::json metrics() const;
    // Returns once every frame accepted before the call was delivered or dropped. Never
    // call it from the sink.
    void waitForDelivery();

private:
    void queueDelivery();
    void deliverLatest();
    std::function<void()> refineJob(std::int64_t picture);
    void refine(std::int64_t picture);

    const std::shared_ptr<VideoSink> sink_;
    const Timings timings_;
    const Clock clock_;

    mutable std::mutex metricsLock_;
    std::int64_t frameCount_ = 0;
    std::int64_t captureWidth_ = 0;
    std::int64_t captureHeight_ = 0;
    double lastFrameTime_ = 0; // seconds
    std::optional<VideoFrame> pendingFrame_;
    std::optional<VideoFrame> latestFrame_;
    std::int64_t lastDeliveredTimestamp_ = 0; // delivery thread only
    std::int64_t refined_ = 0;                // the last picture (frameCount_) sharpened
    int refinementsLeft_ = 0;                 // delivery thread only
    bool draining_ = false;
    std::int64_t replacedFrames_ = 0;
    std::int64_t staleFrames_ = 0;
    double captureAgeMS_ = 0;

    std::unique_ptr<impl::SerialQueue> deliveryQueue_;
};

} // namespace tavelin
