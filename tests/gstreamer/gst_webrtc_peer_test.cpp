// The GStreamer WebRTC peer as answerer to a second webrtcbin that plays a browser: a
// receive-only H.264 transceiver whose payload type is not 96, a VP8 payload beside it,
// and a "mouse" data channel made before the offer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include "platform/gstreamer/gst_codec_branch.hpp"
#include "platform/gstreamer/gst_element_census.hpp"
#include "platform/gstreamer/gst_encoder_feed.hpp"
#include "platform/gstreamer/gst_handles.hpp"
#include "platform/gstreamer/gst_webrtc_factory.hpp"
#include "platform/gstreamer/gst_webrtc_peer.hpp"

namespace tavelin::gst {
namespace {

using namespace std::chrono_literals;
constexpr auto patience = 20s;

// Everything the test waits for, filled on GStreamer's threads and the engine.
struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PeerConnectionState> states;
    std::shared_ptr<PeerDataChannel> channel;
    std::vector<std::pair<int, int>> decodedSizes;
    bool offererChannelOpen = false;

    void update(const std::function<void(Inbox&)>& change) {
        std::lock_guard lock(mutex);
        change(*this);
        changed.notify_all();
    }
    bool waitFor(const std::function<bool(Inbox&)>& condition, std::chrono::milliseconds timeout = patience) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return condition(*this); });
    }
};

// The browser's part: offers, decodes what arrives, and opens the "mouse" channel.
class Offerer {
public:
    explicit Offerer(Inbox& inbox) : inbox_(inbox) {
        // The decoder is linked to webrtcbin's receiving pad once the answer makes it.
        pipeline_ = adopt(GST_ELEMENT(gst_object_ref_sink(gst_parse_launch(
            "webrtcbin name=webrtc bundle-policy=max-bundle webrtc. ! rtph264depay name=depay ! "
            "capssetter caps=video/x-h264,profile=constrained-baseline ! openh264dec ! "
            "appsink name=frames sync=false emit-signals=true", nullptr))));
        webrtc_ = element("webrtc");
        g_signal_connect(element("frames").get(), "new-sample", G_CALLBACK(+[](GstAppSink* sink, Inbox* inbox) {
            Owned<GstSample> sample = adopt(gst_app_sink_pull_sample(sink));
            GstVideoInfo info;
            if (sample && gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get()))) {
                inbox->update([&](Inbox& in) { in.decodedSizes.emplace_back(info.width, info.height); });
            }
            return GST_FLOW_OK;
        }), &inbox_);
        gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);

        Owned<GstCaps> caps = adopt(gst_caps_from_string(
            "application/x-rtp,media=video,encoding-name=VP8,payload=96,clock-rate=90000;"
            "application/x-rtp,media=video,encoding-name=H264,payload=102,clock-rate=90000,"
            "packetization-mode=(string)1,profile-level-id=(string)42e01f"));
        GstWebRTCRTPTransceiver* transceiver = nullptr;
        g_signal_emit_by_name(webrtc_.get(), "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY,
                              caps.get(), &transceiver);
        adopt(transceiver); // webrtcbin keeps a reference of its own
        GstWebRTCDataChannel* channel = nullptr;
        g_signal_emit_by_name(webrtc_.get(), "create-data-channel", "mouse", nullptr, &channel);
        channel_ = adopt(channel);
        g_signal_connect(channel_.get(), "on-open", G_CALLBACK(+[](GstWebRTCDataChannel*, Inbox* inbox) {
            inbox->update([](Inbox& in) { in.offererChannelOpen = true; });
        }), &inbox_);
    }

    ~Offerer() { gst_element_set_state(pipeline_.get(), GST_STATE_NULL); }

    // The complete offer, candidates included, as a browser sends it.
    std::string offer() {
        const Owned<GstPromise> created = ask("create-offer", nullptr);
        GstWebRTCSessionDescription* raw = nullptr;
        gst_structure_get(gst_promise_get_reply(created.get()), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &raw,
                          nullptr);
        Owned<GstWebRTCSessionDescription> offer = adopt(raw);
        ask("set-local-description", offer.get());
        GstWebRTCICEGatheringState gathering = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
        for (int poll = 0; poll < 2000 && gathering != GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE; ++poll) {
            std::this_thread::sleep_for(10ms);
            g_object_get(webrtc_.get(), "ice-gathering-state", &gathering, nullptr);
        }
        EXPECT_EQ(gathering, GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE);
        GstWebRTCSessionDescription* local = nullptr;
        g_object_get(webrtc_.get(), "local-description", &local, nullptr);
        return text(adopt(gst_sdp_message_as_text(adopt(local)->sdp)));
    }

    void accept(const std::string& answerSDP) {
        GstSDPMessage* message = nullptr;
        ASSERT_EQ(gst_sdp_message_new_from_text(answerSDP.c_str(), &message), GST_SDP_OK);
        Owned<GstWebRTCSessionDescription> answer =
            adopt(gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message));
        const Owned<GstPromise> set = ask("set-remote-description", answer.get());
        const GstStructure* reply = gst_promise_get_reply(set.get());
        ASSERT_FALSE(reply && gst_structure_has_field(reply, "error"));
    }

    // What a browser does on a picture loss: the receiver asks the sender for a key frame.
    void requestKeyFrame() {
        const Owned<GstPad> sink = adopt(gst_element_get_static_pad(element("depay").get(), "sink"));
        gst_pad_push_event(sink.get(), gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
    }

private:
    Owned<GstElement> element(const char* name) { return adopt(gst_bin_get_by_name(GST_BIN(pipeline_.get()), name)); }
    // A webrtcbin action that answers through a promise, waited for.
    Owned<GstPromise> ask(const char* action, gpointer argument) {
        Owned<GstPromise> promise = adopt(gst_promise_new());
        g_signal_emit_by_name(webrtc_.get(), action, argument, promise.get());
        EXPECT_EQ(gst_promise_wait(promise.get()), GST_PROMISE_RESULT_REPLIED) << action;
        return promise;
    }

    Inbox& inbox_;
    Owned<GstElement> pipeline_;
    Owned<GstElement> webrtc_;
    Owned<GstWebRTCDataChannel> channel_;
};

