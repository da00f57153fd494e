#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "core/frame_rate_cap.hpp"
#include "core/yuv_conversion.hpp"
#include "platform/gstreamer/gst_handles.hpp"
#include "platform/video_sink.hpp"

namespace tavelin::gst {

// Counters kept at the encoder's input and output on the streaming threads, read by the
// peer's statistics() under the mutex.
struct EncoderFigures {
    using Clock = std::chrono::steady_clock;

    std::mutex mutex;
    std::int64_t framesEncoded = 0;
    std::int64_t keyFramesEncoded = 0;
    std::int64_t bytesEncoded = 0;
    std::int64_t framesSent = 0;
    Clock::duration totalEncodeTime{};
    std::deque<std::pair<GstClockTime, Clock::time_point>> pushed; // into appsrc, by PTS
    std::deque<Clock::time_point> entered;                          // into the encoder, pushed then
    std::deque<Clock::time_point> lastSecond;                       // encoded frames
    std::optional<Clock::time_point> lastDrop;                      // a frame the encoder had no time for

    void framePushed(GstClockTime pts, bool dropsOne);
    void frameEntering(GstBuffer* buffer);
    void frameEncoded(GstBuffer* buffer);
    void packetSent(GstBuffer* packet);
};

// Probes on the encoder's pads and the payloader's output that keep the figures, and
// one that logs the RTP clock once per connection.
void watchEncoder(GstElement* encoder, GstElement* payloader, const std::shared_ptr<EncoderFigures>& figures);

// Captured frames into the appsrc: converted to I420 with the codec's matrix (which the
// caps name), timed on the pipeline's clock, and let through at the admitted rate.
class EncoderFeed final : public VideoSink {
public:
    EncoderFeed(std::shared_ptr<EncoderFigures> figures, std::int64_t framesPerSecond);

    void adaptOutputFormat(std::int64_t, std::int64_t, std::int64_t framesPerSecond) override;
    void deliver(VideoFrame frame) override;

    void attach(Owned<GstElement> source, GstClockTime baseTime, YUVMatrix matrix);
    void detach();
    // `nominal` is the rate the caps announce (the session's maximum), `admitted` the rate
    // frames are let through at, which is lower while the link is starved.
    void setFramerates(std::int64_t nominal, std::int64_t admitted);
    std::int64_t admittedFramerate();
    // The frame rate the encoder budgets its bits by.
    std::int64_t nominalFramerate();
    std::pair<std::int64_t, std::int64_t> size();
    // The encoder's rate as steered and for refinement frames, in the encoder's unit: the
    // steered rate is written at once unless refinement frames are going through, and
    // again after them.
    void setEncoderRates(GstElement* encoder, const char* property, std::int64_t steered, std::int64_t refinement);
    // The steered rate last set, 0 before any.
    std::int64_t steeredRate();

    static constexpr guint64 maxQueued = 2;

private:
    std::int64_t nominalLocked() const { return nominal_ > 0 ? std::min(nominal_, framesPerSecond_) : framesPerSecond_; }
    void setCaps(std::int64_t width, std::int64_t height);
    Owned<GstBuffer> convert(const PixelBuffer& pixels, std::int64_t width, std::int64_t height);

    std::mutex mutex_;
    std::shared_ptr<EncoderFigures> figures_;
    Owned<GstElement> source_;
    GstClockTime baseTime_ = 0;
    YUVMatrix matrix_ = YUVMatrix::bt709;
    GstClockTime lastPTS_ = GST_CLOCK_TIME_NONE;
    std::int64_t capsWidth_ = 0;
    std::int64_t capsHeight_ = 0;
    std::int64_t framesPerSecond_;
    std::int64_t nominal_ = 0;
    FrameRateCap rateCap_;
    Owned<GstElement> rateEncoder_;
    const char* rateProperty_ = nullptr;
    std::int64_t steeredRate_ = 0;
    std::int64_t refinementRate_ = 0;
    bool refining_ = false;
    // The last picture converted, and the frame it came from while that is held.
    Owned<GstBuffer> converted_;
    std::weak_ptr<const PixelBuffer> convertedFrom_;
};

} // namespace tavelin::gst
