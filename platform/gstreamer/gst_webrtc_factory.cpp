#include "core/log.hpp"
#include "platform/gstreamer/gst_webrtc_factory.hpp"

#include <mutex>
#include <thread>

#include "platform/gstreamer/gst_codec_branch.hpp"
#include "platform/gstreamer/gst_element_census.hpp"
#include "platform/gstreamer/gst_handles.hpp"
#include "platform/gstreamer/gst_webrtc_peer.hpp"

namespace tavelin {

namespace {

bool elementExists(const char* factory) {
    gst::Owned<GstElementFactory> found = gst::adopt(gst_element_factory_find(factory));
    return found != nullptr;
}

// A hardware encoder can be listed and still fail on this machine (no device, wrong
// driver): it counts only when it encodes a few pictures of the kind we feed it.
bool encodesTestPictures(const std::string& encoder) {
    const std::string description = "videotestsrc num-buffers=3 ! video/x-raw,format=I420,width=320,height=240,"
                                    "framerate=30/1 ! " + encoder + " ! fakesink";
    GError* rawError = nullptr;
    GstElement* raw = gst_parse_launch(description.c_str(), &rawError);
    const gst::Owned<GError> error = gst::adopt(rawError);
    if (!raw) return false;
    const gst::Owned<GstElement> pipeline = gst::adopt(GST_ELEMENT(gst_object_ref_sink(raw)));
    if (error) return false;
    bool worked = false;
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
        const gst::Owned<GstBus> bus = gst::adopt(gst_element_get_bus(pipeline.get()));
        const gst::Owned<GstMessage> message = gst::adopt(gst_bus_timed_pop_filtered(
            bus.get(), 5 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
        worked = message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS;
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return worked;
}

// The first DTLS element of the process generates the certificate that every connection
// then shares (an RSA key: 0.1 to 0.5 s of CPU here), and the first SRTP and webrtcbin
// elements load their libraries. Made once in the background when the program starts,
// they are ready before a receiver's offer arrives instead of delaying its answer.
void prepareConnectionElements() {
    for (const char* factory : {"dtlsdec", "srtpenc", "webrtcbin"}) {
        GstElement* element = gst_element_factory_make(factory, nullptr);
        if (element) gst_object_unref(gst_object_ref_sink(element));
    }
}

} // namespace

struct GstWebRTCFactory::Impl {
    Executor engine;
    gst::VideoEncoders encoders;
    bool webrtc = false;
    std::jthread preparation;
};

GstWebRTCFactory::GstWebRTCFactory(Executor engine) : impl_(std::make_unique<Impl>()) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { gst_init(nullptr, nullptr); });
    impl_->engine = std::move(engine);
    impl_->webrtc = elementExists("webrtcbin") && elementExists("appsrc");
    auto& encoders = impl_->encoders;
    if (elementExists("rtph264pay")) {
        for (const char* hardware : {"vaapih264enc", "nvh264enc"}) {
            if (elementExists(hardware) && encodesTestPictures(hardware)) {
                encoders.h264 = hardware;
                break;
            }
        }
        if (encoders.h264.empty() && elementExists("x264enc")) encoders.h264 = "x264enc";
    }
    if (elementExists("rtpvp8pay") && elementExists("vp8enc")) encoders.vp8 = "vp8enc";
    if (impl_->webrtc) impl_->preparation = std::jthread(prepareConnectionElements);
}

GstWebRTCFactory::~GstWebRTCFactory() = default;

std::vector<std::string> GstWebRTCFactory::encoderNames() {
    std::vector<std::string> names;
    for (const VideoCodec codec : impl_->encoders.codecs()) {
        names.push_back(std::string(codecName(codec)) + " (" + impl_->encoders.of(codec) + ")");
    }
    return names;
}

std::shared_ptr<WebRTCPeer> GstWebRTCFactory::createPeer(std::int64_t width, std::int64_t height,
                                                         std::int64_t framesPerSecond) {
    if (!impl_->webrtc || impl_->encoders.codecs().empty()) {
        log::info("GStreamer lacks webrtcbin, appsrc or an H.264 or VP8 encoder with its payloader");
        return nullptr;
    }
    try {
        return gst::GstWebRTCPeer::create(impl_->engine, impl_->encoders, width, height, framesPerSecond);
    } catch (const std::exception& error) {
        log::info(error.what());
        return nullptr;
    }
}

std::optional<std::int64_t> GstWebRTCFactory::liveMediaElements() { return gst::liveElements(); }

} // namespace tavelin