constexpr std::int64_t width = 320, height = 240;

// A grey BGRX picture of up to one pixel wider than the stream, stamped now.
VideoFrame grey(std::int64_t pictureWidth) {
    static std::vector<std::uint8_t> pixels(static_cast<std::size_t>((width + 1) * height * 4), 0x80);
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return {std::make_shared<PixelBuffer>(PixelBuffer{pictureWidth, height, pictureWidth * 4, pixels.data()}),
            std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(), 0};
}

class PeerOverWebRTC : public testing::Test {
protected:
    void SetUp() override {
        engineThread_ = std::thread([this] { engine_.run(); });
        factory_ = std::make_unique<GstWebRTCFactory>(engine_.get_executor());
        peer_ = onEngine([&] { return factory_->createPeer(width, height, 60); });
        ASSERT_TRUE(peer_);
        peer_->onConnectionState = [this](auto state) { inbox_.update([&](Inbox& inbox) { inbox.states.push_back(state); }); };
        peer_->onDataChannel = [this](auto channel) { inbox_.update([&](Inbox& inbox) { inbox.channel = channel; }); };
        offerer_.emplace(inbox_);
    }

    void TearDown() override {
        onEngine([&] { peer_.reset(); });
        offerer_.reset();
        guard_.reset();
        engineThread_.join();
    }

    template <typename T>
    T run(Task<T> operation) {
        auto result = asio::co_spawn(engine_, std::move(operation), asio::use_future);
        EXPECT_EQ(result.wait_for(patience), std::future_status::ready);
        return result.get();
    }

    // Runs fn on the engine and waits for its result.
    template <typename Fn>
    auto onEngine(Fn fn) -> decltype(fn()) {
        return run([](Fn fn) -> Task<decltype(fn())> { co_return fn(); }(std::move(fn)));
    }

    // Offer, answer, gathering as the session does it, then the connection; returns the answer.
    std::string connect() {
        run(peer_->setRemoteOffer(offerer_->offer()));
        run(peer_->createAnswer());
        // The port reports gathering by polling only; poll it as the session does.
        run([](std::shared_ptr<WebRTCPeer> peer) -> Task<> {
            for (int poll = 0; poll < 2000 && !peer->iceGatheringComplete(); ++poll) co_await sleepFor(10ms);
        }(peer_));
        const std::string answer = onEngine([&] { return peer_->localDescription(); }).value_or("");
        offerer_->accept(answer);
        EXPECT_TRUE(inbox_.waitFor([](Inbox& inbox) {
            return std::ranges::count(inbox.states, PeerConnectionState::connected) > 0;
        }));
        return answer;
    }

