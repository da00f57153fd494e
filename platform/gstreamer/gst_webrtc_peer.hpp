#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/offer_codecs.hpp"
#include "core/send_rate.hpp"
#include "engine/task.hpp"
#include "platform/gstreamer/gst_codec_branch.hpp"
#include "platform/gstreamer/gst_handles.hpp"
#include "platform/webrtc.hpp"

namespace tavelin::gst {

inline constexpr const char* noCodecMessage =
    "This browser offered no video format that Tavelin can send. Use a current Chrome, Edge, Firefox or Safari.";

// Counters kept at the encoder's output on the streaming threads, read by statistics().
struct EncoderFigures;
class EncoderFeed;

// One WebRTC connection over its own pipeline: appsrc (I420 converted from the captured
// BGRX) → the negotiated codec's encoder and payloader (H.264 or VP8) → webrtcbin. Operations run on the engine; every
// GStreamer callback only posts to the engine with the peer held weakly.
class GstWebRTCPeer final : public WebRTCPeer, public std::enable_shared_from_this<GstWebRTCPeer> {
public:
    // `encoders` names the element factory for each codec this machine can send.
    static std::shared_ptr<GstWebRTCPeer> create(Executor engine, VideoEncoders encoders, std::int64_t width,
                                                 std::int64_t height, std::int64_t framesPerSecond);
    ~GstWebRTCPeer() override;

    std::shared_ptr<VideoSink> videoSink() override;
    Task<> setRemoteOffer(std::string sdp) override;
    Task<> createAnswer() override;
    void setEncoderParameters(const EncoderParameters& parameters) override;
    bool iceGatheringComplete() override;
    bool reportsReceivers() const override { return true; }
    std::optional<std::string> localDescription() override;
    PeerConnectionState connectionState() override;
    Task<nlohmann::json> statistics() override;
    void close() override;

    GstWebRTCPeer(Executor engine, VideoEncoders encoders, std::int64_t width, std::int64_t height,
                  std::int64_t framesPerSecond);

private:
    void start();
    void shutDown();
    void buildSendBranch(const NegotiatedVideo& video);
    void applyEncoderParameters();
    void applySendRate();
    static Task<> steerSendRate(std::weak_ptr<GstWebRTCPeer> weak, std::chrono::milliseconds interval);
    void reportState(PeerConnectionState state);
    void pipelineError(const std::string& message);
    Task<Owned<GstPromise>> emitWithPromise(const char* signal, void* argument);

    static void connectionStateChanged(GstElement* webrtc, GParamSpec*, gpointer box);
    static void sourceReported(GstElement* rtpbin, guint session, guint ssrc, gpointer box);
    static void dataChannelArrived(GstElement* webrtc, GObject* channel, gpointer box);
    static GstBusSyncReply busMessage(GstBus* bus, GstMessage* message, gpointer box);

    Executor engine_;
    VideoEncoders encoders_;
    std::string encoderName_; // the codec and encoder in use, for the diagnostics
    const char* rateProperty_ = "bitrate";
    std::int64_t rateUnit_ = 1000;
    bool rateWhilePlaying_ = false;
    std::int64_t width_;
    std::int64_t height_;
    std::int64_t framesPerSecond_;

    Owned<GstElement> pipeline_;
    Owned<GstElement> webrtc_;
    Owned<GstElement> encoder_;
    std::vector<gulong> handlers_;
    Owned<GstElement> rtpbin_;
    gulong rtcpHandler_ = 0;
    std::shared_ptr<EncoderFigures> figures_;
    std::shared_ptr<EncoderFeed> feed_;
    EncoderParameters parameters_;
    SendRateController sendRate_;
    TaskHandle rateSteering_;
    guint ssrc_ = 0;
    std::optional<NegotiatedVideo> video_;
    std::optional<PeerConnectionState> reported_;
    bool closed_ = false;
};

} // namespace tavelin::gst
