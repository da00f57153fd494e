#include "core/log.hpp"
#include "platform/gstreamer/gst_webrtc_factory.hpp"

#include <mutex>

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

} // namespace

struct GstWebRTCFactory::Impl {
    Executor engine;
    std::string encoder; // empty when nothing can encode H.264
    bool webrtc = false;
};

GstWebRTCFactory::GstWebRTCFactory(Executor engine) : impl_(std::make_unique<Impl>()) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { gst_init(nullptr, nullptr); });
    impl_->engine = std::move(engine);
    impl_->webrtc = elementExists("webrtcbin") && elementExists("rtph264pay") && elementExists("appsrc");
    for (const char* hardware : {"vaapih264enc", "nvh264enc"}) {
        if (elementExists(hardware) && encodesTestPictures(hardware)) {
            impl_->encoder = hardware;
            break;
        }
    }
    if (impl_->encoder.empty() && elementExists("x264enc")) impl_->encoder = "x264enc";
}

GstWebRTCFactory::~GstWebRTCFactory() = default;

std::vector<std::string> GstWebRTCFactory::encoderNames() {
    if (impl_->encoder.empty()) return {};
    return {"H264 (" + impl_->encoder + ")"};
}

std::shared_ptr<WebRTCPeer> GstWebRTCFactory::createPeer(std::int64_t width, std::int64_t height,
                                                         std::int64_t framesPerSecond) {
    if (!impl_->webrtc || impl_->encoder.empty()) {
        log::info("GStreamer lacks webrtcbin, rtph264pay, appsrc or an H.264 encoder");
        return nullptr;
    }
    try {
        return gst::GstWebRTCPeer::create(impl_->engine, impl_->encoder, width, height, framesPerSecond);
    } catch (const std::exception& error) {
        log::info(error.what());
        return nullptr;
    }
}

} // namespace tavelin