    nlohmann::json statistics() { return run(peer_->statistics()); }

    asio::io_context engine_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_ = asio::make_work_guard(engine_);
    std::thread engineThread_;
    std::unique_ptr<GstWebRTCFactory> factory_;
    std::shared_ptr<WebRTCPeer> peer_;
    Inbox inbox_;
    std::optional<Offerer> offerer_;
};

TEST_F(PeerOverWebRTC, AnswersStreamsOpensTheMouseChannelAndCloses) {
    const std::string answer = connect();
    const auto video = answer.find("m=video ");
    ASSERT_NE(video, std::string::npos) << answer;
    const std::string section = answer.substr(video, answer.find("m=", video + 1) - video);
    using testing::HasSubstr;
    EXPECT_THAT(section, testing::AllOf(testing::StartsWith("m=video 9 UDP/TLS/RTP/SAVPF 102"),
                                        HasSubstr("a=rtpmap:102 H264/90000"), HasSubstr("a=sendonly")));
    EXPECT_THAT(answer, HasSubstr("a=candidate:")) << "the answer must carry its candidates";

    onEngine([&] { peer_->setEncoderParameters({.minBitrate = 1'000'000, .maxBitrate = 2'000'000, .maxFramerate = 60}); });
    int delivered = 0;
    for (; delivered < 100 && !inbox_.waitFor([](Inbox& inbox) { return !inbox.decodedSizes.empty(); }, 50ms);
         ++delivered) {
        peer_->videoSink()->deliver(grey(width + 1)); // an odd width is cut to even for 4:2:0
    }
    ASSERT_LT(delivered, 100) << "nothing decoded";
    EXPECT_EQ(inbox_.decodedSizes.front(), std::pair(int(width), int(height)));

    ASSERT_TRUE(inbox_.waitFor([](Inbox& inbox) { return inbox.channel && inbox.offererChannelOpen; }));
    EXPECT_EQ(inbox_.channel->label(), "mouse");
    // Its messages reach the X server in the browser tests (tests/e2e, the held drag).
    EXPECT_TRUE(onEngine([&] { return inbox_.channel->isOpen(); }));

    // The key frame interval is two seconds of frames (120 here): a second key frame
    // well before that comes from the receiver's request.
    const auto before = statistics();
    ASSERT_EQ(before["keyFramesEncoded"], 1);
    offerer_->requestKeyFrame();
    for (delivered = 0; delivered < 40 && statistics()["keyFramesEncoded"] == 1; ++delivered) {
        peer_->videoSink()->deliver(grey(width + 1));
        inbox_.waitFor([](Inbox&) { return false; }, 20ms);
    }
    EXPECT_LT(delivered, 40) << "no key frame after the receiver asked for one";

    // A missing figure reads as null and fails its comparison.
    auto figures = statistics();
    for (const char* grown : {"framesEncoded", "bytesSent"}) EXPECT_GT(figures[grown], before[grown]) << grown;
    for (const char* counted : {"framesSent", "framesPerSecond", "totalEncodeTime"}) EXPECT_GT(figures[counted], 0) << counted;
    for (const auto& [name, value] : {std::pair<const char*, nlohmann::json>{"frameWidth", width}, {"frameHeight", height},
                                      {"targetBitrate", 2'000'000}, {"encoderImplementation", "H264 (x264enc)"}}) {
        EXPECT_EQ(figures[name], value) << name;
    }
    EXPECT_TRUE(figures["qualityLimitationReason"] == "none" || figures["qualityLimitationReason"] == "cpu");

    onEngine([&] { peer_->close(); });
    ASSERT_TRUE(inbox_.waitFor([](Inbox& inbox) { return inbox.states.back() == PeerConnectionState::closed; }));
    EXPECT_EQ(onEngine([&] { return peer_->connectionState(); }), PeerConnectionState::closed);
}

