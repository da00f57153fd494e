#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.hpp"
#include "platform/screen_capture.hpp"

namespace tavelin::x11 {

class Connection;

// Screen capture on X11: each display is a lit RandR output (its ID is the output's
// XID), captured with MIT-SHM from its rectangle of the root window.
class X11ScreenCapture final : public ScreenCapture {
public:
    // `displayName` empty means $DISPLAY. Throws XError when the server lacks RandR 1.5.
    explicit X11ScreenCapture(std::string displayName = {});
    ~X11ScreenCapture() override;

    std::vector<CaptureDisplay> shareableDisplays() override;
    // Throws XError when the server lacks MIT-SHM, DAMAGE or XFIXES, or the display is
    // not shown; std::system_error when shared memory cannot be had.
    std::unique_ptr<CaptureStream> start(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                         FrameHandler onFrame, ErrorHandler onError) override;
    // Called on the capture thread when a stream lost its connection, with the report to
    // the stream's error handler, which the hook calls (on any thread) unless the server's
    // end is told otherwise. Set before the first start.
    using LossHook = std::function<void(std::function<void()> report)>;
    void onConnectionLost(LossHook hook) { connectionLost_ = std::move(hook); }

private:
    std::string displayName_;
    LossHook connectionLost_;
    std::mutex lock_;
    std::unique_ptr<Connection> connection_;
};

// Counts of one stream since it started, readable from any thread.
struct X11CaptureCounts {
    std::int64_t completeFrames = 0;
    std::int64_t idleFrames = 0;
    // Ticks without a picture because every pool buffer was still held downstream.
    std::int64_t skippedTicks = 0;
};

// One running capture. A thread of its own wakes at the configured rate (steady clock,
// ticks on a fixed grid so that lateness does not add up), and between ticks as soon as
// the picture changes, though never sooner than one interval after the last picture (the
// grid then starts again from the new one). While nothing changes it wakes about ten
// times a second only. The pointer's image is read when XFIXES says it changed, its
// position when XInput reports motion and at those slow ticks (a warp reports none).
// It delivers:
// - a complete frame when the display's rectangle was damaged since the last picture,
//   the pointer moved or changed while shown, the configuration changed, or the
//   display's geometry changed;
// - an idle frame (complete false, no buffer) otherwise, without reading any pixels;
// - nothing while the output is switched off, or when all pool buffers are held.
// A broken connection ends the stream through the error handler.
class X11CaptureStream final : public CaptureStream {
public:
    X11CaptureStream(const std::string& displayName, std::uint32_t output, const CaptureConfiguration& configuration,
                     ScreenCapture::FrameHandler onFrame, ScreenCapture::ErrorHandler onError);
    ~X11CaptureStream() override;

    void update(const CaptureConfiguration& configuration) override;
    X11CaptureCounts counts() const;

    class Grabber;

private:
    using Clock = std::chrono::steady_clock;
    void run();
    bool waitForTick(Clock::time_point due, Clock::time_point earliest);
    void wake();

    std::unique_ptr<Grabber> grabber_;
    ScreenCapture::FrameHandler onFrame_;
    ScreenCapture::ErrorHandler onError_;
    UniqueFd wake_; // an eventfd: stopping and update() interrupt the wait for a tick

    mutable std::mutex lock_;
    bool stopping_ = false;
    CaptureConfiguration configuration_;
    bool configurationChanged_ = false;

    std::atomic<std::int64_t> completeFrames_{0};
    std::atomic<std::int64_t> idleFrames_{0};
    std::atomic<std::int64_t> skippedTicks_{0};

    std::thread thread_;
};

} // namespace tavelin::x11
