// The GStreamer side of the video: what goes to the encoder and at which rate, its
// settings and figures, and a connection's elements. The connection itself, against real
// browsers, is the browser tests' (tests/e2e).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "platform/gstreamer/gst_codec_branch.hpp"
#include "platform/gstreamer/gst_element_census.hpp"
#include "platform/gstreamer/gst_encoder_feed.hpp"
#include "platform/gstreamer/gst_handles.hpp"
#include "platform/gstreamer/gst_webrtc_factory.hpp"

namespace tavelin::gst {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t width = 320, height = 240;

// A grey BGRX picture of up to one pixel wider than the stream, stamped now.
VideoFrame grey(std::int64_t pictureWidth) {
    static std::vector<std::uint8_t> pixels(static_cast<std::size_t>((width + 1) * height * 4), 0x80);
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return {std::make_shared<PixelBuffer>(PixelBuffer{pictureWidth, height, pictureWidth * 4, pixels.data()}),
            std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(), 0};
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

// A browser's offer of H.264 on payload type 102.
constexpr const char* offer =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0\r\n"
    "m=video 9 UDP/TLS/RTP/SAVPF 102\r\nc=IN IP4 0.0.0.0\r\na=ice-ufrag:abcd\r\na=ice-pwd:abcdefghijklmnopqrstuvwx\r\n"
    "a=fingerprint:sha-256 00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:"
    "EE:FF\r\na=setup:actpass\r\na=mid:0\r\na=recvonly\r\na=rtcp-mux\r\na=rtpmap:102 H264/90000\r\n"
    "a=fmtp:102 packetization-mode=1;profile-level-id=42e01f\r\n";

// Closing says so once, on the engine, and lets go of every element the connection made,
// though its video sink is still held (frames into it are dropped).
TEST(Peer, ClosingReportsTheClosedStateAndLetsGoOfItsElements) {
    asio::io_context engine;
    GstWebRTCFactory factory(engine.get_executor());
    const auto before = factory.liveMediaElements();
    auto peer = factory.createPeer(width, height, 60);
    std::vector<PeerConnectionState> states;
    peer->onConnectionState = [&](PeerConnectionState state) { states.push_back(state); };
    auto offered = asio::co_spawn(engine, peer->setRemoteOffer(offer), asio::use_future);
    for (int wait = 0; wait < 500 && offered.wait_for(0s) != std::future_status::ready; ++wait) engine.run_for(10ms);
    ASSERT_EQ(offered.wait_for(0s), std::future_status::ready);
    offered.get();
    // webrtcbin's own transport and session elements, the payloader, the encoder.
    EXPECT_GT(factory.liveMediaElements().value_or(0), before.value_or(0) + 10);
    const auto sink = peer->videoSink();
    sink->deliver(grey(width));
    peer->close();
    peer->close();
    engine.poll();
    EXPECT_EQ(states, std::vector{PeerConnectionState::closed});
    EXPECT_EQ(peer->connectionState(), PeerConnectionState::closed);
    peer.reset();
    sink->deliver(grey(width));
    for (int wait = 0; wait < 100 && factory.liveMediaElements() != before; ++wait) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(factory.liveMediaElements(), before);
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
    for (GstBuffer* frame : {key.get(), delta.get(), delta.get()}) figures.frameEncoded(frame);
    EXPECT_EQ(figures.framesEncoded, 3);
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