TEST_F(PeerOverWebRTC, DestroyedWhileStreamingReturns) {
    connect();
    const auto sink = peer_->videoSink();
    std::jthread delivery([sink](std::stop_token stop) {
        while (!stop.stop_requested()) sink->deliver(grey(width));
    });
    ASSERT_TRUE(inbox_.waitFor([](Inbox& inbox) { return !inbox.decodedSizes.empty(); }));
    // webrtcbin's own transport, session and SCTP elements, the payloader, the encoder.
    EXPECT_GT(factory_->liveMediaElements().value_or(0), 10);
    onEngine([&] { peer_.reset(); });
    delivery.request_stop();
    delivery.join();
    // Frames into a sink whose connection is gone are dropped.
    sink->deliver(grey(width));
    // A connection gone takes every element it made with it once the mouse channel we
    // were handed goes too (the channel holds webrtcbin's transport).
    onEngine([&] { return std::exchange(inbox_.channel, nullptr); });
    for (int wait = 0; wait < 100 && factory_->liveMediaElements() != 0; ++wait) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(factory_->liveMediaElements(), 0);
}

// Refinement frames go to the encoder at the refinement rate and the next frame at the
// steered rate again, also when the steering changed in between.
TEST(EncoderFeed, RefinementFramesRaiseTheRateUntilTheNextFrame) {
    gst_init(nullptr, nullptr);
    const Owned<GstElement> encoder = makeElement("x264enc");
    EncoderFeed feed(std::make_shared<EncoderFigures>(), 60);
    feed.attach(makeElement("appsrc"), 0, YUVMatrix::bt709);
    const auto rate = [&] { return readRate(encoder.get(), "bitrate"); };
    auto refinement = grey(width + 1);
    refinement.refinement = true;
    feed.setEncoderRates(encoder.get(), "bitrate", 2000, 16000);
    EXPECT_EQ(rate(), 2000);
    feed.deliver(refinement);
    EXPECT_EQ(rate(), 16000);
    EXPECT_EQ(feed.size(), std::pair(width, height)) << "an odd width is cut to even for 4:2:0";
    feed.setEncoderRates(encoder.get(), "bitrate", 3000, 24000);
    EXPECT_EQ(rate(), 16000);
    feed.deliver(grey(width));
    EXPECT_EQ(rate(), 3000);
}

// Closing says so once, on the engine.
TEST(Peer, ClosingReportsTheClosedState) {
    asio::io_context engine;
    GstWebRTCFactory factory(engine.get_executor());
    const auto peer = factory.createPeer(width, height, 60);
    std::vector<PeerConnectionState> states;
    peer->onConnectionState = [&](PeerConnectionState state) { states.push_back(state); };
    peer->close();
    peer->close();
    engine.poll();
    EXPECT_EQ(states, std::vector{PeerConnectionState::closed});
    EXPECT_EQ(peer->connectionState(), PeerConnectionState::closed);
}

// x264 makes a key frame at the interval it is given; the rest come when a receiver asks.
TEST(CodecBranch, H264KeyFramesComeAtTheGivenInterval) {
    gst_init(nullptr, nullptr);
    const auto branch = codecBranch({VideoCodec::h264, 102, "42e01f", 0}, "x264enc", 120);
    guint interval = 0;
    g_object_get(branch.encoder.get(), "key-int-max", &interval, nullptr);
    EXPECT_EQ(interval, 120u);
}

// Frames are counted as they leave the encoder, key frames among them.
TEST(EncoderFigures, CountsTheKeyFramesAmongTheEncodedFrames) {
    gst_init(nullptr, nullptr);
    EncoderFigures figures;
    const Owned<GstBuffer> key = adopt(gst_buffer_new_allocate(nullptr, 100, nullptr));
    const Owned<GstBuffer> delta = adopt(gst_buffer_new_allocate(nullptr, 50, nullptr));
    GST_BUFFER_FLAG_SET(delta.get(), GST_BUFFER_FLAG_DELTA_UNIT);
    figures.frameEncoded(key.get());
    figures.frameEncoded(delta.get());
    EXPECT_EQ(figures.framesEncoded, 2);
    EXPECT_EQ(figures.keyFramesEncoded, 1);
}

// Each element of a watched pipeline counts, with the children a bin brings along, until
// the pipeline goes.
TEST(ElementCensus, CountsAWatchedPipelineUntilItGoes) {
    gst_init(nullptr, nullptr);
    const auto before = liveElements();
    Owned<GstElement> pipeline = adopt(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    watchElements(pipeline.get());
    gst_bin_add(GST_BIN(pipeline.get()), gst_parse_bin_from_description("queue ! queue", FALSE, nullptr));
    EXPECT_EQ(liveElements() - before, 4);
    pipeline.reset();
    EXPECT_EQ(liveElements(), before);
}

} // namespace
} // namespace tavelin::gst
