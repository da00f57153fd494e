#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/send_rate.hpp"
#include "engine/task.hpp"
#include "platform/gstreamer/gst_handles.hpp"
#include "platform/webrtc.hpp"

namespace tavelin::gst {

inline constexpr const char* noH264Message = "The receiver offered no H.264 video that this computer can send.";

// The H.264 format of an offer that our constrained-baseline stream fits.
struct H264Format {
    int payloadType = 0;
    std::string profileLevelID; // six hex digits, as offered
    friend bool operator==(const H264Format&, const H264Format&) = default;
};

// Packetization mode 1 with a constrained-baseline profile (42e0xx) first, else any
// baseline (42xxxx); nothing when the offer has neither. An answer on another payload
// type turns the video inactive without an error, so the choice must be right here.
std::optional<H264Format> chooseH264(std::string_view offerSDP);

// Drops frames above a maximum rate. Two fifths of an interval of jitter is allowed so a
// capture paced at that same rate loses nothing, while the long-run rate stays at most
// the maximum. 0 lets every frame through.
class FrameRateCap {
public:
    void setMaximum(std::int64_t framesPerSecond) { maximum_ = std::max<std::int64_t>(framesPerSecond, 0); }
    std::int64_t maximum() const { return maximum_; }
    bool admit(std::int64_t timestampNS);

private:
    std::int64_t maximum_ = 0;
    std::optional<std::int64_t> nextDueNS_;
};

// Counters kept at the encoder's output on the streaming threads, read by statistics().
struct EncoderFigures;
class EncoderFeed;

// One WebRTC connection over its own pipeline: appsrc (I420 converted from the captured
// BGRX) → H.264 encoder → rtph264pay → webrtcbin. Operations run on the engine; every
// GStreamer callback only posts to the engine with the peer held weakly.
class GstWebRTCPeer final : public WebRTCPeer, public std::enable_shared_from_this<GstWebRTCPeer> {
public:
    // `encoder` is the element factory of the H.264 encoder ("x264enc", "vaapih264enc", ...).
    static std::shared_ptr<GstWebRTCPeer> create(Executor engine, std::string encoder, std::int64_t width,
                                                 std::int64_t height, std::int64_t framesPerSecond);
    ~GstWebRTCPeer() override;

    std::shared_ptr<VideoSink> videoSink() override;
    Task<> setRemoteOffer(std::string sdp) override;
    Task<> createAnswer() override;
    void setEncoderParameters(const EncoderParameters& parameters) override;
    bool iceGatheringComplete() override;
    std::optional<std::string> localDescription() override;
    PeerConnectionState connectionState() override;
    Task<nlohmann::json> statistics() override;
    void close() override;

    GstWebRTCPeer(Executor engine, std::string encoder, std::int64_t width, std::int64_t height,
                  std::int64_t framesPerSecond);

private:
    void start();
    void shutDown();
    void buildSendBranch(const H264Format& format);
    void applyEncoderParameters();
    void applySendRate();
    static Task<> steerSendRate(std::weak_ptr<GstWebRTCPeer> weak, std::chrono::milliseconds interval);
    void reportState(PeerConnectionState state);
    void pipelineError(const std::string& message);
    Task<Owned<GstPromise>> emitWithPromise(const char* signal, void* argument);

    static void connectionStateChanged(GstElement* webrtc, GParamSpec*, gpointer box);
    static void dataChannelArrived(GstElement* webrtc, GObject* channel, gpointer box);
    static GstBusSyncReply busMessage(GstBus* bus, GstMessage* message, gpointer box);

    Executor engine_;
    std::string encoderName_;
    std::int64_t width_;
    std::int64_t height_;
    std::int64_t framesPerSecond_;

    Owned<GstElement> pipeline_;
    Owned<GstElement> webrtc_;
    Owned<GstElement> encoder_;
    std::vector<gulong> handlers_;
    std::shared_ptr<EncoderFigures> figures_;
    std::shared_ptr<EncoderFeed> feed_;
    EncoderParameters parameters_;
    SendRateController sendRate_;
    TaskHandle rateSteering_;
    guint ssrc_ = 0;
    std::optional<H264Format> format_;
    std::optional<PeerConnectionState> reported_;
    bool closed_ = false;
};

} // namespace tavelin::gst
